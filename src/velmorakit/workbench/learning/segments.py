"""Recordings cut into labelled segment vectors, the training examples of a model.

Segments are cut by the same filtering and segmentation that the engine applies live,
so that a model learns from exactly the vectors it will later be shown.
"""

from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from scipy import signal

from ...middleware.utilities.dataset_shaper import DatasetShaper, extract_segments
from ...models.model_pair import FEATURES
from ..errors import WorkbenchError
from .segment_file import SegmentFileWriter, segments_path


@dataclass
class SegmentSet:
    features: np.ndarray  # k x 300
    labels: np.ndarray  # k labels (str)
    bounds: np.ndarray  # k x 2 first and last sample index of each segment in its recording
    sources: np.ndarray  # k names of the recording each segment comes from
    # k indices of the labelled gesture each segment belongs to within its recording: the
    # copies of one gesture cut at different cycle phases share it. Unknown (files written
    # before it was kept): each segment is a gesture of its own.
    gestures: np.ndarray | None = None

    step: int = 0  # samples per cycle the segments were cut with; 0 if unknown or mixed
    # m x 300: segments that overlap no true gesture (motion that is no gesture), with their
    # bounds and recordings (unknown in files written before they were kept: empty arrays).
    unlabelled: np.ndarray | None = None
    unlabelled_bounds: np.ndarray | None = None
    unlabelled_sources: np.ndarray | None = None
    # The recordings the segments were cut from: name (as in `sources`) and the path it was
    # read from, so that training can replay them through the engine.
    recordings: dict[str, str] = field(default_factory=dict)

    def __post_init__(self):
        if self.gestures is None:
            self.gestures = np.arange(len(self.labels))
        if self.unlabelled is None:
            self.unlabelled = np.zeros((0, FEATURES))
        if self.unlabelled_bounds is None or len(self.unlabelled_bounds) != len(self.unlabelled):
            self.unlabelled_bounds = np.zeros((0, 2), dtype=np.int64)
            self.unlabelled_sources = np.zeros(0, dtype=str)

    def groups(self) -> np.ndarray:
        """One integer per segment, equal for segments of the same gesture of the same
        recording: cross-validation keeps such segments in one fold."""
        keys = np.char.add(np.char.add(self.sources.astype(str), "\0"), self.gestures.astype(str))
        return np.unique(keys, return_inverse=True)[1]

    def __len__(self) -> int:
        return len(self.labels)


def gesture_indices(bounds: np.ndarray, events) -> np.ndarray:
    """The true gesture (index into `events`) each segment overlaps most, the first on a tie,
    -1 where it overlaps none."""
    spans = np.array([(e.start, e.end) for e in events], dtype=np.int64).reshape(-1, 2)
    best = np.full(len(bounds), -1, dtype=np.int64)
    if not len(bounds) or not len(spans):
        return best
    first, end = bounds[:, 0], bounds[:, 1] + 1
    if not (np.all(spans[1:, 0] >= spans[:-1, 1]) and np.all(spans[:, 1] >= spans[:, 0])):
        # Gestures out of order or overlapping: compare each segment with every gesture, a
        # block of segments at a time so that memory stays bounded.
        for at in range(0, len(bounds), 1024):
            block = slice(at, at + 1024)
            overlap = np.minimum(end[block, None], spans[:, 1]) - np.maximum(
                first[block, None], spans[:, 0]
            )
            best[block] = np.where(overlap.max(axis=1) > 0, overlap.argmax(axis=1), -1)
        return best
    # Gestures in order and apart: those a segment overlaps are consecutive, from the first
    # that ends after the segment starts to the last that starts before it ends.
    low = np.searchsorted(spans[:, 1], first, side="right")
    high = np.searchsorted(spans[:, 0], end, side="left")
    most = np.zeros(len(bounds), dtype=np.int64)
    for offset in range(int((high - low).max(initial=0))):
        k = low + offset
        inside = k < high
        at = np.minimum(k, len(spans) - 1)
        overlap = np.minimum(end, spans[at, 1]) - np.maximum(first, spans[at, 0])
        better = inside & (overlap > most)
        best[better], most[better] = k[better], overlap[better]
    return best


def segment_labels(bounds: np.ndarray, row_labels: np.ndarray) -> list[str]:
    """The most frequent non-empty label among the rows each segment covers, "" if none."""
    result = []
    for start, end in bounds:
        covered = [label for label in row_labels[max(start, 0) : end + 1] if label]
        result.append(Counter(covered).most_common(1)[0][0] if covered else "")
    return result


def extract(samples: np.ndarray, step: int, phase: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Feature vectors (k x 300) and bounds (k x 2) of every segment the engine would cut,
    running a cycle after every `step`-th sample.

    With `phase` p the cycles come p samples earlier, as for a worker that started p samples
    before the recording: p rows at rest go in front (a fresh window holds only zeros, so
    they change nothing else) and the bounds are shifted back.
    """
    samples = np.ascontiguousarray(samples, dtype=float)
    if phase:
        samples = np.concatenate([np.zeros((phase, samples.shape[1])), samples])
    vectors, bounds = extract_segments(samples, step)
    bounds = np.asarray(bounds).reshape(-1, 2) - phase
    return np.asarray(vectors)[:, 1:].reshape(-1, FEATURES), bounds


def concatenate(parts: list[SegmentSet]) -> SegmentSet:
    steps = {p.step for p in parts}
    placed = all(len(p.unlabelled_bounds) == len(p.unlabelled) for p in parts)
    return SegmentSet(
        np.concatenate([p.features for p in parts]).reshape(-1, FEATURES),
        np.concatenate([p.labels for p in parts]).astype(str),
        np.concatenate([p.bounds for p in parts]).reshape(-1, 2).astype(np.int64),
        np.concatenate([p.sources for p in parts]).astype(str),
        np.concatenate([p.gestures for p in parts]).astype(np.int64),
        steps.pop() if len(steps) == 1 else 0,
        np.concatenate([p.unlabelled for p in parts]).reshape(-1, FEATURES),
        np.concatenate([p.unlabelled_bounds for p in parts]).reshape(-1, 2).astype(np.int64)
        if placed
        else None,
        np.concatenate([p.unlabelled_sources for p in parts]).astype(str) if placed else None,
        {name: path for p in parts for name, path in p.recordings.items()},
    )


def pieces(rows: int, breaks) -> list[tuple[int, int]]:
    """(first, end) rows of the stretches between the rows in `breaks`, where the worker's
    window would have been cleared."""
    cuts = sorted({0, rows, *(int(b) for b in breaks if 0 < b < rows)})
    return list(zip(cuts[:-1], cuts[1:], strict=True))


def shape_recording(*args, **options):
    """Labelled segments of one recording (with the unlabelled ones apart), and how many
    overlapped no true gesture.

    `events` are the recording's true gestures (start, end, label): each segment takes the
    label of the one it overlaps most and stays tied to it, so that the copies of one take
    are kept together however its neighbours are labelled. The worker runs a cycle every
    `step` samples, from wherever its stream began, so one gesture reaches the classifier
    cut from any of `step` window positions. With `all_phases` the recording is cut at each
    of them, one copy of every gesture per phase. No segment spans a row of `breaks` (a
    sensor gap that clears the worker's window): each stretch between them is cut alone.
    """
    parts = list(shape_phases(*args, **options))
    return concatenate(parts), sum(len(part.unlabelled) for part in parts)


def shape_phases(
    samples: np.ndarray,
    events,
    source: str,
    step: int,
    all_phases: bool = False,
    breaks=(),
    path: str | None = None,
) -> Iterator[SegmentSet]:
    """The segments of `shape_recording` (which takes the same arguments), one set per stretch
    and cycle phase, so that a long recording's vectors can be written away as they are cut."""
    names = np.array([e.label for e in events] + [""], dtype=str)
    for first, end in pieces(len(samples), breaks):
        for phase in range(step if all_phases else 1):
            features, bounds = extract(samples[first:end], step, phase)
            bounds = bounds + first
            gestures = gesture_indices(bounds, events)
            keep = gestures >= 0
            yield SegmentSet(
                features[keep],
                names[gestures[keep]],
                bounds[keep],
                np.full(keep.sum(), source),
                gestures[keep],
                step,
                features[~keep],
                bounds[~keep],
                np.full((~keep).sum(), source),
                {source: path} if path else {},
            )


def save_segments(path: str | Path, segments: SegmentSet) -> Path:
    """Write `segments` to `segments_path(path)`, which is returned."""
    with SegmentFileWriter(segments_path(path).parent, FEATURES) as writer:
        writer.add(segments)
        return writer.save(path)


def load_segments(path: str | Path) -> SegmentSet:
    expected = "expects the segments file (.npz) that `velmorakit shape` writes"
    try:
        data = np.load(path, allow_pickle=False)
    except FileNotFoundError:
        raise WorkbenchError(f"{path}: no such file") from None
    except (OSError, ValueError):
        # NumPy's message about pickled data only means the file is no NumPy file at all.
        raise WorkbenchError(f"{path}: not a segment file; {expected}") from None
    if not isinstance(data, np.lib.npyio.NpzFile):
        raise WorkbenchError(f"{path}: not a segment file (one NumPy array); {expected}")
    try:
        with data:
            gestures = data["gestures"] if "gestures" in data else None
            step = int(data["step"]) if "step" in data else 0
            optional = {
                key: data[key] if key in data else None
                for key in ("unlabelled", "unlabelled_bounds", "unlabelled_sources")
            }
            names = data["recording_names"].tolist() if "recording_names" in data else []
            paths = data["recording_paths"].tolist() if "recording_paths" in data else []
            segments = SegmentSet(
                data["features"],
                data["labels"],
                data["bounds"],
                data["sources"],
                gestures,
                step,
                **optional,
                recordings=dict(zip(names, paths, strict=True)),
            )
    except KeyError as err:
        raise WorkbenchError(f"{path}: not a segment file (no {err.args[0]!r} array)") from None
    except ValueError:
        raise WorkbenchError(f"{path}: not a segment file (damaged arrays); {expected}") from None
    if segments.features.ndim != 2 or len(segments.features) != len(segments.labels):
        raise WorkbenchError(f"{path}: features and labels do not match")
    return segments


def filtered_speed(samples: np.ndarray) -> tuple[np.ndarray, float]:
    """The low-pass filtered speed in which segments are found, and the peak threshold.

    The engine filters each 2 s window afresh; over a whole recording one causal pass of
    the same filter gives the same curve once the first window has filled.
    """
    shaper = DatasetShaper
    order, cutoff = shaper.FILT_VELTOT
    b, a = signal.butter(int(order), cutoff / (shaper.F_SAMP / 2), "lowpass")
    return signal.lfilter(b, a, np.linalg.norm(samples[:, 3:6], axis=1)), float(shaper.MAX_TH)
