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
from ..errors import WorkbenchError
from .segment_file import SegmentFileWriter

FEATURES = 300


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
    # m x 300: segments that cover no labelled row (motion that is no gesture), with their
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


def label_runs(row_labels: np.ndarray) -> list[tuple[int, int]]:
    """(first, end) rows of every run of equal, non-empty labels, end excluded."""
    runs, start = [], 0
    for i in range(1, len(row_labels) + 1):
        if i == len(row_labels) or row_labels[i] != row_labels[start]:
            if row_labels[start]:
                runs.append((start, i))
            start = i
    return runs


def gesture_indices(bounds: np.ndarray, runs: list[tuple[int, int]]) -> np.ndarray:
    """The label run (of `label_runs`) each segment overlaps most, -1 where it covers no
    labelled row; of runs it overlaps equally, the first."""
    runs = np.array(runs, dtype=np.int64).reshape(-1, 2)
    best = np.full(len(bounds), -1, dtype=np.int64)
    if not len(bounds) or not len(runs):
        return best
    first, end = bounds[:, 0], bounds[:, 1] + 1
    # Runs lie in order and apart, so those a segment overlaps are consecutive: from the
    # first that ends after the segment starts to the last that starts before it ends.
    low = np.searchsorted(runs[:, 1], first, side="right")
    high = np.searchsorted(runs[:, 0], end, side="left")
    most = np.zeros(len(bounds), dtype=np.int64)
    for offset in range(int((high - low).max(initial=0))):
        run = low + offset
        inside = run < high
        at = np.minimum(run, len(runs) - 1)
        overlap = np.minimum(end, runs[at, 1]) - np.maximum(first, runs[at, 0])
        better = inside & (overlap > most)
        best[better], most[better] = run[better], overlap[better]
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
    return _cut(samples, step, phase)


def _cut(padded: np.ndarray, step: int, phase: int) -> tuple[np.ndarray, np.ndarray]:
    """`extract` of a recording that already has its `phase` rows at rest in front."""
    vectors, bounds = extract_segments(padded, step)
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


def shape_recording(
    samples: np.ndarray,
    row_labels: np.ndarray,
    source: str,
    step: int,
    all_phases: bool = False,
    path: str | None = None,
):
    """Labelled segments of one recording (with the unlabelled ones apart), and how many
    covered no labelled row."""
    parts = list(shape_phases(samples, row_labels, source, step, all_phases, path))
    return concatenate(parts), sum(len(part.unlabelled) for part in parts)


def shape_phases(
    samples: np.ndarray,
    row_labels: np.ndarray,
    source: str,
    step: int,
    all_phases: bool = False,
    path: str | None = None,
) -> Iterator[SegmentSet]:
    """The segments of one recording, one set per cycle phase (the unlabelled ones apart).

    The worker runs a cycle every `step` samples, from wherever its stream began, so one
    gesture reaches the classifier cut from any of `step` window positions. With
    `all_phases` the recording is cut at each of them, one copy of every gesture per phase.
    """
    phases = step if all_phases else 1
    # One copy of the recording with rows at rest in front serves every phase: phase p
    # starts p rows before the first sample. The samples are let go once copied, which frees
    # them where the caller keeps no reference of its own.
    padded = np.zeros((phases - 1 + len(samples), *np.shape(samples)[1:]))
    padded[phases - 1 :] = samples
    del samples
    runs = label_runs(row_labels)
    for phase in range(phases):
        cut = _cut(padded[phases - 1 - phase :], step, phase)
        yield _labelled(*cut, row_labels, runs, source, step, path)
        del cut  # the next phase is cut without this one's vectors in memory


def _labelled(features, bounds, row_labels, runs, source, step, path) -> SegmentSet:
    """The segments of one cut, labelled from the rows they cover."""
    labels = np.array(segment_labels(bounds, row_labels), dtype=str)
    keep = labels != ""
    return SegmentSet(
        features[keep],
        labels[keep],
        bounds[keep],
        np.full(keep.sum(), source),
        gesture_indices(bounds[keep], runs),
        step,
        features[~keep],
        bounds[~keep],
        np.full((~keep).sum(), source),
        {source: path} if path else {},
    )


def save_segments(path: str | Path, segments: SegmentSet) -> None:
    with SegmentFileWriter(Path(path).parent, FEATURES) as writer:
        writer.add(segments)
        writer.save(path)


def load_segments(path: str | Path) -> SegmentSet:
    try:
        with np.load(path, allow_pickle=False) as data:
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
    except FileNotFoundError:
        raise WorkbenchError(f"{path}: no such file") from None
    except KeyError as err:
        raise WorkbenchError(f"{path}: not a segment file (no {err.args[0]!r} array)") from None
    except (OSError, ValueError) as err:
        raise WorkbenchError(f"{path}: not a segment file ({err})") from None
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
