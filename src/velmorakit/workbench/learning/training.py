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

import pickle
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from sklearn.metrics import confusion_matrix
from sklearn.preprocessing import OneHotEncoder

from ..errors import WorkbenchError
from .candidates import pick_candidates
from .segments import FEATURES
from .selection import CandidateScore, Progress, ScoreCallback, fit_quietly, select, winner
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

    @property
    def thresholds(self) -> tuple[float, float]:
        """(confidence_th, gesture_prob_th) for the bundle: the recommended ones, else the
        worker's defaults."""
        if self.recommended is None:
            return DEFAULT_CONFIDENCE_TH, DEFAULT_PROB_TH
        point = self.recommended.point
        return point.confidence_th, point.gesture_prob_th


def build_encoder(classes: list[str]) -> OneHotEncoder:
    encoder = OneHotEncoder(categories=[list(classes)], sparse_output=False)
    return encoder.fit(np.array(classes, dtype=object).reshape(-1, 1))


def validate_training_set(features: np.ndarray, labels: np.ndarray) -> None:
    if features.ndim != 2 or features.shape[1] != FEATURES:
        raise WorkbenchError(f"segment vectors must have {FEATURES} features, got {features.shape}")
    if not np.isfinite(features).all():
        raise WorkbenchError("segment vectors contain non-finite values")
    classes = np.unique(labels)
    if len(classes) < 2:
        raise WorkbenchError(f"need at least two gesture classes, got {list(classes)}")


def check_model_pair(model, encoder) -> list[str]:
    """The class labels if the pair is usable by the engine, else a WorkbenchError."""
    needs = ((model, "predict_proba"), (model, "classes_"), (encoder, "inverse_transform"))
    for obj, attr in needs:
        if not hasattr(obj, attr):
            raise WorkbenchError(f"{type(obj).__name__} has no {attr}: not a usable model/encoder")
    n_features = getattr(model, "n_features_in_", FEATURES)
    if n_features != FEATURES:
        raise WorkbenchError(
            f"the model expects {n_features} features, the engine gives {FEATURES}"
        )
    classes = [str(c) for c in np.asarray(model.classes_).ravel()]
    categories = getattr(encoder, "categories_", None)
    if categories is not None:
        # A one-hot encoder: its categories are compared first, because decoding a row of
        # another width fails inside scikit-learn with a message about shapes.
        names = [str(c) for c in np.asarray(categories[0]).ravel()] if len(categories) else []
        if names != classes:
            raise WorkbenchError(
                f"encoder categories {names} do not match the classifier's classes {classes}"
            )
    try:
        decoded = [
            str(encoder.inverse_transform(np.eye(len(classes))[[k]])[0][0])
            for k in range(len(classes))
        ]
    except (ValueError, IndexError, TypeError) as err:
        raise WorkbenchError(
            f"the encoder cannot decode the classifier's {len(classes)} classes ({err})"
        ) from None
    if decoded != classes:
        raise WorkbenchError(
            f"encoder categories {decoded} do not match the classifier's classes {classes}"
        )
    return classes


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


def train_model(
    features: np.ndarray,
    labels: np.ndarray,
    groups: np.ndarray | None = None,
    unlabelled: np.ndarray | None = None,
    *,
    candidates: list[str] | None = None,
    folds: int = 5,
    budget_ms: float = 2.0,
    target_precision: float = 0.98,
    hidden: int = 64,
    seed: int = 0,
    progress: Progress | None = None,
    on_score: ScoreCallback | None = None,
):
    """(classifier, encoder, report): the best candidate, refitted on all segments.

    `groups` numbers the gesture each segment comes from (segments of one gesture stay in
    one fold); without it every segment is a gesture of its own. `unlabelled` segments
    (of no gesture) are not trained on: the thresholds are chosen so that few of them would
    give a result, judged by the final classifier, which has not seen them."""
    labels = np.asarray(labels).astype(str)
    validate_training_set(features, labels)
    groups = np.arange(len(labels)) if groups is None else np.asarray(groups)
    chosen_from = pick_candidates(candidates)
    scores, k, unscored = select(
        chosen_from,
        features,
        labels,
        groups,
        folds=folds,
        seed=seed,
        hidden=hidden,
        budget_ms=budget_ms,
        progress=progress,
        on_score=on_score,
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
        progress(0, 1, f"fitting {best.name} on all {len(labels)} segments")
    smallest = int(np.unique(labels, return_counts=True)[1].min())
    model, unconverged = fit_quietly(candidate.build(seed, hidden, smallest), features, labels)
    classes = [str(c) for c in model.classes_]
    encoder = build_encoder(classes)
    check_model_pair(model, encoder)
    report = TrainingReport(
        classes,
        scores,
        best.name,
        k,
        len(labels),
        len(np.unique(groups)),
        unconverged,
        None,
        None,
        None,
        _class_notes(labels, groups),
        unscored,
    )
    if not unscored:
        _out_of_fold_figures(report, model, best, labels, unlabelled, target_precision)
    return model, encoder, report


def _out_of_fold_figures(report, model, best, labels, unlabelled, target_precision) -> None:
    """The chosen candidate's out-of-fold confusion and the thresholds it recommends; the
    `unlabelled` segments, judged by the final model, weigh as spurious results."""
    truth = np.searchsorted(np.array(report.classes), labels)
    report.confusion = confusion_matrix(
        truth, best.oof_probabilities.argmax(axis=1), labels=range(len(report.classes))
    )
    probabilities = best.oof_probabilities
    if unlabelled is not None and len(unlabelled):
        probabilities = np.concatenate([probabilities, model.predict_proba(unlabelled)])
        truth = np.concatenate([truth, np.full(len(unlabelled), -1)])
    report.recommended = recommend_thresholds(probabilities, truth, target_precision)
    report.at_defaults = operating_point(
        probabilities, truth, DEFAULT_CONFIDENCE_TH, DEFAULT_PROB_TH
    )


def load_model_pair(model_path: str | Path, encoder_path: str | Path):
    """Unpickle and check a model and encoder; errors a user can cause become WorkbenchError.

    Unpickling runs code from the files: load only models from a trusted source."""
    objects = []
    for path in (model_path, encoder_path):
        try:
            with Path(path).open("rb") as handle:
                objects.append(pickle.load(handle))
        except FileNotFoundError:
            raise WorkbenchError(f"{path}: no such file") from None
        except (pickle.UnpicklingError, EOFError, AttributeError, ImportError) as err:
            raise WorkbenchError(f"{path}: not a pickled model ({err})") from None
    model, encoder = objects
    check_model_pair(model, encoder)
    return model, encoder


def classify(model, encoder, features: np.ndarray) -> list[str]:
    """Labels as the engine decodes them: the encoder applied to a one-hot row of the argmax."""
    probabilities = model.predict_proba(features)
    indicator = np.zeros_like(probabilities)
    indicator[np.arange(len(indicator)), probabilities.argmax(axis=1)] = 1
    return [str(label) for label in encoder.inverse_transform(indicator)[:, 0]]
