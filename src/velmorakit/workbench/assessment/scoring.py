"""What happened to every true gesture of a recording, and to every result the engine gave.

Scoring starts from engine passes whose segments are tied to true gestures (`attribution`)
and applies the worker's thresholds and the application's polling of the one-slot result
queue, cheaply enough to be repeated over a grid of thresholds.

The queue is modelled as follows: a result enters the queue at the time of the sample that
completed its batch (the cycle itself takes no time), the application takes the queue's entry
every `poll_s` seconds from the start of the stream (0: after every cycle), and a result that
a later one replaces before the next poll is lost.
"""

import math
from collections import Counter
from dataclasses import dataclass, field

import numpy as np

from ...conditioning import SAMPLE_RATE
from ..simulation.synthetic import GestureEvent
from .attribution import (
    AT_END,
    CLOSE,
    HIDDEN,
    LOW,
    NO_END_BOUND,
    NO_START_BOUND,
    NOT_READ,
    SHARED,
    STALLED,
    TOO_LONG,
    Attributed,
)
from .evaluation import Cycle

NONE = "(none)"  # the row of spurious results and the column of missed gestures

RECOGNISED, MISCLASSIFIED, MISSED, NOT_SCORED = (
    "recognised",
    "misclassified",
    "missed",
    "not scored",
)

# Why a gesture with a segment was missed.
BELOW_CONFIDENCE = "below the confidence threshold"
BELOW_PROBABILITY = "below the probability threshold"
REPLACED = "replaced in the queue before a poll"
REJECTED = "rejected as no gesture"

# Why a delivered result is spurious.
NO_GESTURE = "overlaps no true gesture"
REPEAT = "a second result for the same gesture"
UNKNOWN_GESTURE = "during a gesture whose label the model does not know"

# The same reasons in a word or two, for pictures.
SHORT_REASONS = {
    NOT_READ: "not read",
    LOW: "low peak",
    TOO_LONG: "too long",
    NO_END_BOUND: "no end",
    NO_START_BOUND: "no start",
    CLOSE: "too soon",
    SHARED: "merged",
    HIDDEN: "hidden",
    AT_END: "at the end",
    STALLED: "stall",
    BELOW_CONFIDENCE: "confidence",
    BELOW_PROBABILITY: "probability",
    REPLACED: "queue",
    REJECTED: "no gesture",
}


@dataclass(frozen=True)
class Thresholds:
    confidence: float
    probability: float
    poll_s: float = 0.1


@dataclass(frozen=True)
class Outcome:
    """One true gesture's fate; `index` is the row at which its result was produced."""

    event: GestureEvent
    outcome: str
    reported: str = ""
    reason: str = ""
    detail: str = ""
    index: int = -1
    displacement: float = math.nan  # the engine's, for a recognised gesture


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
    not_scored: int = 0
    reasons: Counter = field(default_factory=Counter)
    spurious_reasons: Counter = field(default_factory=Counter)
    spurious_results: list[tuple[str, str, Cycle]] = field(default_factory=list)  # name, why
    outcomes: list[tuple[str, Outcome]] = field(default_factory=list)  # (recording, outcome)
    displacement_errors: list[float] = field(default_factory=list)
    delays_s: list[float] = field(default_factory=list)
    # Segments the model called no gesture, which the worker drops: on a true gesture (a
    # gesture lost to rejection unless another segment of it got through) or elsewhere (motion
    # that would otherwise have risked a spurious result).
    rejected_on_gestures: int = 0
    rejected_elsewhere: int = 0

    @property
    def recognition_rate(self) -> float | None:
        return self.recognised / self.gestures if self.gestures else None

    @property
    def spurious_rate(self) -> float | None:
        return self.spurious / self.results if self.results else None


def delivered(times_s: list[float], poll_s: float) -> list[bool]:
    """Which of the results queued at `times_s` (ascending) an application polling every
    `poll_s` seconds takes: a result is lost when the next arrives before the poll after it."""
    if poll_s <= 0:
        return [True] * len(times_s)
    taken = []
    for k, t in enumerate(times_s):
        poll = math.ceil(t / poll_s - 1e-9) * poll_s
        taken.append(k + 1 == len(times_s) or times_s[k + 1] > poll + 1e-9)
    return taken


def reached(segments, th: Thresholds) -> tuple[list[int], set[int]]:
    """The segments whose results the worker accepts, and those the application receives."""
    # The worker drops a "no gesture" result before any threshold, then tests the confidence
    # first and the probability only if that passes.
    accepted = [
        s
        for s, seg in enumerate(segments)
        if not seg.rejected
        and seg.confidence >= th.confidence
        and seg.probability >= th.probability
    ]
    times = [segments[s].index / SAMPLE_RATE for s in accepted]
    return accepted, {s for s, ok in zip(accepted, delivered(times, th.poll_s), strict=True) if ok}


def outcomes(part: Attributed, th: Thresholds) -> tuple[list[Outcome], list[int]]:
    """Each gesture's outcome, and the segments whose delivered results are spurious."""
    segments = part.engine_pass.segments
    accepted, reached_app = reached(segments, th)
    accepted_set = set(accepted)
    per_event: dict[int, list[int]] = {}
    spurious = []
    for s, e in enumerate(part.owner):
        if e < 0:
            spurious += [s] if s in reached_app else []
        else:
            per_event.setdefault(e, []).append(s)
    result = []
    for e, event in enumerate(part.events):
        mine = per_event.get(e, [])
        got = [s for s in mine if s in reached_app]
        if not part.known[e]:
            # Not scored as a gesture, but an application receives these results all the same.
            spurious += got
            result.append(Outcome(event, NOT_SCORED, reason="label unknown to the model"))
            continue
        spurious += got[1:]  # the same gesture reported again
        if got:
            seg = segments[got[0]]
            kind = RECOGNISED if seg.label == event.label else MISCLASSIFIED
            result.append(
                Outcome(event, kind, seg.label, index=seg.index, displacement=seg.displacement)
            )
        elif not mine:
            reason, detail = part.no_segment[e]
            result.append(Outcome(event, MISSED, reason=reason, detail=detail))
        else:
            result.append(_rejection(event, mine, accepted, accepted_set, th, segments))
    return result, spurious


def _rejection(event, mine, accepted, accepted_set, th, segments) -> Outcome:
    """The outcome of a gesture whose results (segment indices `mine`) all fell to the
    thresholds or the queue."""
    lost = [s for s in mine if s in accepted_set]
    if lost:
        seg = segments[lost[0]]
        later = [segments[s] for s in accepted if s > lost[0]]
        by = f" by {later[0].label} at {later[0].index / SAMPLE_RATE:.2f} s" if later else ""
        return Outcome(event, MISSED, seg.label, REPLACED, f"replaced{by}", seg.index)
    mine = [segments[s] for s in mine if not segments[s].rejected]
    if not mine:
        return Outcome(event, MISSED, "", REJECTED, "every segment of it was called no gesture")
    passing = [seg for seg in mine if seg.confidence >= th.confidence]
    if passing:
        seg = max(passing, key=lambda s: s.probability)
        return Outcome(
            event,
            MISSED,
            seg.label,
            BELOW_PROBABILITY,
            f"{seg.label} at probability {seg.probability:.3f} < {th.probability}",
            seg.index,
        )
    seg = max(mine, key=lambda s: s.confidence)
    return Outcome(
        event,
        MISSED,
        seg.label,
        BELOW_CONFIDENCE,
        f"{seg.label} at confidence {seg.confidence:g} < {th.confidence:g}",
        seg.index,
    )


def _confusion(pairs: list[tuple[str, str]], labels: list[str]) -> np.ndarray:
    matrix = np.zeros((len(labels), len(labels)), dtype=int)
    for truth, reported in pairs:
        matrix[labels.index(truth), labels.index(reported)] += 1
    return matrix


def score(parts: list[Attributed], classes: list[str], th: Thresholds) -> Evaluation:
    """One evaluation over the recordings at the given thresholds and polling."""
    total = Evaluation(classes, np.zeros((0, 0), dtype=int))
    pairs = []
    for part in parts:
        found, spurious = outcomes(part, th)
        segments = part.engine_pass.segments
        for s in spurious:
            pairs.append((NONE, segments[s].label))
            owner = part.owner[s]
            why = NO_GESTURE if owner < 0 else REPEAT if part.known[owner] else UNKNOWN_GESTURE
            total.spurious_reasons[why] += 1
            total.spurious_results.append((part.name, why, segments[s]))
        total.spurious += len(spurious)
        for s, seg in enumerate(segments):
            if seg.rejected and part.owner[s] >= 0:
                total.rejected_on_gestures += 1
            elif seg.rejected:
                total.rejected_elsewhere += 1
        for outcome in found:
            total.outcomes.append((part.name, outcome))
            if outcome.outcome == NOT_SCORED:
                total.not_scored += 1
                continue
            total.gestures += 1
            event = outcome.event
            if outcome.outcome == MISSED:
                total.missed += 1
                total.reasons[outcome.reason] += 1
                pairs.append((event.label, NONE))
                continue
            total.results += 1
            pairs.append((event.label, outcome.reported))
            if outcome.outcome == MISCLASSIFIED:
                total.misclassified += 1
                continue
            total.recognised += 1
            total.delays_s.append((outcome.index - event.end) / SAMPLE_RATE)
            if np.isfinite(event.distance):
                # Along the gesture's direction: negative when the reported stroke is short.
                along = np.sign(event.signed_distance) * outcome.displacement
                total.displacement_errors.append(along - event.distance)
        total.results += len(spurious)
    seen = {label for pair in pairs for label in pair}
    total.classes = sorted((set(classes) | seen) - {NONE}) + [NONE]
    total.confusion = _confusion(pairs, total.classes)
    return total


@dataclass
class Sweep:
    """Recall and spurious share of results over a grid of the two thresholds."""

    confidences: list[float]
    probabilities: list[float]
    recall: np.ndarray  # confidences x probabilities, NaN without gestures
    spurious: np.ndarray  # NaN without results


def sweep(
    parts: list[Attributed], classes: list[str], confidences, probabilities, poll_s: float
) -> Sweep:
    recall = np.full((len(confidences), len(probabilities)), np.nan)
    spurious = np.full_like(recall, np.nan)
    for i, c in enumerate(confidences):
        for j, p in enumerate(probabilities):
            result = score(parts, classes, Thresholds(c, p, poll_s))
            if result.gestures:
                recall[i, j] = result.recognised / result.gestures
            if result.results:
                spurious[i, j] = result.spurious / result.results
    return Sweep(list(confidences), list(probabilities), recall, spurious)
