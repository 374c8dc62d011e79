"""Sensor files turned into recordings: any rate, time stamps in s or ms, units of g or m/s²,
with or without velocity, through the same `Conditioner` that live sources use.

Labels are carried over from a label column; the ground truth written beside the recording
holds one gesture per run of equal labels, split where a take ends: where a group column
changes, the time stamps jump or the clock starts again.
"""

import math
from array import array
from dataclasses import dataclass
from itertools import chain
from pathlib import Path

import numpy as np

from ...conditioning import ColumnMap, Conditioner, VelocityEstimator
from ...errors import InputError
from ..errors import WorkbenchError
from .recording import LabelRuns, truth_path, write_recording_rows, write_truth
from .tables import Table, read_table, to_float

# Rates a sensor plausibly samples at; they tell seconds from milliseconds.
PLAUSIBLE_RATES_HZ = (5.0, 2000.0)
# How far --rate may lie from the rate the time stamps show before the two are a contradiction.
RATE_TOLERANCE = 0.05


@dataclass
class ImportReport:
    rows_read: int
    rows_written: int
    input_rate_hz: float
    time_unit: str | None  # None: the file has no time stamps
    velocity_estimated: bool
    malformed: int  # rows dropped: not numbers, NaN or infinite
    out_of_order: int  # rows dropped: time stamp repeated or gone back
    restarts: int  # new grids: gaps, clock resets and group changes
    gestures: int  # runs of labels written to the ground truth


def _median_step(table: Table, column: int) -> float:
    times = array("d")
    for _, row in table.rows:
        try:
            times.append(to_float(row[column], table.delimiter))
        except (ValueError, IndexError):
            continue
    steps = np.diff(np.array(times, dtype=float))
    steps = steps[np.isfinite(steps) & (steps > 0)]
    if not len(steps):
        raise WorkbenchError("the time column has no increasing time stamps")
    return float(np.median(steps))


def _time_unit(step: float, given: str | None, column_name: str) -> str:
    """The unit of the time stamps: as given, from the column's name, or from the only
    plausible sampling rate."""
    if given:
        return given
    if column_name.lower().endswith("ms"):
        return "ms"
    low, high = PLAUSIBLE_RATES_HZ
    scales = (("s", 1.0), ("ms", 1e-3))
    units = [unit for unit, scale in scales if low <= 1 / (step * scale) <= high]
    if len(units) != 1:
        raise WorkbenchError(
            f"time stamps {step:g} apart: cannot tell seconds from milliseconds; give --time-unit"
        )
    return units[0]


def import_recording(
    source: str | Path,
    output: str | Path,
    columns: ColumnMap | str | None = None,
    time_unit: str | None = None,
    rate_hz: float | None = None,
    units: str = "m/s2",
    label_column: str | None = None,
    split_column: str | None = None,
    gap_s: float = 0.2,
    estimator: VelocityEstimator | None = None,
) -> ImportReport:
    """Convert the sensor file `source` into the 50 Hz recording `output` (and its truth)."""
    source = Path(source)
    table = read_table(source)
    try:
        mapping = ColumnMap.parse(columns) if isinstance(columns, str) else columns
        mapping = mapping or ColumnMap.default(table.header)
    except InputError as err:
        raise WorkbenchError(f"{source}: {err}; header: {', '.join(table.header)}") from None
    mapping = ColumnMap(dict(mapping.names))
    if label_column:
        mapping.names["label"] = label_column
    if split_column:
        mapping.names["group"] = split_column
    try:
        index = mapping.locate(table.header)
    except InputError as err:
        raise WorkbenchError(f"{source}: {err}") from None
    if mapping.has_time:
        step = _median_step(table, index["t"])
        time_unit = _time_unit(step, time_unit, mapping.names["t"])
        input_rate = 1 / (step * (1e-3 if time_unit == "ms" else 1.0))
        if rate_hz and abs(rate_hz - input_rate) > RATE_TOLERANCE * input_rate:
            raise WorkbenchError(
                f"{source}: the time stamps say {input_rate:.4g} Hz, --rate says {rate_hz:g} Hz"
            )
    elif rate_hz:
        time_unit, input_rate = None, float(rate_hz)
    else:
        raise WorkbenchError(f"{source}: no time column; give the sampling rate with --rate")

    conditioner = Conditioner(mapping.has_velocity, units, time_unit, input_rate, gap_s, estimator)
    cells = [index.get(role) for role in ("ax", "ay", "az", "vx", "vy", "vz")]
    label_at, group_at, time_at = index.get("label"), index.get("group"), index.get("t")

    def number(row, at):
        try:
            return to_float(row[at], table.delimiter)
        except (ValueError, IndexError, TypeError):
            return math.nan

    # A piece ends where the grid starts afresh (a new take, a gap, a clock reset), so that
    # two takes of one label stay two gestures. Rows are written as they are made.
    runs, piece = LabelRuns(), 0

    def conditioned():
        nonlocal piece
        group = None
        for _, row in table.rows:
            if group_at is not None and group_at < len(row) and row[group_at] != group:
                piece += group is not None
                group = row[group_at]
                conditioner.restart()
            values = [number(row, c) for c in cells if c is not None]
            label = row[label_at].strip() if label_at is not None and label_at < len(row) else ""
            t = number(row, time_at) if time_at is not None else None
            gaps = conditioner.resampler.gaps
            rows = conditioner.push(t, values[:3], values[3:], label)
            piece += conditioner.resampler.gaps - gaps
            for out in rows:
                runs.add(out.tag, piece)
                yield out.values, out.tag

    rows = conditioned()
    first = next(rows, None)
    if first is None:
        raise WorkbenchError(f"{source}: no usable samples")
    write_recording_rows(output, chain([first], rows))
    events = runs.finish()
    if label_at is not None:
        write_truth(truth_path(output), events)
    else:
        # A ground truth left from an earlier recording of that name would be taken for this one's.
        truth_path(output).unlink(missing_ok=True)
    counts = conditioner.counts
    return ImportReport(
        counts["read"],
        runs.rows,
        input_rate,
        time_unit,
        not mapping.has_velocity,
        counts["malformed"],
        counts["out_of_order"],
        piece,
        len(events),
    )


def describe(report: ImportReport, source, output) -> str:
    """The lines the command prints about one import."""
    timing = f"time stamps in {report.time_unit}" if report.time_unit else "no time stamps"
    lines = [
        f"read {source}: {report.rows_read} rows at {report.input_rate_hz:.4g} Hz ({timing})",
        f"wrote {output}: {report.rows_written} rows at 50 Hz, velocity "
        + ("estimated from the acceleration" if report.velocity_estimated else "from the file"),
    ]
    if report.gestures:
        lines.append(f"ground truth in {truth_path(output)}: {report.gestures} labelled runs")
    dropped = [
        (report.malformed, "malformed or not finite"),
        (report.out_of_order, "with a time stamp repeated or gone back"),
    ]
    lines += [f"dropped {n} row(s) {why}" for n, why in dropped if n]
    if report.restarts:
        lines.append(
            f"started the 50 Hz grid afresh {report.restarts} time(s) "
            "(gaps, clock resets, new takes)"
        )
    return "\n".join(lines)
