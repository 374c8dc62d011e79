"""The classifier and label encoder that the engine loads, trained from segment vectors.

The engine asks the classifier for `predict_proba` of one 300-value vector and hands the
encoder a one-hot row of the winning column, so column k of the classifier and category k
of the encoder must name the same gesture. Both are fitted on the same sorted label set
and checked against each other before they are written.

Training chooses the classifier: every candidate is cross-validated over the segments
(all copies of one gesture in one fold), candidates too slow for the worker are left out,
the most accurate one is refitted on all segments, and its out-of-fold probabilities give
the recommended acceptance thresholds. Folds that cannot score the candidates (some class not
both trained on and tested) give no figures: the first candidate within the budget is
fitted and the default thresholds stay.
"""

import math
from dataclasses import dataclass, field

import numpy as np
from sklearn.metrics import confusion_matrix
from sklearn.preprocessing import OneHotEncoder

from ...models.model_pair import check_model_pair
from ...models.rejection import NO_GESTURE, NON_GESTURE_WORDS, RejectingEncoder, decoded_name
from ..errors import WorkbenchError
from .augmentation import Rotations
from .candidates import pick_candidates
from .segments import FEATURES
from .selection import (
    CandidateScore,
    EstimateCallback,
    Progress,
    ScoreCallback,
    fit_quietly,
    select,
    winner,
)
from .thresholds import (
    DEFAULT_CONFIDENCE_TH,
    DEFAULT_PROB_TH,
    OperatingPoint,
    Recommendation,
    operating_point,
    recommend_thresholds,
)

FEW_GESTURES = 5  # a class with fewer gestures makes the cross-validated figures rough


@dataclass
class TrainingReport:
    classes: list[str]
    scores: list[CandidateScore]
    chosen: str
    folds: int
    segments: int
    gestures: int
    unconverged: int  # ConvergenceWarnings of the final fit on all segments
    # Out of fold, chosen classifier: rows true, columns predicted; None without figures.
    confusion: np.ndarray | None
    recommended: Recommendation | None  # None without out-of-fold figures: the defaults stay
    at_defaults: OperatingPoint | None  # out of fold, at the worker's default thresholds
    notes: list[str] = field(default_factory=list)  # cautions for the user
    unscored: str = ""  # why the folds gave no figures, "" when they did
    # The cross-validation's (train, test) rows: the chosen candidate's fold models classify
    # what each fold held out.
    splits: list = field(default_factory=list, repr=False)

    @property
    def chosen_score(self) -> CandidateScore:
        return next(s for s in self.scores if s.name == self.chosen)

    @property
    def thresholds(self) -> tuple[float, float]:
        """(confidence_th, gesture_prob_th) for the bundle: the recommended ones, else the
        worker's defaults."""
        if self.recommended is None:
            return DEFAULT_CONFIDENCE_TH, DEFAULT_PROB_TH
        point = self.recommended.point
        return point.confidence_th, point.gesture_prob_th


def build_encoder(classes: list[str]):
    """The label encoder for the classifier's `classes`; with a "no gesture" class among them,
    one that decodes that class to None, which the gesture service never reports."""
    encoder = OneHotEncoder(categories=[list(classes)], sparse_output=False)
    encoder.fit(np.array(classes, dtype=object).reshape(-1, 1))
    return RejectingEncoder(encoder) if NO_GESTURE in classes else encoder


def validate_training_set(features: np.ndarray, labels: np.ndarray) -> None:
    if features.ndim != 2 or features.shape[1] != FEATURES:
        raise WorkbenchError(f"segment vectors must have {FEATURES} features, got {features.shape}")
    if not np.isfinite(features).all():
        raise WorkbenchError("segment vectors contain non-finite values")
    classes = np.unique(labels)
    if len(classes) < 2:
        raise WorkbenchError(f"need at least two gesture classes, got {list(classes)}")


def _class_notes(labels: np.ndarray, groups: np.ndarray) -> list[str]:
    few = []
    for name in np.unique(labels):
        n = len(np.unique(groups[labels == name]))
        if n < FEW_GESTURES:
            few.append(f"{name} {n}")
    if not few:
        return []
    return [
        f"few gestures of some classes ({', '.join(few)}): the cross-validated figures are "
        f"rough; record at least {FEW_GESTURES} of each"
    ]


def no_gesture_groups(
    unlabelled_bounds: np.ndarray,
    unlabelled_sources: np.ndarray,
    bounds: np.ndarray,
    sources: np.ndarray,
    groups: np.ndarray,
) -> np.ndarray:
    """A group for each segment of no gesture: that of the nearest gesture segment of the same
    recording, so that motion between gestures falls into a fold with its neighbours and no
    fold is scored on what lies next to its own training data."""
    out = np.empty(len(unlabelled_bounds), dtype=np.int64)
    fresh = int(groups.max()) + 1 if len(groups) else 0
    middles = bounds.mean(axis=1) if len(bounds) else np.zeros(0)
    for k, ((start, end), source) in enumerate(
        zip(unlabelled_bounds, unlabelled_sources, strict=True)
    ):
        same = np.flatnonzero(sources == source)
        if len(same):
            out[k] = groups[same[np.abs(middles[same] - (start + end) / 2).argmin()]]
        else:
            out[k], fresh = fresh, fresh + 1
    return out


@dataclass
class TrainingSet:
    """Segments with their labels and groups, "no gesture" examples included when learnt."""

    features: np.ndarray
    labels: np.ndarray
    groups: np.ndarray

    @classmethod
    def build(cls, features, labels, groups=None, unlabelled=None, unlabelled_groups=None):
        """Labels that say rest or noise, and the segments of no gesture (`unlabelled`), become
        the class `NO_GESTURE`; without any, the set holds the gestures alone."""
        labels = np.asarray(labels).astype(str)
        groups = np.arange(len(labels)) if groups is None else np.asarray(groups)
        labels = np.where(
            np.isin(np.char.lower(labels), list(NON_GESTURE_WORDS)), NO_GESTURE, labels
        )
        if unlabelled is None or not len(unlabelled):
            return cls(np.asarray(features), labels, groups)
        if unlabelled_groups is None:
            start = int(groups.max()) + 1 if len(groups) else 0
            unlabelled_groups = np.arange(start, start + len(unlabelled))
        return cls(
            np.concatenate([features, unlabelled]),
            np.concatenate([labels, np.full(len(unlabelled), NO_GESTURE)]),
            np.concatenate([groups, unlabelled_groups]),
        )

    def spread_no_gesture(self, folds: int) -> tuple["TrainingSet", str]:
        """The set fit for `folds` folds, and what was done to its no-gesture segments. Such
        segments from fewer motions than the folds would leave every candidate without
        cross-validated figures (a fold would test the class without training on it), for a
        class that `train` adds by itself: each becomes a group of its own when there are as
        many as the folds (its near-copies then flatter its own figure a little), and too few
        to fill the folds are not learnt."""
        rows = self.labels == NO_GESTURE
        motions = len(np.unique(self.groups[rows]))
        if not rows.any() or motions >= folds:
            return self, ""
        what = f"the {rows.sum()} segment(s) of no gesture come from {motions} motion(s)"
        if rows.sum() < folds:
            keep = ~rows
            return (
                TrainingSet(self.features[keep], self.labels[keep], self.groups[keep]),
                f"{what}, too few for {folds} folds: not learnt, so no result is rejected",
            )
        groups = self.groups.copy()
        groups[rows] = groups.max() + 1 + np.arange(rows.sum())
        return (
            TrainingSet(self.features, self.labels, groups),
            f"{what}, fewer than the {folds} folds: scored each on its own",
        )

    def truth(self, classes: list[str]) -> np.ndarray:
        """Each segment's column among `classes`, -1 for a segment of no gesture."""
        truth = np.searchsorted(np.array(classes), self.labels)
        return np.where(self.labels == NO_GESTURE, -1, truth)


def train_model(
    features: np.ndarray,
    labels: np.ndarray,
    groups: np.ndarray | None = None,
    unlabelled: np.ndarray | None = None,
    *,
    unlabelled_groups: np.ndarray | None = None,
    candidates: list[str] | None = None,
    folds: int = 5,
    budget_ms: float = 2.0,
    target_precision: float = 0.98,
    hidden: int = 64,
    seed: int = 0,
    augment: Rotations | None = None,
    progress: Progress | None = None,
    on_score: ScoreCallback | None = None,
    on_estimate: EstimateCallback | None = None,
):
    """(classifier, encoder, report): the best candidate, refitted on all segments.

    Segments of one group (the copies of one gesture, and the motion next to it) stay in one
    fold (`groups` numbers them; without it every segment is a group of its own). Segments
    labelled as rest or noise and the `unlabelled` ones (motion that is no gesture, grouped by
    `unlabelled_groups`) are learnt as the class `NO_GESTURE`, which the encoder decodes to
    None, so that the gesture service never reports it. With `augment`, every fit (of a fold
    and the final one) also learns turned copies of its segments; folds are scored on the
    segments as recorded."""
    training = TrainingSet.build(features, labels, groups, unlabelled, unlabelled_groups)
    training, spread = training.spread_no_gesture(folds)
    features, labels, groups = training.features, training.labels, training.groups
    validate_training_set(features, labels)
    chosen_from = pick_candidates(candidates)
    scores, splits, unscored = select(
        chosen_from,
        features,
        labels,
        groups,
        folds=folds,
        seed=seed,
        hidden=hidden,
        budget_ms=budget_ms,
        augment=augment,
        progress=progress,
        on_score=on_score,
        on_estimate=on_estimate,
    )
    best = winner(scores, scored=not unscored)
    if best is None:
        reasons = ", ".join(f"{s.name}: {s.unfit or f'{s.cost_ms:.2f} ms'}" for s in scores)
        raise WorkbenchError(
            f"no classifier could be fitted and predicts within the budget of {budget_ms:g} ms "
            f"({reasons}); raise --budget-ms or record more gestures"
        )
    candidate = next(c for c in chosen_from if c.name == best.name)
    if progress:
        # A fold trains on (k - 1) / k of the segments; the final fit on all of them.
        fold_s = float(np.mean(best.fold_seconds)) if best.fold_seconds else math.nan
        k = len(splits)
        final_s = fold_s * (k / (k - 1)) ** candidate.growth
        progress(0, 1, f"fitting {best.name} on all {len(labels)} segments", final_s)
    smallest = int(np.unique(labels, return_counts=True)[1].min())
    model, unconverged = fit_quietly(
        candidate.build(seed, hidden, smallest), features, labels, augment
    )
    classes = [str(c) for c in model.classes_]
    encoder = build_encoder(classes)
    check_model_pair(model, encoder)
    report = TrainingReport(
        classes,
        scores,
        best.name,
        len(splits),
        len(labels),
        len(np.unique(groups)),
        unconverged,
        None,
        None,
        None,
        _class_notes(labels, groups) + ([spread] if spread else []),
        unscored,
        splits,
    )
    if not unscored:
        _out_of_fold_figures(report, best, training, target_precision)
    return model, encoder, report


def _out_of_fold_figures(report, best, training: TrainingSet, target_precision) -> None:
    """The chosen candidate's out-of-fold confusion and the thresholds it recommends on the
    segments; segments of no gesture weigh as spurious results, and with a "no gesture"
    class a segment won by it gives no result."""
    classes = report.classes
    probabilities = best.oof_probabilities
    report.confusion = confusion_matrix(
        np.searchsorted(np.array(classes), training.labels),
        probabilities.argmax(axis=1),
        labels=range(len(classes)),
    )
    truth = training.truth(classes)
    rejected = classes.index(NO_GESTURE) if NO_GESTURE in classes else None
    report.recommended = recommend_thresholds(probabilities, truth, target_precision, rejected)
    report.at_defaults = operating_point(
        probabilities, truth, DEFAULT_CONFIDENCE_TH, DEFAULT_PROB_TH, rejected
    )


def classify(model, encoder, features: np.ndarray) -> list[str]:
    """Labels as the engine decodes them: the encoder applied to a one-hot row of the argmax."""
    probabilities = model.predict_proba(features)
    indicator = np.zeros_like(probabilities)
    indicator[np.arange(len(indicator)), probabilities.argmax(axis=1)] = 1
    return [decoded_name(label) for label in encoder.inverse_transform(indicator)[:, 0]]
