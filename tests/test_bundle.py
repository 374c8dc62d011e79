"""Model bundles: written whole or not at all, checked on loading; the demo's private cache."""

import json
import os
import pickle

import numpy as np
import pytest
from sklearn.linear_model import LogisticRegression

from velmorakit.workbench.errors import WorkbenchError
from velmorakit.workbench.learning import bundle as bundle_module
from velmorakit.workbench.learning import default_model
from velmorakit.workbench.learning.bundle import BundleVersionWarning, load_bundle, write_bundle
from velmorakit.workbench.learning.training import build_encoder

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
    with pytest.raises(WorkbenchError, match="does not match its bundle"):
        load_bundle(target)
    manifest["sha256"]["encoder.pkl"] = bundle_module._sha256(target / "encoder.pkl")
    (target / "bundle.json").write_text(json.dumps(manifest))
    with pytest.raises(WorkbenchError, match="do not match the classifier's classes"):
        load_bundle(target)

    with pytest.raises(WorkbenchError, match="not a model bundle"):
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
    trained_into = []

    def fake_training(directory):
        trained_into.append(directory)
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

    # No usable home cache: a fresh private directory, never a shared, predictable one.
    monkeypatch.setattr(default_model, "train_default_model", fake_training)
    blocker = tmp_path / "file"
    blocker.write_text("")
    monkeypatch.setenv("XDG_CACHE_HOME", str(blocker))
    bundle, report = default_model.default_bundle()
    private = trained_into[-1].parent
    assert report == "report" and private != cache and os.stat(private).st_mode & 0o777 == 0o700
    assert bundle.path == trained_into[-1]
