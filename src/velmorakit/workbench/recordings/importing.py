"""Sensor files turned into recordings: any rate, time stamps in s or ms, units of g or m/s²,
with or without velocity or a gyroscope, through the same `Conditioner` that live sources use.

Labels are carried over from a label column; the ground truth written beside the recording
holds one gesture per run of equal labels, split where a take ends: where a group column
changes, the time stamps jump or the clock starts again.
"""

import math
from array import array
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ...conditioning import (
    GYRO_ROLES,
    ColumnMap,
    Conditioner,
    TimeUnitError,
    VelocityEstimator,
    implied_rate,
    time_unit_for,
)
from ...errors import InputError
from ..errors import WorkbenchError, time_unit_problem
from ..outputs import refuse_inputs_as_outputs
from .recording import events_from_labels, truth_path, write_with_truth
from .tables import Table, read_table, to_float

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
    gyroscope: str = ""  # "used", why the gyroscope columns went unused, or "" without them


def _median_step(table: Table, column: int) -> float:
    times = []
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
    gyro_units: str = "deg/s",
) -> ImportReport:
    """Convert the sensor file `source` into the 50 Hz recording `output` (and its truth)."""
    source = Path(source)
    refuse_inputs_as_outputs([source], [output, truth_path(output)])
    table = read_table(source)
    if next(iter(table.rows), None) is None:
        raise WorkbenchError(f"{source}: no samples, only a header")
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
        try:
            step = _median_step(table, index["t"])
            time_unit = time_unit_for(step, time_unit, mapping.names["t"])
        except TimeUnitError as err:
            raise WorkbenchError(f"{source}: {time_unit_problem(err)}") from None
        except InputError as err:
            raise WorkbenchError(f"{source}: {err}") from None
        input_rate = implied_rate(step, time_unit)
        if rate_hz and abs(rate_hz - input_rate) > RATE_TOLERANCE * input_rate:
            raise WorkbenchError(
                f"{source}: the time stamps say {input_rate:.4g} Hz, --rate says {rate_hz:g} Hz"
            )
    elif rate_hz:
        time_unit, input_rate = None, float(rate_hz)
    else:
        raise WorkbenchError(f"{source}: no time column; give the sampling rate with --rate")

    # The unit is checked on the whole file above: no sample is held back to check it.
    conditioner = Conditioner(
        mapping.has_velocity,
        units,
        time_unit,
        input_rate,
        gap_s,
        estimator,
        check_samples=0,
        has_gyro=mapping.has_gyro,
        gyro_units=gyro_units,
    )
    cells = [index.get(role) for role in ("ax", "ay", "az", "vx", "vy", "vz")]
    gyro_cells = [index[role] for role in GYRO_ROLES] if conditioner.has_gyro else []
    label_at, group_at, time_at = index.get("label"), index.get("group"), index.get("t")

    def number(row, at):
        try:
            return to_float(row[at], table.delimiter)
        except (ValueError, IndexError, TypeError):
            return math.nan

    # Rows carry (piece, label): a piece ends where the grid starts afresh (a new take, a
    # gap, a clock reset), so that two takes of one label stay two gestures. The first row of
    # each later piece is noted with the seconds since the last sample before it, which
    # decide whether a live worker would have stalled there.
    # Rows go into flat buffers, each distinct label kept once: per-row Python objects would
    # take ten times the memory of the numbers on a long recording.
    samples, labels, pieces, known, gaps = array("d"), [], array("q"), {}, {}
    group, piece = None, 0
    last_t = None  # seconds of the last sample placed on the grid, None without time stamps
    since = None  # (last_t,) when a new piece has begun but has no row yet
    for _, row in table.rows:
        if group_at is not None and group_at < len(row) and row[group_at] != group:
            if group is not None:
                piece += 1
                since = since or (last_t,)
            group = row[group_at]
            conditioner.restart()
        values = [number(row, c) for c in cells if c is not None]
        label = row[label_at].strip() if label_at is not None and label_at < len(row) else ""
        t = number(row, time_at) if time_at is not None else None
        before = (conditioner.malformed, conditioner.resampler.dropped, conditioner.resampler.gaps)
        gyro = [number(row, c) for c in gyro_cells]
        rows = conditioner.push(t, values[:3], values[3:], label, gyro)
        if conditioner.resampler.gaps != before[2]:
            piece += 1
            since = since or (last_t,)
        seconds = None if t is None else t * conditioner.time_scale
        if (conditioner.malformed, conditioner.resampler.dropped) == before[:2]:
            last_t = seconds
        if rows and since:
            gaps[len(labels)] = _silence(since[0], seconds)
            since = None
        for out in rows:
            samples.extend(out.values)
            labels.append(known.setdefault(out.tag, out.tag))
            pieces.append(piece)
    if not labels:
        raise WorkbenchError(f"{source}: no usable samples")

    events = events_from_labels(labels, pieces)
    truth = events if label_at is not None else None
    rows = np.frombuffer(samples, dtype=float).reshape(len(labels), -1)
    write_with_truth(output, rows, np.array(labels, dtype=object), truth, gaps)
    counts = conditioner.counts
    gyroscope = (conditioner.gyro_note or "used") if conditioner.has_gyro else ""
    return ImportReport(
        counts["read"],
        len(labels),
        input_rate,
        time_unit,
        not mapping.has_velocity,
        counts["malformed"],
        counts["out_of_order"],
        piece,
        len(events),
        gyroscope,
    )


def _silence(before: float | None, after: float | None) -> float:
    """Seconds between two samples' time stamps; infinite when unknown (no time stamps, or a
    clock that started again)."""
    if before is None or after is None or not after > before:
        return math.inf
    return after - before


def describe(report: ImportReport, source, output) -> str:
    """The lines the command prints about one import."""
    timing = f"time stamps in {report.time_unit}" if report.time_unit else "no time stamps"
    lines = [
        f"read {source}: {report.rows_read} rows at {report.input_rate_hz:.4g} Hz ({timing})",
        f"wrote {output}: {report.rows_written} rows at 50 Hz, velocity "
        + ("estimated from the acceleration" if report.velocity_estimated else "from the file")
        + (" and the gyroscope" if report.gyroscope == "used" else ""),
    ]
    if report.gyroscope not in ("", "used"):
        lines.append(f"gyroscope columns not used: {report.gyroscope}")
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
            "(gaps, clock resets, new takes; each noted in the gap_s column)"
        )
    return "\n".join(lines)
