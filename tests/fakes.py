"""Picklable stand-ins for the engine's classifier and label encoder, and a tiny real pair.

The classes live at module level so that pickle finds them by name whenever `tests` is on
`sys.path`.
"""

import pickle
import warnings

import numpy as np

from velmorakit.workbench.learning.segments import FEATURES


class FakeClassifier:
    """Returns the same (1, K) probability row for every feature vector.

    `labels` becomes `classes_`; a single label models a one-class classifier, whose row may still
    hold two probabilities.
    """

    def __init__(self, probabilities, labels):
        self.probabilities = np.array(probabilities, dtype=float).reshape(1, -1)
        self.classes_ = np.array(labels)

    def predict_proba(self, X):
        if not isinstance(X, list | np.ndarray) or len(X) != 1:
            raise ValueError(f"expected a batch of one feature vector, got {X!r:.80}")
        if np.shape(X[0]) != (FEATURES,):
            raise ValueError(f"expected {FEATURES} features, got shape {np.shape(X[0])}")
        return self.probabilities.copy()


class FakeEncoder:
    """Decodes a one-hot (1, K) indicator row into a (1, 1) object array holding its label."""

    def __init__(self, labels):
        self.labels = list(labels)

    def inverse_transform(self, indicator):
        indicator = np.asarray(indicator)
        if indicator.shape != (1, len(self.labels)):
            raise ValueError(f"expected shape (1, {len(self.labels)}), got {indicator.shape}")
        hot = np.flatnonzero(indicator)
        if hot.size != 1 or indicator.flat[hot[0]] != 1:
            raise ValueError(f"expected a one-hot row, got {indicator.tolist()}")
        decoded = np.empty((1, 1), dtype=object)
        decoded[0, 0] = self.labels[hot[0]]
        return decoded


def write_model_files(tmp_path, model, encoder):
    """Pickle `model` and `encoder` into `tmp_path`; returns their two paths as str."""
    paths = (str(tmp_path / "model.pkl"), str(tmp_path / "encoder.pkl"))
    for path, obj in zip(paths, (model, encoder), strict=True):
        with open(path, "wb") as file:
            pickle.dump(obj, file)
    return paths


def train_tiny_sklearn_model(vectors, labels):
    """Fit a small MLP on (k, 300) feature vectors and a one-hot encoder on their labels.

    The encoder's category order must equal the classifier's `classes_`: column j of the
    probability row and column j of the indicator row then name the same gesture.
    """
    # Imported here: a spawned worker that unpickles the fakes above need not load scikit-learn.
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.neural_network import MLPClassifier
    from sklearn.preprocessing import OneHotEncoder

    vectors = np.asarray(vectors, dtype=float)
    if vectors.ndim != 2 or vectors.shape[1] != FEATURES:
        raise ValueError(f"expected (k, {FEATURES}) feature vectors, got {vectors.shape}")
    model = MLPClassifier(hidden_layer_sizes=(64,), max_iter=2000, random_state=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        model.fit(vectors, labels)
    encoder = OneHotEncoder(sparse_output=False).fit(np.asarray(labels).reshape(-1, 1))
    if list(encoder.categories_[0]) != list(model.classes_):
        raise AssertionError("encoder categories and classifier classes are in different orders")
    return model, encoder
