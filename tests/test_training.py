"""Training: a classifier and encoder the engine can load, with matching class order."""

import pickle

import numpy as np
import pytest
from reference import reference_extract_segments
from sklearn.linear_model import LogisticRegression
from sklearn.preprocessing import OneHotEncoder

from velmorakit.workbench.errors import WorkbenchError
from velmorakit.workbench.segments import segment_labels
from velmorakit.workbench.synthetic import simulate_session
from velmorakit.workbench.training import (
    check_model_pair,
    classify,
    load_model_pair,
    save_model_pair,
    train_model,
)


@pytest.fixture(scope="module")
def segments():
    session = simulate_session(90, seed=11)
    vectors, bounds = reference_extract_segments(session.samples)
    return vectors[:, 1:], np.array(segment_labels(bounds, session.labels))


@pytest.fixture(scope="module")
def trained(segments):
    return train_model(*segments, seed=1)


def test_trained_pair_decodes_like_the_engine(segments, trained):
    features, labels = segments
    model, encoder, report = trained
    assert report.classes == sorted(set(labels)) == check_model_pair(model, encoder)
    assert report.confusion.sum() == report.n_test
    assert report.accuracy == np.trace(report.confusion) / report.n_test >= 0.9
    assert classify(model, encoder, features) == model.predict(features).tolist()
    indicator = np.zeros((1, len(report.classes)))
    indicator[0, 2] = 1
    decoded = encoder.inverse_transform(indicator)
    assert decoded.shape == (1, 1) and type(decoded[0][0]) is str
    assert decoded[0][0] == report.classes[2]


def test_pair_round_trips_through_pickle_files(tmp_path, trained):
    model, encoder, report = trained
    save_model_pair(model, encoder, tmp_path / "m" / "model.pkl", tmp_path / "encoder.pkl")
    _, loaded = load_model_pair(tmp_path / "m" / "model.pkl", tmp_path / "encoder.pkl")
    assert loaded.categories_[0].tolist() == report.classes


def test_mismatched_or_unfit_pairs_are_refused(segments, trained):
    features, labels = segments
    model, encoder, report = trained
    reversed_encoder = OneHotEncoder(categories=[report.classes[::-1]], sparse_output=False)
    reversed_encoder.fit(np.array(report.classes, dtype=object).reshape(-1, 1))
    with pytest.raises(WorkbenchError, match="do not match"):
        check_model_pair(model, reversed_encoder)
    narrow = LogisticRegression(max_iter=50).fit(features[:, :299], labels)
    with pytest.raises(WorkbenchError, match="expects 299 features"):
        check_model_pair(narrow, encoder)
    with pytest.raises(WorkbenchError, match="no predict_proba"):
        check_model_pair(encoder, encoder)


@pytest.mark.parametrize(
    "width, classes, message",
    [(299, 6, "must have 300 features"), (300, 1, "at least two gesture classes")],
)
def test_training_sets_are_validated(width, classes, message):
    features = np.random.default_rng(0).normal(size=(12, width))
    labels = np.array(["up", "down", "left", "right", "forward", "backward"] * 2)
    labels = np.where(np.arange(12) % 6 < classes, labels, "up")
    with pytest.raises(WorkbenchError, match=message):
        train_model(features, labels)


def test_unreadable_model_files_are_reported(tmp_path):
    (tmp_path / "model.pkl").write_bytes(b"not a pickle")
    with pytest.raises(WorkbenchError, match="model.pkl: not a pickled model"):
        load_model_pair(tmp_path / "model.pkl", tmp_path / "encoder.pkl")
    (tmp_path / "model.pkl").write_bytes(pickle.dumps([1, 2]))
    with pytest.raises(WorkbenchError, match="encoder.pkl: no such file"):
        load_model_pair(tmp_path / "model.pkl", tmp_path / "encoder.pkl")
