"""Training: classifier selection, thresholds the worker can use, a pair the engine can load."""

import pickle
import warnings

import numpy as np
import pytest
from reference import ReferenceShaper, reference_extract_segments
from scipy.spatial.transform import Rotation
from sklearn.linear_model import LogisticRegression
from sklearn.preprocessing import OneHotEncoder

from velmorakit.errors import InputError
from velmorakit.models.model_pair import check_model_pair, load_model_pair
from velmorakit.models.rejection import NO_GESTURE
from velmorakit.workbench.errors import WorkbenchError
from velmorakit.workbench.learning.augmentation import Rotations, turned
from velmorakit.workbench.learning.candidates import CANDIDATES
from velmorakit.workbench.learning.forecast import Forecast
from velmorakit.workbench.learning.segments import extract, segment_labels, shape_recording
from velmorakit.workbench.learning.selection import cross_validate, fit_quietly, make_splits
from velmorakit.workbench.learning.thresholds import (
    engine_figures,
    operating_point,
    recommend_thresholds,
)
from velmorakit.workbench.learning.training import (
    build_encoder,
    classify,
    train_model,
)
from velmorakit.workbench.simulation.synthetic import simulate_session

FAST = {"candidates": ["mlp", "logreg"], "folds": 3}
# Both candidates are scored on every fold even where predicting is slow (the emulated board).
ROOMY = 1e3


@pytest.fixture(scope="module")
def segments():
    session = simulate_session(90, seed=11)
    vectors, bounds = reference_extract_segments(session.samples)
    return vectors[:, 1:], np.array(segment_labels(bounds, session.labels))


@pytest.fixture(scope="module")
def trained(segments):
    return train_model(*segments, seed=1, budget_ms=ROOMY, **FAST)


def test_chosen_pair_decodes_like_the_engine(segments, trained):
    features, labels = segments
    model, encoder, report = trained
    assert report.classes == sorted(set(labels)) == check_model_pair(model, encoder)
    assert [s.name for s in report.scores] == FAST["candidates"]
    chosen = next(s for s in report.scores if s.name == report.chosen)
    assert chosen.accuracy == max(s.accuracy for s in report.scores) >= 0.9
    assert all(s.cost_ms > 0 and len(s.fold_accuracies) == 3 for s in report.scores)
    assert report.confusion.sum() == len(labels)
    assert classify(model, encoder, features) == model.predict(features).tolist()


def test_training_forecasts_its_time_and_reports_every_fold(segments):
    calls, forecasts = [], []
    train_model(
        *segments,
        seed=1,
        budget_ms=ROOMY,
        progress=lambda *c: calls.append(c),
        on_estimate=forecasts.append,
        **FAST,
    )
    (forecast,) = forecasts
    assert set(forecast.per_fold) == set(FAST["candidates"]) and forecast.total() > 0
    folds = [what for _, _, what, _ in calls if " fold " in what]
    assert folds == [f"{name} fold {k}/3" for name in FAST["candidates"] for k in (1, 2, 3)]
    assert all(np.isfinite(left) and left >= 0 for *_, left in calls)
    assert calls[-1][2].startswith("fitting") and calls[-2][3] == 0

    # Timed folds replace the estimate for the rest of their candidate's folds.
    forecast = Forecast({"slow": 10.0, "quick": 1.0, "unfit": float("nan")}, folds=3)
    assert forecast.total() == forecast.left() == 33
    forecast.fold_done("slow", 2.0)
    assert forecast.left() == 2 * 2 + 3
    forecast.candidate_done("slow")  # left out after its first fold (over the budget)
    assert forecast.left() == 3


def test_engine_figures_and_recommended_thresholds():
    rows = np.array(
        [[0.125, 0.75, 0.125], [0.2, 0.7, 0.1], [0.4, 0.4, 0.2], [1.0, 0.0, 0.0], [0, 0, 0]]
    )
    winner, best, confidence = engine_figures(rows)
    for row, w, b, c in zip(rows, winner, best, confidence, strict=True):
        rest = np.delete(row, row.argmax())
        assert w == row.argmax() and b == np.amax(row)
        if np.amax(rest) > 0:
            assert c == int(np.amax(row) / np.amax(rest))
    assert confidence.tolist() == [6, 3, 1, np.inf, 0]

    rng = np.random.default_rng(3)
    truth = rng.integers(0, 4, 400)
    logits = rng.normal(size=(400, 4)) + 2.5 * np.eye(4)[truth] * rng.uniform(0, 2, (400, 1))
    truth[:40] = -1  # segments of no gesture: any result on them is spurious
    logits[:40] = rng.normal(size=(40, 4))
    probabilities = np.exp(logits) / np.exp(logits).sum(axis=1, keepdims=True)
    for target, support in ((0.9, 10), (0.95, 20)):
        recommended = recommend_thresholds(probabilities, truth, target)
        point = recommended.point
        again = operating_point(probabilities, truth, point.confidence_th, point.gesture_prob_th)
        assert recommended.reached and point == again
        assert point.precision >= target and point.accepted >= support
        # No other pair on the grid keeps more correct results at the target precision.
        for c_th in range(1, 21):
            for p_th in np.arange(0, 101) / 100:
                other = operating_point(probabilities, truth, c_th, p_th)
                if other.precision >= target and other.accepted >= support:
                    assert other.recall <= point.recall
    everything = operating_point(probabilities, truth, 1, 0)
    assert (everything.accepted, everything.spurious) == (400, 40)
    assert everything.recall == np.mean(probabilities.argmax(axis=1)[40:] == truth[40:])
    unreachable = recommend_thresholds(np.full((4, 2), 0.5), [1, 1, 1, 1], 0.98)
    assert not unreachable.reached
    # One lucky confident segment among many uncertain ones proves no precision.
    lucky = np.vstack([[[0.99, 0.01]], np.tile([[0.55, 0.45]], (99, 1))])
    assert not recommend_thresholds(lucky, [0] + [1] * 99, 0.98).reached
    assert (unreachable.point.confidence_th, unreachable.point.gesture_prob_th) == (2, 0.6)


def test_small_data_trains_every_candidate_with_a_caution():
    rng = np.random.default_rng(0)
    labels = np.array(["up", "down", "left", "right", "forward", "backward"] * 3)[:17]
    features = rng.normal(size=(17, 300)) + 3 * (labels[:, None] == np.unique(labels)).repeat(
        50, axis=1
    )
    model, encoder, report = train_model(features, labels, budget_ms=ROOMY)
    assert report.folds == 2 and report.chosen in {s.name for s in report.scores}
    scored = {s.name for s in report.scores if s.oof_probabilities is not None}
    assert scored == set(CANDIDATES) - {"svc"}
    assert "needs 2 examples" in next(s.unfit for s in report.scores if s.name == "svc")
    assert any("(backward 2, down 3, " in note for note in report.notes)
    assert check_model_pair(model, encoder) == sorted(set(labels))
    # One gesture of each class: nothing to stratify, still trained.
    pair = train_model(features[:2], labels[:2], budget_ms=ROOMY, **FAST)
    assert check_model_pair(*pair[:2]) == ["down", "up"]
    with pytest.raises(WorkbenchError, match="within the budget of 1e-09 ms"):
        train_model(features, labels, budget_ms=1e-9, **FAST)


@pytest.mark.parametrize(("copies", "learnt"), [(6, True), (2, False)])
def test_no_gesture_from_one_motion_leaves_the_gestures_scored(segments, copies, learnt):
    # The copies of one motion between gestures, all in one group: a fold could not both
    # learn and test that class, and no candidate would get a figure.
    features, labels = segments
    still = np.repeat(features[:1] * 0.1, copies, axis=0)
    _, _, report = train_model(
        features, labels, unlabelled=still, unlabelled_groups=np.zeros(copies, int),
        seed=1, budget_ms=ROOMY, **FAST,
    )  # fmt: skip
    assert not report.unscored and report.folds == 3
    assert (NO_GESTURE in report.classes) == learnt
    assert any("come from 1 motion(s)" in note for note in report.notes)


def test_copies_of_one_gesture_share_a_fold_and_unconverged_fits_are_counted():
    labels = np.repeat(["a", "b", "c"], 20)
    groups = np.arange(60) // 5  # 12 gestures of 5 copies each
    for train, test in make_splits(labels, groups, 4, seed=0):
        assert not set(groups[train]) & set(groups[test])
    x = np.random.default_rng(1).normal(size=(60, 300))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _, unconverged = fit_quietly(LogisticRegression(max_iter=1), x, labels)
    assert unconverged == 1


@pytest.mark.parametrize("budget_ms, over", [(1e3, False), (1e-9, True)])
def test_the_cost_is_measured_when_the_first_fold_learns_one_class(budget_ms, over):
    labels = np.repeat(["a", "b"], 4)
    features = np.random.default_rng(4).normal(size=(8, 300))
    splits = [(np.arange(0, 3), np.arange(3, 8)), (np.arange(2, 8), np.arange(0, 2))]
    score = cross_validate(
        CANDIDATES["logreg"], features, labels, splits, seed=0, hidden=8, budget_ms=budget_ms
    )
    assert score.cost_ms > 0 and score.over_budget is over
    assert (score.oof_probabilities is None) is over


@pytest.mark.parametrize("step", [10, 7])
def test_every_phase_cuts_the_segments_a_worker_started_then_would(step):
    session = simulate_session(40, seed=5)
    shaped, _ = shape_recording(session.samples, session.events, "s", step, all_phases=True)
    for phase in (0, 3, step - 1):
        vectors, bounds = extract(session.samples, step, phase)
        shaper, expected_bounds, expected = ReferenceShaper(), [], []
        for count, row in enumerate(session.samples, start=1):
            shaper.push_data(row)
            if (count + phase) % step == 0 and (vector := shaper.run()) is not False:
                first = count - ReferenceShaper.DATA_DIM
                expected_bounds.append([first + shaper.left, first + shaper.right])
                expected.append(vector[1:])
        assert bounds.tolist() == expected_bounds
        np.testing.assert_allclose(vectors, expected, rtol=1e-9, atol=1e-12)
    # Each gesture comes once per phase, and its copies share one group.
    per_gesture = np.unique(shaped.groups(), return_counts=True)[1]
    assert len(per_gesture) == len(session.events) and per_gesture.max() <= step
    assert len(shaped) > (step - 1) * len(session.events)


def test_a_sensor_held_turned_gives_the_turned_copies_that_training_adds():
    session = simulate_session(60, seed=8)
    turn = Rotation.from_rotvec([0.3, -0.5, 0.4]).as_matrix()
    held_turned = session.samples.copy()
    held_turned[:, :3] = held_turned[:, :3] @ turn.T
    held_turned[:, 3:6] = held_turned[:, 3:6] @ turn.T
    vectors, bounds = extract(session.samples, 10)
    seen, seen_bounds = extract(held_turned, 10)
    assert seen_bounds.tolist() == bounds.tolist() and len(bounds) >= len(session.events)
    np.testing.assert_allclose(seen, turned(vectors, turn), atol=1e-9)
    # Training's copies: the recorded segments first, then each turned by at most 30 degrees.
    labels = np.arange(len(vectors))
    x, y = Rotations(copies=2, max_deg=30).apply(vectors, labels)
    assert y.tolist() == labels.tolist() * 3 and np.array_equal(x[: len(vectors)], vectors)
    points = x.reshape(3, len(vectors), 2, 3, -1)  # copy, segment, acc/vel, axis, point
    norms = np.linalg.norm(points, axis=-2)
    cosine = np.sum(points[1:] * points[0], axis=-2) / np.maximum(norms[1:] * norms[0], 1e-12)
    assert np.degrees(np.arccos(np.clip(cosine, -1, 1))).max() <= 30 + 1e-6


def test_pairs_from_two_trainings_are_refused_with_a_message(segments, trained):
    features, labels = segments
    model, encoder, report = trained
    reversed_encoder = OneHotEncoder(categories=[report.classes[::-1]], sparse_output=False)
    reversed_encoder.fit(np.array(report.classes, dtype=object).reshape(-1, 1))
    other_classes = build_encoder(report.classes[:3])
    for wrong in (reversed_encoder, other_classes):
        with pytest.raises(InputError, match="do not match the classifier's classes"):
            check_model_pair(model, wrong)
    narrow = LogisticRegression(max_iter=50).fit(features[:, :299], labels)
    with pytest.raises(InputError, match="expects 299 features"):
        check_model_pair(narrow, encoder)
    with pytest.raises(InputError, match="no predict_proba"):
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
    with pytest.raises(InputError, match="model.pkl: not a pickled model"):
        load_model_pair(tmp_path / "model.pkl", tmp_path / "encoder.pkl")
    (tmp_path / "model.pkl").write_bytes(pickle.dumps([1, 2]))
    with pytest.raises(InputError, match="encoder.pkl: no such file"):
        load_model_pair(tmp_path / "model.pkl", tmp_path / "encoder.pkl")
