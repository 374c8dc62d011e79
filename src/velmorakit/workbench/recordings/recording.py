"""Recordings as CSV files: six sensor columns and a label per row, plus a ground-truth file.

A recording has the header ax, ay, az, vx, vy, vz, label (the label column may be absent);
rows where no gesture is being made have an empty label. The ground truth of a recording
`x.csv` lives beside it in `x.truth.csv`, one gesture per row: start, end, label, distance.
Files as spreadsheets and sensors write them are read too (see `csv_tables`); a recording that
carries a time column must be at 50 Hz, other rates go through `velmorakit import` first.
"""

import csv
import logging
import math
from array import array
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ...conditioning import TIME_COLUMNS
from ...errors import InputError
from ..errors import WorkbenchError
from ..simulation.synthetic import GestureEvent
from .tables import Table, read_table, to_float

SENSOR_COLUMNS = ("ax", "ay", "az", "vx", "vy", "vz")
LABEL_COLUMN = "label"
TRUTH_COLUMNS = ("start", "end", "label", "distance")
log = logging.getLogger(__name__)
_NO_RUN = object()  # the key before the first row


@dataclass
class Recording:
    samples: np.ndarray  # N x 6 float64
    labels: np.ndarray  # N labels (object array of str), "" where no gesture is made
    nonfinite_rows: int = 0  # rows holding NaN or infinity, kept as they are


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
        times = np.fromiter(
            (to_float(row[column], table.delimiter) for _, row in table.rows), float
        )
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
    label_col = table.column(LABEL_COLUMN)
    # The numbers go straight into one flat buffer and each distinct label is kept once:
    # per-row Python lists and strings would take ten times the memory of the samples.
    values, labels, known = array("d"), [], {}
    for line, row in table.rows:
        try:
            values.extend([to_float(row[c], table.delimiter) for c in columns])
        except (ValueError, IndexError):
            raise WorkbenchError(f"{path}:{line}: expected six numbers in {row}") from None
        label = row[label_col].strip() if label_col is not None and label_col < len(row) else ""
        labels.append(known.setdefault(label, label))
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
    return Recording(samples, np.array(labels, dtype=object), nonfinite)


def write_recording(path: str | Path, samples: np.ndarray, labels: np.ndarray) -> None:
    write_recording_rows(path, zip(samples, labels, strict=True))


def write_recording_rows(path: str | Path, rows: Iterable[tuple[Iterable[float], str]]) -> None:
    """A recording written row by row from (six values, label) pairs, as they are made.

    The rows go to a file beside `path` that replaces it only once they are all written:
    should making them fail midway, an earlier file of that name is left as it was."""
    path = Path(path)
    partial = path.with_name(f".{path.name}.partial")
    try:
        with partial.open("w", newline="") as handle:
            writer = csv.writer(handle)
            writer.writerow([*SENSOR_COLUMNS, LABEL_COLUMN])
            for values, label in rows:
                writer.writerow([f"{v:.5f}" for v in values] + [label])
        partial.replace(path)
    except BaseException:
        partial.unlink(missing_ok=True)
        raise


def write_truth(path: str | Path, events: list[GestureEvent]) -> None:
    with Path(path).open("w", newline="") as handle:
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


class LabelRuns:
    """Gestures as the runs of equal, non-empty labels, found row by row: a run ends where
    the label changes or where the piece (a take or stretch that an import saw) does."""

    def __init__(self):
        self.events: list[GestureEvent] = []
        self.rows = 0
        self._start, self._key = 0, _NO_RUN

    def add(self, label, piece=None) -> None:
        key = (piece, label)
        if key != self._key:
            self._close()
            self._start, self._key = self.rows, key
        self.rows += 1

    def _close(self) -> None:
        if self._key is not _NO_RUN and self._key[1]:
            self.events.append(GestureEvent(self._start, self.rows, str(self._key[1]), math.nan))

    def finish(self) -> list[GestureEvent]:
        """The gestures of the rows added so far; their distance is unknown (NaN)."""
        self._close()
        self._key = _NO_RUN
        return self.events


def events_from_labels(labels) -> list[GestureEvent]:
    """Gestures as the runs of equal, non-empty labels; their distance is unknown (NaN)."""
    runs = LabelRuns()
    for label in labels:
        runs.add(label)
    return runs.finish()


def load_events(path: str | Path, recording: Recording) -> list[GestureEvent]:
    """The ground truth beside the recording if there is one, else the runs of its labels."""
    truth = truth_path(path)
    return read_truth(truth) if truth.exists() else events_from_labels(recording.labels)
