"""GestureConfig validation, and both records across pickling."""

import dataclasses
import math
import pathlib
import pickle

import numpy as np
import pytest

from velmorakit.models import Gesture, GestureConfig


class PathText(str):
    pass


class BytesPath:
    def __fspath__(self):
        return b"/m/model.pkl"


def test_config_defaults_and_path_like_paths():
    config = GestureConfig(pathlib.Path("/m/model.pkl"), "/m/encoder.pkl")
    assert type(config.model_path) is str and config.model_path == "/m/model.pkl"
    assert (config.num_sample, config.confidence_th, config.gesture_prob_th) == (10, 2, 0.6)
    with pytest.raises(dataclasses.FrozenInstanceError):
        config.num_sample = 3


@pytest.mark.parametrize(
    ("changes", "error", "message"),
    [
        ({"model_path": b"/m/model.pkl"}, TypeError, "model_path"),
        ({"encoder_path": None}, TypeError, "encoder_path"),
        ({"encoder_path": PathText("/m/encoder.pkl")}, TypeError, "encoder_path"),
        ({"model_path": BytesPath()}, TypeError, "model_path"),
        ({"num_sample": True}, TypeError, "num_sample"),
        ({"num_sample": 10.0}, TypeError, "num_sample"),
        ({"num_sample": np.int64(10)}, TypeError, "num_sample"),
        ({"num_sample": -1}, ValueError, "negative"),
        ({"confidence_th": "2"}, TypeError, "confidence_th"),
        ({"confidence_th": False}, TypeError, "confidence_th"),
        ({"gesture_prob_th": math.nan}, ValueError, "NaN"),
        ({"gesture_prob_th": None}, TypeError, "gesture_prob_th"),
    ],
)
def test_config_rejects_wrong_kinds(changes, error, message):
    arguments = {"model_path": "/m/model.pkl", "encoder_path": "/m/encoder.pkl", **changes}
    with pytest.raises(error, match=message):
        GestureConfig(**arguments)


def test_config_accepts_zero_samples_and_any_real_threshold():
    config = GestureConfig("a", "b", num_sample=0, confidence_th=0, gesture_prob_th=np.float64(1))
    assert config.num_sample == 0 and config.gesture_prob_th == 1.0


def test_config_and_gesture_survive_pickle():
    config = GestureConfig("/m/model.pkl", "/m/encoder.pkl", 25, 3, 0.75)
    gesture = Gesture("up", np.float64(0.9), 6, np.float64(0.241))
    for record in (config, gesture):
        copy = pickle.loads(pickle.dumps(record))
        assert copy == record and type(copy) is type(record)


def test_derived_features_count_swings_and_pickles_from_before_keep_their_width():
    from velmorakit.models.features import POINTS, SegmentFeatures

    t = np.linspace(0, 1, POINTS)
    shake, stroke = np.zeros((6, POINTS)), np.zeros((6, POINTS))
    shake[0] = np.sin(2 * np.pi * 3.5 * t)
    stroke[0] = 60 * t - 180 * t**2 + 120 * t**3  # minimum-jerk acceleration
    x = np.stack([shake.ravel(), stroke.ravel()])
    new = SegmentFeatures().fit(x).transform(x)
    reversals = new[:, -12]  # of the acceleration along x
    assert reversals[0] >= 6 / POINTS and reversals[1] == 2 / POINTS
    # A pipeline pickled before restores without the attribute: the classifier it holds was
    # fitted on the features without the swings.
    before = SegmentFeatures().fit(x)
    del before.oscillation
    old = pickle.loads(pickle.dumps(before)).transform(x)
    assert old.shape[1] == new.shape[1] - 12
    np.testing.assert_array_equal(old, new[:, : old.shape[1]])


def test_upright_features_see_a_stroke_alike_however_the_sensor_is_tilted():
    from scipy.spatial.transform import Rotation

    from velmorakit.models.features import POINTS, SegmentFeatures

    t = np.linspace(0, 1, POINTS)
    free = np.stack([3 * np.sin(2 * np.pi * t), np.zeros(POINTS), np.zeros(POINTS)])
    vel = np.stack([(1 - np.cos(2 * np.pi * t)) / 2, np.zeros(POINTS), 0.1 * t])
    gravity = np.array([0, 0, 9.80665])[:, None]
    upright = SegmentFeatures(upright=True)
    seen = []
    for axis, deg in (((1, 0, 0), 0), ((0, 1, 0), 40), ((1, 1, 0), -70), ((1, 0, 0), 180)):
        to_sensor = Rotation.from_rotvec(np.radians(deg) * np.array(axis) / np.linalg.norm(axis))
        x = to_sensor.inv().as_matrix() @ np.vstack([free + gravity, vel]).reshape(2, 3, POINTS)
        seen.append(upright.fit_transform(x.reshape(1, -1))[0, :303])
    for other in seen[1:]:  # the turn back about the tilt's own axis, or about x when upside down
        np.testing.assert_allclose(other[:300], seen[0][:300], atol=1e-9)
    np.testing.assert_allclose(seen[0][:300], np.vstack([free, vel]).ravel(), atol=1e-9)
    # Without gravity the segment stays in the sensor's axes, its mean acceleration taken out.
    x = np.vstack([free + 1.0, vel]).reshape(1, -1)
    expected = [*free.ravel(), *vel.ravel(), 0, 0, 1]
    np.testing.assert_allclose(upright.fit_transform(x)[0, :303], expected, atol=1e-9)
