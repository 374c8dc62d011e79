"""The demo's model: trained on simulated sessions on first use, then cached.

The cache key covers everything the model depends on (the simulation settings, the
training sessions and parameters, the scikit-learn version), so a change to any of them
trains a fresh model instead of reusing one that no longer fits.

Loading a cached model unpickles it, which runs code from the file, so the cache lives
only in a private per-user directory: created with mode 0700, and refused if another
user owns it or group or others may write to it. Without a usable home cache the model
is trained into a fresh private temporary directory, loaded, and the directory removed at
once: the model is used from memory for this run only and trained again next time. A
shared directory is never read.
"""

import hashlib
import os
import shutil
import stat
import tempfile
from pathlib import Path

import sklearn

from ... import __version__
from ...conditioning import SAMPLE_RATE
from ...errors import InputError
from ...models.bundle import Bundle, load_bundle
from ..errors import WorkbenchError
from ..progress import progress
from ..simulation.synthetic import SimulationSettings, simulate_session
from .bundle import write_bundle
from .candidates import CANDIDATES
from .segments import concatenate, shape_recording
from .training import TrainingReport, train_model

TRAINING_SEEDS = tuple(range(1000, 1005))
TRAINING_SECONDS = 120.0
NUM_SAMPLE = 10
# The whole selection, kept to a few candidates and folds so that a first demo trains
# in well under half a minute on a small machine.
CLASSIFIERS = ("mlp", "svc", "logreg")
FOLDS = 3
SEED = 0


def cache_key() -> str:
    recipe = repr(
        (
            __version__,
            sklearn.__version__,
            SimulationSettings(),
            TRAINING_SEEDS,
            TRAINING_SECONDS,
            NUM_SAMPLE,
            CLASSIFIERS,
            FOLDS,
            SEED,
            [CANDIDATES[name].description for name in CLASSIFIERS],
        )
    )
    return hashlib.sha256(recipe.encode()).hexdigest()[:12]


def cache_dir() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache"
    return Path(base) / "velmorakit"


def private_directory(directory: Path) -> Path:
    """`directory`, created 0700 if missing; WorkbenchError unless it is a real directory
    owned by this user that neither group nor others may write to."""
    directory.mkdir(mode=0o700, parents=True, exist_ok=True)
    info = os.lstat(directory)
    if not stat.S_ISDIR(info.st_mode):
        raise WorkbenchError(f"{directory}: not a directory; refusing to cache models there")
    if info.st_uid != os.getuid():
        raise WorkbenchError(f"{directory}: owned by another user; refusing to load models from it")
    if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise WorkbenchError(
            f"{directory}: group or others may write to it; refusing to load models from it "
            f"(chmod 700 {directory} to use it)"
        )
    return directory


def train_default_model(directory: Path) -> tuple[Bundle, TrainingReport]:
    parts = []
    for seed in progress(
        TRAINING_SEEDS, desc="simulate and shape", unit="session", leave=False, disable=None
    ):
        session = simulate_session(TRAINING_SECONDS, seed)
        part, _ = shape_recording(
            session.samples, session.events, f"seed {seed}", NUM_SAMPLE, all_phases=True
        )
        parts.append(part)
    segments = concatenate(parts)
    model, encoder, report = train_model(
        segments.features,
        segments.labels,
        segments.groups(),
        candidates=list(CLASSIFIERS),
        folds=FOLDS,
        seed=SEED,
    )
    confidence_th, gesture_prob_th = report.thresholds
    write_bundle(
        directory,
        model,
        encoder,
        rate_hz=SAMPLE_RATE,
        confidence_th=confidence_th,
        gesture_prob_th=gesture_prob_th,
        num_sample=NUM_SAMPLE,
        details={"chosen": report.chosen, "trained_on": "simulated sessions"},
    )
    return load_bundle(directory), report


def default_bundle() -> tuple[Bundle, TrainingReport | None]:
    """The default model bundle, loaded, and the training report if it had to be trained now.

    Without a usable home cache the returned bundle's directory no longer exists: its files
    are held in memory (`Bundle.gesture_config` still works)."""
    try:
        cache = private_directory(cache_dir())
    except (PermissionError, FileNotFoundError, NotADirectoryError):
        scratch = Path(tempfile.mkdtemp(prefix="velmorakit-"))
        try:
            return train_default_model(scratch / "model")
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    directory = cache / f"default-{cache_key()}"
    if directory.exists():
        try:
            return load_bundle(directory), None
        except InputError:
            # Damaged (the cache is private, so by this user): trained afresh below.
            shutil.rmtree(directory)
    return train_default_model(directory)
