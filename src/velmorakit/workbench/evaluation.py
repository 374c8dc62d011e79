"""Scoring the engine on labelled recordings, fed the way the gesture worker feeds it.

The engine receives the samples in batches of `num_sample` and runs once per batch; a
result counts only if it passes the worker's confidence and probability thresholds.
Each accepted result is matched to the ground-truth gesture its segment overlaps most.
"""

from dataclasses import dataclass, field

import numpy as np
from sklearn.metrics import confusion_matrix

from ..models.gesture import GestureConfig
from .synthetic import SAMPLE_RATE, GestureEvent

NONE = "(none)"  # the row of spurious results and the column of missed gestures


@dataclass(frozen=True)
class Detection:
    index: int  # samples pushed when the result was produced
    start: int  # segment bounds in the recording, both rows included
    end: int
    label: str
    probability: float
    confidence: float
    displacement: float


@dataclass
class Evaluation:
    classes: list[str]
    confusion: np.ndarray  # rows true label, columns reported label; NONE last
    gestures: int = 0
    recognised: int = 0
    misclassified: int = 0
    missed: int = 0
    spurious: int = 0
    results: int = 0
    displacement_errors: list[float] = field(default_factory=list)
    delays_s: list[float] = field(default_factory=list)

    @property
    def recognition_rate(self) -> float:
        return self.recognised / self.gestures if self.gestures else float("nan")

    @property
    def spurious_rate(self) -> float:
        return self.spurious / self.results if self.results else 0.0


def run_engine(engine, samples: np.ndarray, config: GestureConfig) -> list[Detection]:
    """Push every row, run once per full batch, keep the results the worker would accept."""
    detections = []
    window = type(engine).DATA_DIM
    n = config.num_sample
    for batch_end in range(n, len(samples) + 1, n):
        for row in samples[batch_end - n : batch_end]:
            engine.push_data(row.tolist())
        label, probability, confidence, displacement = engine.run()
        if label is None:
            continue
        if confidence < config.confidence_th or probability < config.gesture_prob_th:
            continue
        left, right = engine.min_index_a
        offset = batch_end - window
        detections.append(
            Detection(
                batch_end,
                offset + int(left),
                offset + int(right),
                str(label),
                float(probability),
                float(confidence),
                float(displacement),
            )
        )
    return detections


def match(detections: list[Detection], events: list[GestureEvent]) -> dict[int, int]:
    """Detection index -> event index, each event at most once, by largest overlap."""
    pairs = {}
    taken = set()
    for d, det in enumerate(detections):
        overlaps = [min(ev.end, det.end + 1) - max(ev.start, det.start) for ev in events]
        best = int(np.argmax(overlaps)) if overlaps else -1
        if best >= 0 and overlaps[best] > 0 and best not in taken:
            pairs[d] = best
            taken.add(best)
    return pairs


def score(
    detections: list[Detection], events: list[GestureEvent], classes: list[str]
) -> Evaluation:
    pairs = match(detections, events)
    truth, reported = [], []
    result = Evaluation(classes, np.zeros((0, 0)), gestures=len(events), results=len(detections))
    for d, det in enumerate(detections):
        event = events[pairs[d]] if d in pairs else None
        truth.append(event.label if event else NONE)
        reported.append(det.label)
        if event is None:
            result.spurious += 1
        elif det.label == event.label:
            result.recognised += 1
            result.delays_s.append((det.index - event.end) / SAMPLE_RATE)
            if np.isfinite(event.distance):
                # Along the gesture's direction: negative when the reported stroke is short.
                along = np.sign(event.signed_distance) * det.displacement
                result.displacement_errors.append(along - event.distance)
        else:
            result.misclassified += 1
    matched = set(pairs.values())
    for e, event in enumerate(events):
        if e not in matched:
            result.missed += 1
            truth.append(event.label)
            reported.append(NONE)
    labels = sorted((set(classes) | set(truth) | set(reported)) - {NONE}) + [NONE]
    result.classes = labels
    result.confusion = confusion_matrix(truth, reported, labels=labels)
    return result


def merge(parts: list[Evaluation]) -> Evaluation:
    """One evaluation over several recordings."""
    labels = sorted(set().union(*(p.classes for p in parts)) - {NONE}) + [NONE]
    total = Evaluation(labels, np.zeros((len(labels), len(labels)), dtype=int))
    for part in parts:
        index = [labels.index(c) for c in part.classes]
        total.confusion[np.ix_(index, index)] += part.confusion
        for name in ("gestures", "recognised", "misclassified", "missed", "spurious", "results"):
            setattr(total, name, getattr(total, name) + getattr(part, name))
        total.displacement_errors += part.displacement_errors
        total.delays_s += part.delays_s
    return total
