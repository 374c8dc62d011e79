"""Choosing a classifier by grouped, stratified cross-validation.

Segments of one gesture (its copies cut at different cycle phases) always fall into the
same fold, so a candidate is never scored on a near-copy of what it was fitted on. Each
candidate's cost of one `predict_proba` on one vector, the engine's call, is measured on
the model of its first fitted fold; a candidate over the budget is left out without fitting
the remaining folds. Folds in which some class is not both trained on and tested give no
figures at all, rather than accuracies that measure the split. Asked for a forecast, every
candidate is first timed on a small sample, so that how long the selection will take is known
before it starts.
"""

import math
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
from sklearn.exceptions import ConvergenceWarning
from sklearn.model_selection import GroupKFold, StratifiedGroupKFold

from .augmentation import Rotations
from .candidates import Candidate
from .forecast import Forecast

# progress(done, total, what, seconds_left): called before each fit; seconds_left is NaN
# where there is no forecast.
Progress = Callable[[int, int, str, float], None]

COST_REPEATS = 25
SPLIT_ATTEMPTS = 20
# The timed sample fit of each candidate: a tenth of a training fold, 500 segments at least,
# large enough that the fit's fixed costs do not dominate its time.
PILOT_SHARE, PILOT_MIN = 10, 500


@dataclass
class CandidateScore:
    name: str
    description: str
    fold_accuracies: list[float] = field(default_factory=list)
    cost_ms: float = float("nan")
    over_budget: bool = False
    unfit: str = ""  # why the candidate could not be fitted on these segments
    fits: int = 0
    fold_seconds: list[float] = field(default_factory=list)  # wall-clock time of each fold
    unconverged: int = 0  # fits that ended with a ConvergenceWarning
    oof_probabilities: np.ndarray | None = None  # segments x classes, out of fold
    # The model fitted on each fold's training part (None where a fold had one class), to
    # classify what each fold held out again, elsewhere.
    fold_models: list = field(default_factory=list, repr=False)

    @property
    def accuracy(self) -> float:
        return float(np.mean(self.fold_accuracies)) if self.fold_accuracies else float("nan")

    @property
    def accuracy_sd(self) -> float:
        return float(np.std(self.fold_accuracies)) if self.fold_accuracies else float("nan")


ScoreCallback = Callable[[CandidateScore], None]
EstimateCallback = Callable[[Forecast], None]


def fold_count(labels: np.ndarray, groups: np.ndarray, wanted: int) -> int:
    """As many folds as wanted, but no more than the gestures of the rarest class, and 2
    at least (a class with fewer gestures than folds is then missing from some folds)."""
    per_class = [len(np.unique(groups[labels == c])) for c in np.unique(labels)]
    return int(max(2, min(wanted, min(per_class))))


def fit_quietly(model, x: np.ndarray, y: np.ndarray, augment: Rotations | None = None):
    """The fitted model and how many ConvergenceWarnings the fit raised; other warnings pass.
    With `augment`, the model is fitted on the segments and their turned copies."""
    if augment is not None:
        x, y = augment.apply(x, y)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ConvergenceWarning)
        model.fit(x, y)
    unconverged = 0
    for w in caught:
        if issubclass(w.category, ConvergenceWarning):
            unconverged += 1
        else:
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    return model, unconverged


def predict_cost_ms(model, vector: np.ndarray) -> float:
    """Processor time of one `predict_proba` on one vector, passed as the engine passes it:
    the fastest of several calls. Processor time, not wall time, so that other work on a
    busy machine does not make a classifier look slow."""
    batch = [vector]
    model.predict_proba(batch)
    times = []
    for _ in range(COST_REPEATS):
        start = time.process_time()
        model.predict_proba(batch)
        times.append(time.process_time() - start)
    return float(np.min(times)) * 1e3


def fold_probabilities(model, x: np.ndarray, classes: np.ndarray) -> np.ndarray:
    """predict_proba in the columns of `classes`: a fold may lack some classes entirely."""
    out = np.zeros((len(x), len(classes)))
    out[:, np.searchsorted(classes, model.classes_)] = model.predict_proba(x)
    return out


def fold_problem(labels: np.ndarray, groups: np.ndarray, splits) -> str:
    """Why these folds cannot score a classifier, "" when they can: a fold tested on a class
    its training part lacks can only get it wrong, and one that lacks a class it was trained
    on says nothing of it, so the mean accuracy would measure the split, not the classifier."""
    for k, (train, test) in enumerate(splits, start=1):
        untrained = sorted(set(labels[test]) - set(labels[train]))
        untested = sorted(set(labels[train]) - set(labels[test]))
        if not (untrained or untested):
            continue
        if untrained:
            what = f"fold {k} is tested on {', '.join(untrained)} without training on it"
        else:
            what = f"fold {k} has no gesture of {', '.join(untested)} to test"
        gestures = {c: len(np.unique(groups[labels == c])) for c in np.unique(labels)}
        few = [f"{c} {n}" for c, n in gestures.items() if n < len(splits)]
        fewest = f"; fewest: {', '.join(few)}" if few else ""
        if max(gestures.values()) == 1:
            fewest += (
                " (each class is one gesture: were its takes recorded back to back without a "
                "ground truth? `import --split-column` writes one per take)"
            )
        return (
            f"no cross-validated figures: {what}; every class needs gestures in each of the "
            f"{len(splits)} folds{fewest}"
        )
    return ""


def _measure_cost(score: CandidateScore, model, vector: np.ndarray, budget_ms: float) -> bool:
    """Record the model's cost; False when it is over the budget (a cost that could not be
    measured is never within it)."""
    score.cost_ms = predict_cost_ms(model, vector)
    score.over_budget = not score.cost_ms <= budget_ms
    return not score.over_budget


def fit_and_measure(
    candidate, features, labels, *, seed: int, hidden: int, budget_ms: float, augment=None
):
    """A candidate fitted on all segments with its cost measured, but no accuracy: for when
    the folds cannot score it."""
    score = CandidateScore(candidate.name, candidate.description)
    counts = np.unique(labels, return_counts=True)[1]
    if counts.min() < candidate.min_per_class:
        score.unfit = f"needs {candidate.min_per_class} examples of every class"
        return score
    model, score.unconverged = fit_quietly(
        candidate.build(seed, hidden, counts.min()), features, labels, augment
    )
    score.fits = 1
    _measure_cost(score, model, features[0], budget_ms)
    return score


def cross_validate(
    candidate: Candidate,
    features: np.ndarray,
    labels: np.ndarray,
    splits: list[tuple[np.ndarray, np.ndarray]],
    *,
    seed: int,
    hidden: int,
    budget_ms: float,
    augment: Rotations | None = None,
    progress: Progress | None = None,
    forecast: Forecast | None = None,
    done: int = 0,
    total: int = 0,
) -> CandidateScore:
    classes = np.unique(labels)
    score = CandidateScore(candidate.name, candidate.description)
    oof = np.zeros((len(labels), len(classes)))
    for k, (train, test) in enumerate(splits):
        if progress:
            left = forecast.left() if forecast else math.nan
            progress(done + k, total, f"{candidate.name} fold {k + 1}/{len(splits)}", left)
        started = time.perf_counter()
        counts = np.unique(labels[train], return_counts=True)[1]
        if counts.min() < candidate.min_per_class:
            score.unfit = (
                f"needs {candidate.min_per_class} examples of every class in each training fold"
            )
            return score
        if len(counts) < 2:
            # Too few gestures for this fold to learn from: it predicts its only class.
            oof[np.ix_(test, np.searchsorted(classes, labels[train][:1]))] = 1.0
            score.fold_models.append(None)
        else:
            model, unconverged = fit_quietly(
                candidate.build(seed, hidden, counts.min()),
                features[train],
                labels[train],
                augment,
            )
            score.fits += 1
            score.unconverged += unconverged
            # The cost is measured on the first fold that fits a model.
            if score.fits == 1 and not _measure_cost(score, model, features[test[0]], budget_ms):
                return score
            oof[test] = fold_probabilities(model, features[test], classes)
            score.fold_models.append(model)
        predicted = classes[oof[test].argmax(axis=1)]
        score.fold_accuracies.append(float(np.mean(predicted == labels[test])))
        score.fold_seconds.append(time.perf_counter() - started)
        if forecast:
            forecast.fold_done(candidate.name, score.fold_seconds[-1])
    if not score.fits:
        # No training part held two classes: the cost comes from a fit on all segments.
        fitting = {"seed": seed, "hidden": hidden, "budget_ms": budget_ms, "augment": augment}
        measured = fit_and_measure(candidate, features, labels, **fitting)
        score.cost_ms, score.over_budget = measured.cost_ms, measured.over_budget
        if score.over_budget:
            return score
    score.oof_probabilities = oof
    return score


def pilot_fold_seconds(
    candidate: Candidate,
    features: np.ndarray,
    labels: np.ndarray,
    split: tuple[np.ndarray, np.ndarray],
    *,
    seed: int,
    hidden: int,
    augment: Rotations | None = None,
) -> float:
    """Estimated wall-clock seconds of one fold of `candidate`: a fit on a sample of the
    fold's training segments and the probabilities of a proportional sample of its test
    segments, timed and scaled to the whole fold by how the candidate's work grows with the
    segments. NaN when the sample cannot be fitted."""
    train, test = split
    rng = np.random.default_rng(seed)
    size = min(len(train), max(PILOT_MIN, len(train) // PILOT_SHARE))
    sample = rng.choice(train, size, replace=False)
    probe = rng.choice(test, max(1, round(len(test) * size / len(train))), replace=False)
    counts = np.unique(labels[sample], return_counts=True)[1]
    if len(counts) < 2 or counts.min() < candidate.min_per_class:
        return math.nan
    start = time.perf_counter()
    model, _ = fit_quietly(
        candidate.build(seed, hidden, counts.min()), features[sample], labels[sample], augment
    )
    model.predict_proba(features[probe])
    return (time.perf_counter() - start) * (len(train) / size) ** candidate.growth


def make_splits(labels, groups, folds: int, seed: int) -> list[tuple[np.ndarray, np.ndarray]]:
    per_class = [len(np.unique(groups[labels == c])) for c in np.unique(labels)]
    if max(per_class) < folds:
        # No class has a gesture for every fold, so there is nothing to stratify.
        return list(GroupKFold(n_splits=folds).split(np.zeros(len(labels)), labels, groups))
    # A shuffled split can still leave a class out of some fold (older scikit-learn releases
    # more often): other shuffles are tried before the caller is told the folds cannot score.
    for attempt in range(SPLIT_ATTEMPTS):
        splitter = StratifiedGroupKFold(n_splits=folds, shuffle=True, random_state=seed + attempt)
        with warnings.catch_warnings():
            # Classes with fewer gestures than folds are reported by the caller, in one line.
            warnings.filterwarnings("ignore", message="The least populated class")
            splits = list(splitter.split(np.zeros(len(labels)), labels, groups))
        if not fold_problem(labels, groups, splits):
            break
    return splits


def select(
    candidates: list[Candidate],
    features: np.ndarray,
    labels: np.ndarray,
    groups: np.ndarray,
    *,
    folds: int,
    seed: int,
    hidden: int,
    budget_ms: float,
    augment: Rotations | None = None,
    progress: Progress | None = None,
    on_score: ScoreCallback | None = None,
    on_estimate: EstimateCallback | None = None,
) -> tuple[list[CandidateScore], list[tuple[np.ndarray, np.ndarray]], str]:
    """Every candidate's cross-validated score, the (train, test) splits used, and why the
    folds cannot score the candidates ("" when they can: see `fold_problem`). Folds that
    cannot score give no accuracy; each candidate is then fitted on all segments for its cost
    only. `on_score` receives each score as soon as it is known. With `on_estimate`, every
    candidate is first timed on a sample and `on_estimate` receives the forecast before the
    first fold; the forecast then gives `progress` the seconds left."""
    k = fold_count(labels, groups, folds)
    splits = make_splits(labels, groups, k, seed)
    problem = fold_problem(labels, groups, splits)
    steps = 1 if problem else k
    total = len(candidates) * steps
    forecast = None
    if on_estimate and not problem:
        pilots = {
            c.name: pilot_fold_seconds(
                c, features, labels, splits[0], seed=seed, hidden=hidden, augment=augment
            )
            for c in candidates
        }
        forecast = Forecast(pilots, k)
        on_estimate(forecast)
    scores = []
    for i, candidate in enumerate(candidates):
        if problem:
            if progress:
                progress(i, total, f"{candidate.name} on all segments", math.nan)
            fitting = {"seed": seed, "hidden": hidden, "budget_ms": budget_ms, "augment": augment}
            score = fit_and_measure(candidate, features, labels, **fitting)
        else:
            score = cross_validate(
                candidate,
                features,
                labels,
                splits,
                seed=seed,
                hidden=hidden,
                budget_ms=budget_ms,
                augment=augment,
                progress=progress,
                forecast=forecast,
                done=i * k,
                total=total,
            )
        if forecast:
            forecast.candidate_done(candidate.name)
        scores.append(score)
        if on_score:
            on_score(score)
    if progress:
        progress(total, total, "cross-validation done", 0.0)
    return scores, splits, problem


def winner(scores: list[CandidateScore], scored: bool = True) -> CandidateScore | None:
    """The most accurate candidate within the budget, the cheaper one on a tie; without
    cross-validated figures (`scored` False), the first one fitted within the budget."""
    if not scored:
        return next((s for s in scores if s.fits and not (s.unfit or s.over_budget)), None)
    usable = [s for s in scores if s.oof_probabilities is not None]
    if not usable:
        return None
    return max(usable, key=lambda s: (round(s.accuracy, 9), -s.cost_ms))
