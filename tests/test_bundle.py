"""Model bundles: written whole or not at all, checked on loading; the demo's private cache."""

import hashlib
import json
import math
import os
import pickle
import re

import numpy as np
import pytest
from sklearn.linear_model import LogisticRegression

from velmorakit.conditioning.velocity import ESTIMATE_VERSION
from velmorakit.errors import InputError
from velmorakit.models import gesture_config
from velmorakit.models.bundle import BundleVersionWarning, load_bundle
from velmorakit.models.model_pair import load_model_pair
from velmorakit.workbench.errors import WorkbenchError
from velmorakit.workbench.learning import bundle as bundle_module
from velmorakit.workbench.learning import default_model
from velmorakit.workbench.learning.bundle import write_bundle
from velmorakit.workbench.learning.training import build_encoder
from velmorakit.workbench.sources.decoding import Format, LineDecoder

THRESHOLDS = {"rate_hz": 50, "confidence_th": 3, "gesture_prob_th": 0.55, "num_sample": 10}


def pair(classes, seed=0):
    x = np.random.default_rng(seed).normal(size=(4 * len(classes), 300))
    model = LogisticRegression(max_iter=200).fit(x, np.repeat(classes, 4))
    return model, build_encoder(list(classes))


def test_bundle_round_trip_and_a_failed_write_keeps_the_old_pair(tmp_path, monkeypatch):
    target = tmp_path / "model"
    write_bundle(target, *pair(["down", "up"]), **THRESHOLDS)
    loaded = load_bundle(target)
    assert loaded.classes == ["down", "up"] and loaded.model_path == target / "model.pkl"
    assert (loaded.confidence_th, loaded.gesture_prob_th, loaded.rate_hz) == (3, 0.55, 50)
    assert loaded.velocity_estimator().version == ESTIMATE_VERSION > 1
    # A bundle written before the velocity estimate stopped a turned wrist keeps its estimate,
    # also live: a source's samples without velocity are estimated the same way.
    manifest = json.loads((target / "bundle.json").read_text())
    del manifest["velocity_estimate"]
    (target / "bundle.json").write_text(json.dumps(manifest))
    old = load_bundle(target)
    assert old.velocity_estimate == old.velocity_estimator().version == 1
    decoder = LineDecoder(Format(velocity_estimate=old.velocity_estimate))
    decoder.feed(b"t,ax,ay,az\n" + b"".join(b"%d,0,0,9.8\n" % (20 * i) for i in range(20)))
    assert decoder.conditioner.estimator.version == 1
    before = {p.name: p.read_bytes() for p in target.iterdir()}

    real_dump = pickle.dump

    def disk_full_on_the_encoder(obj, handle):
        if handle.name.endswith("encoder.pkl"):
            raise OSError(28, "No space left on device")
        real_dump(obj, handle)

    monkeypatch.setattr(bundle_module.pickle, "dump", disk_full_on_the_encoder)
    with pytest.raises(OSError, match="No space left"):
        write_bundle(target, *pair(["left", "right", "up"], seed=1), **THRESHOLDS)
    assert {p.name: p.read_bytes() for p in target.iterdir()} == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["model"]  # no staging left over

    monkeypatch.undo()
    write_bundle(target, *pair(["left", "right", "up"], seed=1), **THRESHOLDS)
    assert load_bundle(target).classes == ["left", "right", "up"]


def test_damaged_or_mixed_bundles_are_refused_with_a_message(tmp_path):
    target = tmp_path / "model"
    write_bundle(target, *pair(["down", "up"]), **THRESHOLDS)
    other = tmp_path / "other"
    write_bundle(other, *pair(["down", "left", "up"]), **THRESHOLDS)

    # The encoder of another training copied in, with the manifest's hash updated.
    manifest = json.loads((target / "bundle.json").read_text())
    (target / "encoder.pkl").write_bytes((other / "encoder.pkl").read_bytes())
    with pytest.raises(InputError, match="does not match its bundle"):
        load_bundle(target)
    encoder_bytes = (target / "encoder.pkl").read_bytes()
    manifest["sha256"]["encoder.pkl"] = hashlib.sha256(encoder_bytes).hexdigest()
    (target / "bundle.json").write_text(json.dumps(manifest))
    with pytest.raises(InputError, match="do not match the classifier's classes"):
        load_bundle(target)
    # A file of the bundle may not lead out of it, even with the right hash.
    (target / "encoder.pkl").unlink()
    (target / "encoder.pkl").symlink_to(other / "encoder.pkl")
    with pytest.raises(InputError, match="encoder.pkl: a symbolic link"):
        load_bundle(target)

    with pytest.raises(InputError, match="not a model bundle"):
        load_bundle(tmp_path)
    (tmp_path / "keep").mkdir()
    (tmp_path / "keep" / "notes.txt").write_text("mine")
    with pytest.raises(WorkbenchError, match="not a model bundle; not replacing it"):
        write_bundle(tmp_path / "keep", *pair(["down", "up"]), **THRESHOLDS)


def test_a_bundle_from_another_scikit_learn_warns(tmp_path):
    target = tmp_path / "model"
    write_bundle(target, *pair(["down", "up"]), **THRESHOLDS)
    manifest = json.loads((target / "bundle.json").read_text())
    manifest["versions"]["scikit-learn"] = "0.24.2"
    (target / "bundle.json").write_text(json.dumps(manifest))
    with pytest.warns(BundleVersionWarning, match="made with scikit-learn 0.24.2"):
        assert load_bundle(target).classes == ["down", "up"]


def test_default_model_cache_is_private(tmp_path, monkeypatch):
    trained_into, modes = [], []

    def fake_training(directory):
        trained_into.append(directory)
        modes.append(os.stat(directory.parent).st_mode & 0o777)
        write_bundle(directory, *pair(["down", "up"]), **THRESHOLDS)
        return load_bundle(directory), "report"

    monkeypatch.setattr(default_model, "train_default_model", fake_training)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    cache = tmp_path / "velmorakit"

    first, report = default_model.default_bundle()
    assert report == "report" and first.path.parent == cache
    assert os.stat(cache).st_mode & 0o777 == 0o700
    assert default_model.default_bundle()[1] is None  # cached

    os.chmod(cache, 0o777)
    with pytest.raises(WorkbenchError, match="group or others may write to it"):
        default_model.default_bundle()
    os.chmod(cache, 0o700)
    monkeypatch.setattr(default_model.os, "getuid", lambda: os.stat(cache).st_uid + 1)
    with pytest.raises(WorkbenchError, match="owned by another user"):
        default_model.default_bundle()
    monkeypatch.undo()

    # No usable home cache: a fresh private directory, never a shared, predictable one, removed
    # once the model is loaded; the model still runs from the bytes that were read.
    monkeypatch.setattr(default_model, "train_default_model", fake_training)
    blocker = tmp_path / "file"
    blocker.write_text("")
    monkeypatch.setenv("XDG_CACHE_HOME", str(blocker))
    bundle, report = default_model.default_bundle()
    private = trained_into[-1].parent
    assert report == "report" and private != cache and modes[-1] == 0o700
    assert bundle.path == trained_into[-1] and not private.exists()
    with bundle:
        assert os.path.isfile(bundle.gesture_config().model_path)


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"sha256": {}}, "no SHA-256 of model.pkl"),
        ({"sha256": {"model.pkl": "0" * 64}}, "model.pkl: does not match its bundle"),
        ({"model": "../../../etc/passwd"}, "model '../../../etc/passwd' is not a plain file name"),
        ({"encoder": "/etc/passwd"}, "encoder '/etc/passwd' is not a plain file name"),
        ({"confidence_th": math.nan}, "confidence_th must be a number, 0 or more, not nan"),
        ({"confidence_th": -3}, "confidence_th must be a number, 0 or more, not -3"),
        ({"num_sample": 0}, "num_sample must be a whole number, 1 or more, not 0"),
        ({"num_sample": 2.5}, "num_sample must be a whole number"),
        ({"gesture_prob_th": 7.5}, "gesture_prob_th must be a number from 0 to 1, not 7.5"),
        ({"rate_hz": 100}, "rate_hz is 100; the engine runs at 50 Hz"),
        ({"classes": "down,up"}, "classes must be a list"),
        ({"rate_hz": None}, "rate_hz is None"),
        ({"velocity_estimate": 0.7}, "no velocity estimate of version 0.7"),
    ],
)
def test_bundles_are_trusted_no_further_than_checked(tmp_path, changes, message):
    target = tmp_path / "model"
    write_bundle(target, *pair(["down", "up"]), **THRESHOLDS)
    manifest = json.loads((target / "bundle.json").read_text())
    (target / "bundle.json").write_text(json.dumps({**manifest, **changes}))
    with pytest.raises(InputError, match=re.escape(message)) as refused:
        load_bundle(target)
    assert "\n" not in str(refused.value)


def test_the_worker_is_given_the_bytes_that_were_checked(tmp_path):
    target = tmp_path / "model"
    write_bundle(target, *pair(["down", "up"]), **THRESHOLDS)
    manifest = json.loads((target / "bundle.json").read_text())
    # Keys this reader does not know (a later writer's) are ignored.
    (target / "bundle.json").write_text(json.dumps({**manifest, "no_gesture": "rest"}))
    with load_bundle(target) as bundle:
        config = bundle.gesture_config(confidence_th=5)
        # A new training into the same directory after the check does not reach the worker.
        write_bundle(target, *pair(["left", "right", "up"], seed=1), **THRESHOLDS)
        copies = os.path.dirname(config.model_path)
        assert os.stat(copies).st_mode & 0o777 == 0o700
        for path, name in ((config.model_path, "model.pkl"), (config.encoder_path, "encoder.pkl")):
            with open(path, "rb") as copy:
                assert hashlib.sha256(copy.read()).hexdigest() == manifest["sha256"][name]
        assert (config.num_sample, config.confidence_th, config.gesture_prob_th) == (10, 5, 0.55)
    assert not os.path.exists(copies)

    config = gesture_config(target, num_sample=4)
    assert (config.num_sample, config.confidence_th) == (4, 3)
    with load_model_pair(config.model_path, config.encoder_path) as pickled_pair:
        assert pickled_pair.classes == ["left", "right", "up"]
        assert pickled_pair.gesture_config().model_path != config.model_path


def test_writing_a_bundle_leaves_the_process_umask_alone(tmp_path, monkeypatch):
    umask = os.umask(0o022)
    os.umask(umask)

    def forbidden(mask):
        raise AssertionError("the process umask was changed")

    monkeypatch.setattr(os, "umask", forbidden)
    write_bundle(tmp_path / "model", *pair(["down", "up"]), **THRESHOLDS)
    assert os.stat(tmp_path / "model").st_mode & 0o777 == 0o755 & ~umask
