"""Recordings as CSV files: six sensor columns and a label per row, plus a ground-truth file.

A recording has the header ax, ay, az, vx, vy, vz, label (the label column may be absent);
rows where no gesture is being made have an empty label. The ground truth of a recording
`x.csv` lives beside it in `x.truth.csv`, one gesture per row: start, end, label, distance.
An imported recording whose sensor paused or started again has a column gap_s, empty but on
the first row after each such gap: the seconds of silence before it, `inf` when unknown.
Files as spreadsheets and sensors write them are read too (see `csv_tables`); a recording that
carries a time column must be at 50 Hz, other rates go through `velmorakit import` first.
"""

import csv
import logging
import math
from array import array
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from ...conditioning import TIME_COLUMNS
from ...errors import InputError
from ..errors import WorkbenchError
from ..outputs import replacing
from ..simulation.synthetic import GestureEvent
from .tables import Table, read_table, to_float

SENSOR_COLUMNS = ("ax", "ay", "az", "vx", "vy", "vz")
LABEL_COLUMN = "label"
GAP_COLUMN = "gap_s"
TRUTH_COLUMNS = ("start", "end", "label", "distance")
log = logging.getLogger(__name__)


@dataclass
class Recording:
    samples: np.ndarray  # N x 6 float64
    labels: np.ndarray  # N labels (object array of str), "" where no gesture is made
    nonfinite_rows: int = 0  # rows holding NaN or infinity, kept as they are
    label_column: bool = False  # the file has a label column (its labels may all be empty)
    # row -> seconds the sensor was silent before it (inf: unknown), where it paused or a take
    # began; the rows are otherwise 1/50 s apart
    gaps: dict[int, float] = field(default_factory=dict)


def truth_path(path: str | Path) -> Path:
    path = Path(path)
    return path.with_name(path.stem + ".truth.csv")


def recording_paths(paths: list[str]) -> list[str]:
    """The recordings among `paths`: ground-truth files, which a `*.csv` glob also
    matches, are left out."""
    recordings = [p for p in paths if not str(p).endswith(".truth.csv")]
    if not recordings:
        raise WorkbenchError("no recordings given (only ground-truth files)")
    return recordings


def _locate(path: Path, table: Table, required: tuple[str, ...]) -> list[int]:
    columns = [table.column(name) for name in required]
    missing = [name for name, c in zip(required, columns, strict=True) if c is None]
    if missing:
        raise WorkbenchError(f"{path}: missing column(s) {', '.join(missing)} in the header")
    return columns


def check_time_column(path: Path, table: Table) -> None:
    """Refuse a recording whose own time stamps say that it is not at 50 Hz."""
    name = next((n for n in TIME_COLUMNS if table.column(n) is not None), None)
    if name is None:
        return
    column = table.column(name)
    try:
        times = np.array([to_float(row[column], table.delimiter) for _, row in table.rows])
    except (ValueError, IndexError):
        raise WorkbenchError(f"{path}: the time column {name!r} holds no numbers") from None
    steps = np.diff(times)
    steps = steps[np.isfinite(steps) & (steps > 0)]
    if not len(steps):
        return
    step = float(np.median(steps))
    # Seconds or milliseconds: 0.02 s and 20 ms are both 50 Hz.
    if any(abs(step * scale - 0.02) <= 0.0004 for scale in (1.0, 1e-3)):
        return
    rates = " or ".join(f"{1 / (step * scale):.4g} Hz" for scale in (1.0, 1e-3))
    raise WorkbenchError(
        f"{path}: its time stamps ({name!r}) are {step:g} apart, that is {rates}, not 50 Hz: "
        "bring it to 50 Hz with `velmorakit import`"
    )


def read_recording(path: str | Path) -> Recording:
    """A recording's samples and labels. Rows holding NaN or infinity are kept (the engine
    gives no gesture while they are in its window) and counted in `nonfinite_rows`."""
    path = Path(path)
    table = read_table(path)
    try:
        columns = _locate(path, table, SENSOR_COLUMNS)
    except InputError as err:
        if any(table.column(name) is None for name in SENSOR_COLUMNS[:3]):
            raise
        raise WorkbenchError(
            f"{err}: for acceleration alone, `velmorakit import` estimates the velocity"
        ) from None
    check_time_column(path, table)
    label_col, gap_col = table.column(LABEL_COLUMN), table.column(GAP_COLUMN)
    # The numbers go straight into one flat buffer and each distinct label is kept once:
    # per-row Python lists and strings would take ten times the memory of the samples.
    values, labels, known, gaps = array("d"), [], {}, {}
    for line, row in table.rows:
        try:
            values.extend([to_float(row[c], table.delimiter) for c in columns])
        except (ValueError, IndexError):
            raise WorkbenchError(f"{path}:{line}: expected six numbers in {row}") from None
        label = row[label_col].strip() if label_col is not None and label_col < len(row) else ""
        labels.append(known.setdefault(label, label))
        if gap_col is not None and gap_col < len(row) and row[gap_col].strip():
            gaps[len(labels) - 1] = _gap(path, line, row[gap_col], table.delimiter)
    if not labels:
        raise WorkbenchError(f"{path}: no samples")
    samples = np.frombuffer(values, dtype=float).reshape(-1, len(SENSOR_COLUMNS))
    nonfinite = int((~np.isfinite(samples).all(axis=1)).sum())
    if nonfinite:
        log.warning(
            "%s: %d row(s) hold NaN or infinite values; kept, no gesture is found while they "
            "are in the engine's window",
            path,
            nonfinite,
        )
    return Recording(
        samples, np.array(labels, dtype=object), nonfinite, label_col is not None, gaps
    )


def _gap(path: Path, line: int, text: str, delimiter: str) -> float:
    try:
        seconds = to_float(text, delimiter)
    except ValueError:
        seconds = math.nan
    if not seconds > 0:
        raise WorkbenchError(
            f"{path}:{line}: {GAP_COLUMN} must be the seconds of a gap (or inf), not {text!r}"
        )
    return seconds


def write_recording(
    path: str | Path, samples: np.ndarray, labels: np.ndarray, gaps: dict[int, float] | None = None
) -> None:
    """The recording as CSV; the gap column only when there are gaps."""
    with replacing(path) as (temp,):
        _write_rows(temp, samples, labels, gaps)


def write_truth(path: str | Path, events: list[GestureEvent]) -> None:
    with replacing(path) as (temp,):
        _write_events(temp, events)


def write_with_truth(
    path: str | Path,
    samples: np.ndarray,
    labels: np.ndarray,
    events: list[GestureEvent] | None,
    gaps: dict[int, float] | None = None,
) -> None:
    """A recording and its ground truth, replaced as a pair: both are written under temporary
    names, then the truth is renamed into place and the recording last, so that a recording
    is never seen beside an older truth or without one. Without `events`, a truth left from an
    earlier recording of that name is removed, as it would be taken for this one's."""
    truth = truth_path(path)
    if events is None:
        with replacing(path, removing=[truth]) as (temp,):
            _write_rows(temp, samples, labels, gaps)
        return
    with replacing(truth, path) as (truth_temp, temp):
        _write_events(truth_temp, events)
        _write_rows(temp, samples, labels, gaps)


def _write_rows(path: Path, samples: np.ndarray, labels: np.ndarray, gaps) -> None:
    with path.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow([*SENSOR_COLUMNS, LABEL_COLUMN] + ([GAP_COLUMN] if gaps else []))
        for i, (values, label) in enumerate(zip(samples, labels, strict=True)):
            row = [f"{v:.5f}" for v in values] + [label]
            if gaps:
                row.append(f"{gaps[i]:.6g}" if i in gaps else "")
            writer.writerow(row)


def _write_events(path: Path, events: list[GestureEvent]) -> None:
    with path.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(TRUTH_COLUMNS)
        for event in events:
            writer.writerow([event.start, event.end, event.label, event.distance])


def read_truth(path: str | Path) -> list[GestureEvent]:
    path = Path(path)
    table = read_table(path)
    idx = _locate(path, table, TRUTH_COLUMNS)
    events = []
    for line, row in table.rows:
        try:
            start, end, label, distance = (row[i] for i in idx)
            events.append(GestureEvent(int(start), int(end), label.strip(), float(distance)))
        except (ValueError, IndexError):
            raise WorkbenchError(f"{path}:{line}: expected start, end, label, distance") from None
    return events


def events_from_labels(labels, pieces=None) -> list[GestureEvent]:
    """Gestures as the runs of equal, non-empty labels, cut also where `pieces` (the takes or
    stretches that an import saw) change; their distance is unknown (NaN)."""
    keys = list(labels) if pieces is None else list(zip(pieces, labels, strict=True))
    events = []
    start = 0
    for i in range(1, len(keys) + 1):
        if i == len(keys) or keys[i] != keys[start]:
            if labels[start]:
                events.append(GestureEvent(start, i, str(labels[start]), math.nan))
            start = i
    return events


def load_events(path: str | Path, recording: Recording) -> list[GestureEvent]:
    """The ground truth beside the recording if there is one, else the runs of its labels."""
    truth = truth_path(path)
    return read_truth(truth) if truth.exists() else events_from_labels(recording.labels)
