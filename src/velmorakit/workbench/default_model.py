"""The demo's model: trained on simulated sessions on first use, then cached.

The cache key covers everything the model depends on (the simulation settings, the
training sessions and parameters, the scikit-learn version), so a change to any of them
trains a fresh model instead of reusing one that no longer fits.
"""

import hashlib
import os
import tempfile
from pathlib import Path

import sklearn

from .. import __version__
from .errors import WorkbenchError
from .progress import progress
from .segments import concatenate, shape_recording
from .synthetic import SimulationSettings, simulate_session
from .training import TrainingReport, load_model_pair, save_model_pair, train_model

TRAINING_SEEDS = tuple(range(1000, 1005))
TRAINING_SECONDS = 120.0
HIDDEN = 64


def cache_key() -> str:
    recipe = repr(
        (__version__, sklearn.__version__, SimulationSettings(), TRAINING_SEEDS, TRAINING_SECONDS)
    )
    return hashlib.sha256(f"{recipe} hidden={HIDDEN}".encode()).hexdigest()[:12]


def cache_dir() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache"
    return Path(base) / "velmorakit"


def train_default_model(model_path: Path, encoder_path: Path) -> TrainingReport:
    parts = []
    for seed in progress(
        TRAINING_SEEDS, desc="simulate and shape", unit="session", leave=False, disable=None
    ):
        session = simulate_session(TRAINING_SECONDS, seed)
        parts.append(shape_recording(session.samples, session.labels, f"seed {seed}", 1)[0])
    segments = concatenate(parts)
    model, encoder, report = train_model(segments.features, segments.labels, hidden=HIDDEN)
    save_model_pair(model, encoder, model_path, encoder_path)
    return report


def _writable_cache() -> Path:
    for directory in (cache_dir(), Path(tempfile.gettempdir()) / "velmorakit"):
        try:
            directory.mkdir(parents=True, exist_ok=True)
        except OSError:
            continue
        if os.access(directory, os.W_OK):
            return directory
    raise WorkbenchError("no writable directory to cache the default model in")


def default_model_paths() -> tuple[Path, Path, TrainingReport | None]:
    """A usable default model pair, and the training report if it had to be trained now."""
    directory = _writable_cache()
    key = cache_key()
    model_path = directory / f"default-model-{key}.pkl"
    encoder_path = directory / f"default-encoder-{key}.pkl"
    try:
        load_model_pair(model_path, encoder_path)
        return model_path, encoder_path, None
    except WorkbenchError:
        pass  # not cached yet, or left half-written by an interrupted run
    report = train_default_model(model_path, encoder_path)
    return model_path, encoder_path, report
