"""The classifiers that training chooses among, each with fixed settings that suit
a few hundred to a few thousand 300-value segment vectors.

Every candidate offers `predict_proba` and `classes_`, which is all the engine asks of a
classifier. The tree ensembles stay small because their cost of classifying one vector
grows with the number of trees, and the worker runs on small devices.
"""

from collections.abc import Callable
from dataclasses import dataclass

from ..errors import WorkbenchError

# scikit-learn is imported by the builders, when a classifier is made: the command line lists
# the candidates' names without the second or so that importing it takes on a small board.


@dataclass(frozen=True)
class Candidate:
    name: str
    description: str
    # (seed, hidden units, examples of the rarest class) -> unfitted classifier
    build: Callable[[int, int, int], object]
    min_per_class: int = 1  # fewer examples of some class than this: cannot be fitted
    # Time to fit grows about as segments ** growth, for estimates of the training time (the
    # SVC's lies between 1 and 2 with how much the classes overlap).
    growth: float = 1.0


def _mlp(seed: int, hidden: int, smallest: int):
    from sklearn.neural_network import MLPClassifier
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    return make_pipeline(
        StandardScaler(),
        MLPClassifier(hidden_layer_sizes=(hidden,), alpha=1e-2, max_iter=400, random_state=seed),
    )


def _extra_trees(seed: int, hidden: int, smallest: int):
    from sklearn.ensemble import ExtraTreesClassifier

    return ExtraTreesClassifier(n_estimators=30, random_state=seed)


def _random_forest(seed: int, hidden: int, smallest: int):
    from sklearn.ensemble import RandomForestClassifier

    return RandomForestClassifier(n_estimators=30, random_state=seed)


def _svc(seed: int, hidden: int, smallest: int):
    from sklearn.calibration import CalibratedClassifierCV
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler
    from sklearn.svm import SVC

    # The engine needs class probabilities: the SVC's decision values are mapped to them by
    # a sigmoid fitted in an inner cross-validation (Platt scaling), the form that replaces
    # scikit-learn's deprecated SVC(probability=True). Every inner fold needs every class.
    svc = SVC(C=10.0, gamma="scale", random_state=seed)
    calibrated = CalibratedClassifierCV(svc, method="sigmoid", cv=min(3, smallest), ensemble=False)
    return make_pipeline(StandardScaler(), calibrated)


def _logistic(seed: int, hidden: int, smallest: int):
    from sklearn.linear_model import LogisticRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    return make_pipeline(StandardScaler(), LogisticRegression(C=1.0, max_iter=1000))


def _on_features(classifier: Callable, **options) -> Callable[[int, int, int], object]:
    """A builder of `classifier` behind `SegmentFeatures(**options)`, pickled as one pipeline."""

    def build(seed: int, hidden: int, smallest: int):
        from sklearn.pipeline import make_pipeline

        from ...models.features import SegmentFeatures

        return make_pipeline(SegmentFeatures(**options), classifier(seed, hidden, smallest))

    return build


CANDIDATES = {
    c.name: c
    for c in (
        Candidate("mlp", "standardised, perceptron with one hidden layer", _mlp),
        Candidate("extra-trees", "30 extremely randomised trees", _extra_trees, growth=1.2),
        Candidate("random-forest", "random forest of 30 trees", _random_forest, growth=1.2),
        Candidate("svc", "standardised, RBF support vector machine, C=10", _svc, 2, growth=1.5),
        Candidate("logreg", "standardised, logistic regression, C=1", _logistic),
        Candidate(
            "mlp+features",
            "scale-free shapes, magnitudes, statistics and swings, then the perceptron",
            _on_features(_mlp),
        ),
        Candidate(
            "mlp+upright",
            "the same features with the segment turned upright by its gravity, the perceptron",
            _on_features(_mlp, upright=True),
        ),
        Candidate(
            "logreg+features",
            "scale-free shapes, magnitudes, statistics and swings, then logistic regression",
            _on_features(_logistic),
        ),
    )
}


def pick_candidates(names: list[str] | None) -> list[Candidate]:
    """The named candidates in the order given, or all of them."""
    if not names:
        return list(CANDIDATES.values())
    unknown = [n for n in names if n not in CANDIDATES]
    if unknown:
        raise WorkbenchError(
            f"unknown classifier(s) {', '.join(unknown)}; choose among {', '.join(CANDIDATES)}"
        )
    return [CANDIDATES[n] for n in dict.fromkeys(names)]
