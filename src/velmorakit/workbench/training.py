"""The classifier and label encoder that the engine loads, trained from segment vectors.

The engine asks the classifier for `predict_proba` of one 300-value vector and hands the
encoder a one-hot row of the winning column, so column k of the classifier and category k
of the encoder must name the same gesture. Both are fitted on the same sorted label set
and checked against each other before they are written.
"""

import pickle
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from sklearn.metrics import accuracy_score, confusion_matrix
from sklearn.model_selection import train_test_split
from sklearn.neural_network import MLPClassifier
from sklearn.pipeline import Pipeline, make_pipeline
from sklearn.preprocessing import OneHotEncoder, StandardScaler

from .errors import WorkbenchError
from .segments import FEATURES


@dataclass
class TrainingReport:
    classes: list[str]
    accuracy: float
    confusion: np.ndarray  # rows true class, columns predicted, in `classes` order
    n_train: int
    n_test: int


def build_classifier(hidden: int = 64, seed: int = 0) -> Pipeline:
    """Standardised features into a one-hidden-layer perceptron: trains in seconds."""
    return make_pipeline(
        StandardScaler(),
        MLPClassifier(hidden_layer_sizes=(hidden,), alpha=1e-2, max_iter=400, random_state=seed),
    )


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
    decoded = [
        encoder.inverse_transform(np.eye(len(classes))[[k]])[0][0] for k in range(len(classes))
    ]
    if decoded != classes:
        raise WorkbenchError(
            f"encoder categories {decoded} do not match the classifier's classes {classes}"
        )
    return classes


def train_model(
    features: np.ndarray,
    labels: np.ndarray,
    test_size: float = 0.25,
    hidden: int = 64,
    seed: int = 0,
):
    """(classifier, encoder, report); the report scores a held-out part of the segments."""
    labels = np.asarray(labels).astype(str)
    validate_training_set(features, labels)
    counts = np.unique(labels, return_counts=True)[1]
    x_train, x_test, y_train, y_test = train_test_split(
        features,
        labels,
        test_size=test_size,
        random_state=seed,
        stratify=labels if counts.min() >= 2 else None,
    )
    model = build_classifier(hidden, seed).fit(x_train, y_train)
    classes = [str(c) for c in model.classes_]
    encoder = build_encoder(classes)
    check_model_pair(model, encoder)
    predicted = model.predict(x_test)
    report = TrainingReport(
        classes,
        float(accuracy_score(y_test, predicted)),
        confusion_matrix(y_test, predicted, labels=classes),
        len(y_train),
        len(y_test),
    )
    return model, encoder, report


def save_model_pair(model, encoder, model_path: str | Path, encoder_path: str | Path) -> None:
    for obj, path in ((model, model_path), (encoder, encoder_path)):
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        with Path(path).open("wb") as handle:
            pickle.dump(obj, handle)


def load_model_pair(model_path: str | Path, encoder_path: str | Path):
    """Unpickle and check a model and encoder; errors a user can cause become WorkbenchError."""
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
