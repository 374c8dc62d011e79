"""Recordings as CSV files: six sensor columns and a label per row, plus a ground-truth file.

A recording has the header ax, ay, az, vx, vy, vz, label (the label column may be absent);
rows where no gesture is being made have an empty label. The ground truth of a recording
`x.csv` lives beside it in `x.truth.csv`, one gesture per row: start, end, label, distance.
"""

import csv
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .errors import WorkbenchError
from .synthetic import GestureEvent

SENSOR_COLUMNS = ("ax", "ay", "az", "vx", "vy", "vz")
LABEL_COLUMN = "label"
TRUTH_COLUMNS = ("start", "end", "label", "distance")


@dataclass
class Recording:
    samples: np.ndarray  # N x 6 float64
    labels: np.ndarray  # N labels (object array of str), "" where no gesture is made


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


def _open_csv(path: Path, required: tuple[str, ...]):
    try:
        handle = path.open(newline="")
    except FileNotFoundError:
        raise WorkbenchError(f"{path}: no such file") from None
    except OSError as err:
        raise WorkbenchError(f"{path}: cannot read ({err.strerror})") from None
    reader = csv.reader(handle)
    header = [name.strip().lower() for name in next(reader, [])]
    missing = [name for name in required if name not in header]
    if missing:
        handle.close()
        raise WorkbenchError(f"{path}: missing column(s) {', '.join(missing)} in the header")
    return handle, reader, header


def read_recording(path: str | Path) -> Recording:
    path = Path(path)
    handle, reader, header = _open_csv(path, SENSOR_COLUMNS)
    with handle:
        columns = [header.index(name) for name in SENSOR_COLUMNS]
        label_col = header.index(LABEL_COLUMN) if LABEL_COLUMN in header else None
        rows, labels = [], []
        for line, row in enumerate(reader, start=2):
            if not row:
                continue
            try:
                values = [float(row[c]) for c in columns]
            except (ValueError, IndexError):
                raise WorkbenchError(f"{path}:{line}: expected six numbers in {row}") from None
            if not all(map(math.isfinite, values)):
                raise WorkbenchError(f"{path}:{line}: values must be finite numbers")
            rows.append(values)
            label = row[label_col].strip() if label_col is not None and label_col < len(row) else ""
            labels.append(label)
    if not rows:
        raise WorkbenchError(f"{path}: no samples")
    return Recording(np.array(rows, dtype=float), np.array(labels, dtype=object))


def write_recording(path: str | Path, samples: np.ndarray, labels: np.ndarray) -> None:
    with Path(path).open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow([*SENSOR_COLUMNS, LABEL_COLUMN])
        for values, label in zip(samples, labels, strict=True):
            writer.writerow([f"{v:.5f}" for v in values] + [label])


def write_truth(path: str | Path, events: list[GestureEvent]) -> None:
    with Path(path).open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(TRUTH_COLUMNS)
        for event in events:
            writer.writerow([event.start, event.end, event.label, event.distance])


def read_truth(path: str | Path) -> list[GestureEvent]:
    path = Path(path)
    handle, reader, header = _open_csv(path, TRUTH_COLUMNS)
    with handle:
        idx = [header.index(name) for name in TRUTH_COLUMNS]
        events = []
        for line, row in enumerate(reader, start=2):
            if not row:
                continue
            try:
                start, end, label, distance = (row[i] for i in idx)
                events.append(GestureEvent(int(start), int(end), label.strip(), float(distance)))
            except (ValueError, IndexError):
                raise WorkbenchError(
                    f"{path}:{line}: expected start, end, label, distance"
                ) from None
    return events


def events_from_labels(labels: np.ndarray) -> list[GestureEvent]:
    """Gestures as the runs of equal, non-empty labels; their distance is unknown (NaN)."""
    events = []
    start = 0
    for i in range(1, len(labels) + 1):
        if i == len(labels) or labels[i] != labels[start]:
            if labels[start]:
                events.append(GestureEvent(start, i, str(labels[start]), math.nan))
            start = i
    return events


def load_events(path: str | Path, recording: Recording) -> list[GestureEvent]:
    """The ground truth beside the recording if there is one, else the runs of its labels."""
    truth = truth_path(path)
    return read_truth(truth) if truth.exists() else events_from_labels(recording.labels)
