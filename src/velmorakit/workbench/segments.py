"""Recordings cut into labelled segment vectors, the training examples of a model.

Segments are cut by the same filtering and segmentation that the engine applies live,
so that a model learns from exactly the vectors it will later be shown.
"""

from collections import Counter
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from scipy import signal

from ..middleware.utilities.dataset_shaper import DatasetShaper, extract_segments
from .errors import WorkbenchError

FEATURES = 300


@dataclass
class SegmentSet:
    features: np.ndarray  # k x 300
    labels: np.ndarray  # k labels (str)
    bounds: np.ndarray  # k x 2 first and last sample index of each segment in its recording
    sources: np.ndarray  # k names of the recording each segment comes from

    def __len__(self) -> int:
        return len(self.labels)


def segment_labels(bounds: np.ndarray, row_labels: np.ndarray) -> list[str]:
    """The most frequent non-empty label among the rows each segment covers, "" if none."""
    result = []
    for start, end in bounds:
        covered = [label for label in row_labels[max(start, 0) : end + 1] if label]
        result.append(Counter(covered).most_common(1)[0][0] if covered else "")
    return result


def extract(samples: np.ndarray, step: int) -> tuple[np.ndarray, np.ndarray]:
    """Feature vectors (k x 300) and bounds (k x 2) of every segment the engine would cut."""
    vectors, bounds = extract_segments(np.ascontiguousarray(samples, dtype=float), step)
    return np.asarray(vectors)[:, 1:].reshape(-1, FEATURES), np.asarray(bounds).reshape(-1, 2)


def concatenate(parts: list[SegmentSet]) -> SegmentSet:
    return SegmentSet(
        np.concatenate([p.features for p in parts]).reshape(-1, FEATURES),
        np.concatenate([p.labels for p in parts]).astype(str),
        np.concatenate([p.bounds for p in parts]).reshape(-1, 2).astype(np.int64),
        np.concatenate([p.sources for p in parts]).astype(str),
    )


def shape_recording(samples: np.ndarray, row_labels: np.ndarray, source: str, step: int):
    """Labelled segments of one recording, and how many covered no labelled row (dropped)."""
    features, bounds = extract(samples, step)
    labels = np.array(segment_labels(bounds, row_labels), dtype=str)
    keep = labels != ""
    segments = SegmentSet(features[keep], labels[keep], bounds[keep], np.full(keep.sum(), source))
    return segments, int((~keep).sum())


def save_segments(path: str | Path, segments: SegmentSet) -> None:
    np.savez_compressed(
        path,
        features=segments.features,
        labels=segments.labels,
        bounds=segments.bounds,
        sources=segments.sources,
    )


def load_segments(path: str | Path) -> SegmentSet:
    try:
        with np.load(path, allow_pickle=False) as data:
            segments = SegmentSet(data["features"], data["labels"], data["bounds"], data["sources"])
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
