"""Acceptance thresholds for the worker, chosen from out-of-fold class probabilities.

The worker accepts a result when its confidence reaches `confidence_th` and its
probability reaches `gesture_prob_th`. Both figures are computed here exactly as the
engine computes them from a probability row: the probability is the row's largest value
(the first column wins a tie), the confidence the largest value divided by the largest
of the others, truncated toward zero. A row without a second probability above zero has
an infinite confidence, which every threshold passes; 0/0 counts as 0.
"""

import math
from dataclasses import dataclass

import numpy as np

DEFAULT_CONFIDENCE_TH = 2
DEFAULT_PROB_TH = 0.6

CONFIDENCE_GRID = np.arange(1, 21)
PROBABILITY_GRID = np.round(np.arange(0, 101) / 100, 2)


def engine_figures(probabilities: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(winning column, probability, confidence) of each row, as the engine reports them."""
    p = np.asarray(probabilities, dtype=float)
    rows = np.arange(len(p))
    winner = p.argmax(axis=1)
    best = p[rows, winner]
    others = p.copy()
    others[rows, winner] = -np.inf  # removes exactly one value, the first largest
    second = others.max(axis=1) if p.shape[1] > 1 else np.zeros(len(p))
    with np.errstate(divide="ignore", invalid="ignore"):
        confidence = np.trunc(best / second)
    return winner, best, np.nan_to_num(confidence, nan=0.0, posinf=np.inf)


@dataclass(frozen=True)
class OperatingPoint:
    confidence_th: float
    gesture_prob_th: float
    precision: float  # correct results / accepted results (nan if none accepted)
    recall: float  # correct results / gesture segments
    accepted: int
    spurious: int = 0  # accepted results on segments of no gesture


def operating_point(
    probabilities, truth, confidence_th, gesture_prob_th, rejected: int | None = None
) -> OperatingPoint:
    """What the worker would report on these segments with these thresholds.

    `truth` holds each segment's true column of the probability rows, or -1 for a segment
    of no gesture, on which every accepted result is spurious. A segment won by the column
    `rejected` ("no gesture") gives no result at all."""
    winner, best, confidence = engine_figures(probabilities)
    truth = np.asarray(truth)
    accepted = (confidence >= confidence_th) & (best >= gesture_prob_th) & (winner != rejected)
    correct = int(np.sum(accepted & (winner == truth)))
    n, gestures = int(accepted.sum()), int(np.sum(truth >= 0))
    return OperatingPoint(
        float(confidence_th),
        float(gesture_prob_th),
        correct / n if n else float("nan"),
        correct / gestures if gestures else float("nan"),
        n,
        int(np.sum(accepted & (truth < 0))),
    )


@dataclass(frozen=True)
class Recommendation:
    point: OperatingPoint  # the thresholds to use
    target_precision: float
    reached: bool
    most_precise: OperatingPoint  # the pair of highest precision, when the target is missed


def recommend_thresholds(
    probabilities, truth, target_precision: float, rejected: int | None = None
) -> Recommendation:
    """The thresholds that keep the most correct results at the target precision.

    Confidence thresholds 1 to 20 and probability thresholds 0.00 to 1.00 in steps of
    0.01 are tried. A pair reaches the target only if it accepts at least 1 / (1 - target)
    results (50 for 98 %): with fewer, a single result more or less decides the precision.
    Among equal recalls the pair nearest the defaults wins: the data then
    moves a threshold only as far as it has to. If no pair reaches the target, thresholds
    cannot make up for the classifier: the defaults are kept, and the pair of highest
    precision is reported beside them.
    """
    winner, best, confidence = engine_figures(probabilities)
    truth = np.asarray(truth)
    hit = winner == truth
    reported = winner != rejected
    n = max(int(np.sum(truth >= 0)), 1)
    support = math.ceil(1 / (1 - target_precision)) if target_precision < 1 else len(truth)
    best_key, best_point = None, None
    for c_th in CONFIDENCE_GRID:
        by_confidence = (confidence >= c_th) & reported
        accepted = by_confidence[None, :] & (best[None, :] >= PROBABILITY_GRID[:, None])
        counts = accepted.sum(axis=1)
        correct = (accepted & hit[None, :]).sum(axis=1)
        for p_th, count, good in zip(PROBABILITY_GRID, counts, correct, strict=True):
            if not count:
                continue
            precision = good / count
            reached = precision >= target_precision and count >= support
            # Reached pairs by recall, others by precision; then nearest the defaults.
            distance = abs(c_th - DEFAULT_CONFIDENCE_TH) / 19 + abs(p_th - DEFAULT_PROB_TH)
            key = (reached, good / n if reached else precision, good, -distance)
            if best_key is None or key > best_key:
                best_key = key
                best_point = operating_point(probabilities, truth, c_th, p_th, rejected)
    defaults = operating_point(
        probabilities, truth, DEFAULT_CONFIDENCE_TH, DEFAULT_PROB_TH, rejected
    )
    if best_key is None or not best_key[0]:
        return Recommendation(defaults, target_precision, False, best_point or defaults)
    return Recommendation(best_point, target_precision, True, best_point)
