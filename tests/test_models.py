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
