"""A model bundle: one directory holding everything a trained model needs to be used.

Layout of a bundle directory:

    model.pkl     the pickled classifier (the service's `model_path`)
    encoder.pkl   the pickled label encoder (the service's `encoder_path`)
    bundle.json   format and version, the two file names with their SHA-256, the class
                  list, the sample rate, the batch size the model was shaped for, the
                  recommended `confidence_th` and `gesture_prob_th`, the library versions
                  the model was made with, and a summary of how it was chosen

A bundle is written whole into a temporary directory beside its destination and then
renamed into place, so a failed or interrupted write never leaves a new classifier beside
an old encoder. Loading unpickles both files, which runs code from them: load only bundles
from a trusted source.
"""

import hashlib
import json
import os
import pickle
import platform
import shutil
import tempfile
import warnings
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import scipy
import sklearn

from ... import __version__
from ..errors import WorkbenchError
from .training import check_model_pair, load_model_pair

FORMAT = "velmorakit-model-bundle"
FORMAT_VERSION = 1
MANIFEST = "bundle.json"
MODEL_FILE = "model.pkl"
ENCODER_FILE = "encoder.pkl"


class BundleVersionWarning(UserWarning):
    """The bundle was made with another scikit-learn than the one loading it."""


def library_versions() -> dict[str, str]:
    return {
        "velmorakit": __version__,
        "scikit-learn": sklearn.__version__,
        "numpy": np.__version__,
        "scipy": scipy.__version__,
        "python": platform.python_version(),
    }


@dataclass
class Bundle:
    path: Path
    model_path: Path
    encoder_path: Path
    classes: list[str]
    rate_hz: float
    confidence_th: float
    gesture_prob_th: float
    num_sample: int
    versions: dict[str, str]
    details: dict = field(default_factory=dict)  # how the model was chosen, for people
    model: object = field(default=None, repr=False)
    encoder: object = field(default=None, repr=False)


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
        }
        (staging / MANIFEST).write_text(json.dumps(manifest, indent=2) + "\n")
        os.chmod(staging, 0o755 & ~_umask())
        _swap_into_place(staging, target)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return target


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


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


def load_bundle(path: str | Path) -> Bundle:
    """Read and check a bundle: its manifest, its two files' hashes, and that the classifier's
    classes and the encoder's categories agree with each other and with the manifest."""
    directory = Path(path)
    manifest_path = directory / MANIFEST
    try:
        manifest = json.loads(manifest_path.read_text())
    except FileNotFoundError:
        raise WorkbenchError(f"{directory}: not a model bundle (no {MANIFEST})") from None
    except (OSError, ValueError) as err:
        raise WorkbenchError(f"{manifest_path}: unreadable ({err})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise WorkbenchError(f"{manifest_path}: not a velmorakit model bundle manifest")
    if manifest.get("format_version") != FORMAT_VERSION:
        raise WorkbenchError(
            f"{manifest_path}: bundle format {manifest.get('format_version')}, "
            f"this velmorakit reads format {FORMAT_VERSION}"
        )
    try:
        model_path = directory / manifest["model"]
        encoder_path = directory / manifest["encoder"]
        for name, digest in manifest["sha256"].items():
            file = directory / name
            if file.is_file() and _sha256(file) != digest:
                raise WorkbenchError(
                    f"{file}: does not match its bundle (changed after the bundle was written)"
                )
        bundle = Bundle(
            directory,
            model_path,
            encoder_path,
            [str(c) for c in manifest["classes"]],
            float(manifest["rate_hz"]),
            float(manifest["confidence_th"]),
            float(manifest["gesture_prob_th"]),
            int(manifest["num_sample"]),
            dict(manifest["versions"]),
            dict(manifest.get("details", {})),
        )
    except (KeyError, TypeError, ValueError, AttributeError) as err:
        if isinstance(err, WorkbenchError):
            raise
        raise WorkbenchError(f"{manifest_path}: incomplete manifest ({err!r})") from None
    made_with = bundle.versions.get("scikit-learn")
    if made_with != sklearn.__version__:
        warnings.warn(
            f"{directory}: made with scikit-learn {made_with}, loaded with "
            f"{sklearn.__version__}; retrain it if results look wrong",
            BundleVersionWarning,
            stacklevel=2,
        )
    bundle.model, bundle.encoder = load_model_pair(model_path, encoder_path)
    classes = [str(c) for c in np.asarray(bundle.model.classes_).ravel()]
    if classes != bundle.classes:
        raise WorkbenchError(
            f"{directory}: the classifier's classes {classes} are not the bundle's {bundle.classes}"
        )
    return bundle
