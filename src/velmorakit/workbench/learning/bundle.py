"""Writing a model bundle: one directory holding everything a trained model needs.

The layout and the reader are the runtime's (`velmorakit.models.bundle`). A bundle is
written whole into a temporary directory beside its destination and then renamed into
place, so a failed or interrupted write never leaves a new classifier beside an old encoder.
"""

import hashlib
import json
import os
import pickle
import platform
import shutil
import tempfile
from pathlib import Path

import numpy as np
import scipy
import sklearn

from ... import __version__
from ...conditioning.velocity import ESTIMATE_VERSION
from ...models.bundle import FORMAT, FORMAT_VERSION, MANIFEST, check_settings
from ...models.model_pair import ENCODER_FILE, MODEL_FILE, check_model_pair
from ..errors import WorkbenchError


def library_versions() -> dict[str, str]:
    return {
        "velmorakit": __version__,
        "scikit-learn": sklearn.__version__,
        "numpy": np.__version__,
        "scipy": scipy.__version__,
        "python": platform.python_version(),
    }


def _sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def write_bundle(
    directory: str | Path,
    model,
    encoder,
    *,
    rate_hz: float,
    confidence_th: float,
    gesture_prob_th: float,
    num_sample: int,
    details: dict | None = None,
) -> Path:
    """Write a bundle to `directory`, replacing a bundle there; returns the directory.

    A directory that exists and is not a bundle is left alone (WorkbenchError)."""
    classes = check_model_pair(model, encoder)
    check_settings(
        rate_hz=rate_hz,
        num_sample=num_sample,
        confidence_th=confidence_th,
        gesture_prob_th=gesture_prob_th,
    )
    target = Path(directory)
    if target.exists() and not (target / MANIFEST).is_file():
        raise WorkbenchError(f"{target}: exists and is not a model bundle; not replacing it")
    target.parent.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(prefix=f".{target.name}.", dir=target.parent))
    try:
        for obj, name in ((model, MODEL_FILE), (encoder, ENCODER_FILE)):
            with (staging / name).open("wb") as handle:
                pickle.dump(obj, handle)
        manifest = {
            "format": FORMAT,
            "format_version": FORMAT_VERSION,
            "model": MODEL_FILE,
            "encoder": ENCODER_FILE,
            "sha256": {name: _sha256(staging / name) for name in (MODEL_FILE, ENCODER_FILE)},
            "classes": classes,
            "rate_hz": float(rate_hz),
            "num_sample": int(num_sample),
            "confidence_th": float(confidence_th),
            "gesture_prob_th": float(gesture_prob_th),
            "versions": library_versions(),
            "details": details or {},
            "velocity_estimate": ESTIMATE_VERSION,
        }
        (staging / MANIFEST).write_text(json.dumps(manifest, indent=2) + "\n")
        os.chmod(staging, _directory_mode(staging / MANIFEST))
        _swap_into_place(staging, target)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return target


def _directory_mode(new_file: Path) -> int:
    """The mode `mkdir` would give a bundle directory (0755 less the umask), read from a file
    just created with 0666 less the umask: setting the umask to read it would change it for
    every thread of the process for that moment."""
    mode = new_file.stat().st_mode & 0o666
    return (mode | (mode & 0o444) >> 2) & 0o755


def _swap_into_place(staging: Path, target: Path) -> None:
    """Rename the finished bundle onto `target`; an old bundle there is moved aside first
    and removed after, so at every moment `target` is either the old or the new bundle
    whole (or, between the two renames, absent)."""
    if not target.exists():
        os.rename(staging, target)
        return
    retired = Path(tempfile.mkdtemp(prefix=f".{target.name}.old.", dir=target.parent))
    os.rename(target, retired / "bundle")
    os.rename(staging, target)
    shutil.rmtree(retired, ignore_errors=True)
