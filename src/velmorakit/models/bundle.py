"""A model bundle read for use: one directory holding everything a trained model needs.

Layout of a bundle directory (written by `velmorakit train`):

    model.pkl     the pickled classifier
    encoder.pkl   the pickled label encoder
    bundle.json   format and version, the two file names with their SHA-256, the class
                  list, the sample rate, the batch size the model was shaped for, the
                  recommended `confidence_th` and `gesture_prob_th`, the library versions
                  the model was made with, a summary of how it was chosen and, from
                  bundles written since it exists, `velocity_estimate`: the version of
                  the velocity estimate the model was trained with (without it, 1: the
                  estimate of the models trained before)

Keys of bundle.json that this reader does not know are ignored, so a later writer can add
to it without a new format version.

Reading checks everything before any code from the bundle runs: the manifest's values lie in
range, its two file names are plain names inside the bundle, and each file, read once, has
the SHA-256 the manifest gives (a missing hash is an error). The bytes that were hashed are
the bytes unpickled, and the bytes the worker is given (see `ModelPair.gesture_config`).

A bundle is not a trust boundary: unpickling runs code from the files, and whoever can write
the files can write the manifest. The hashes catch accidents (a damaged or half-copied file,
a classifier beside another training's encoder), not attackers. Load only bundles from a
trusted source.
"""

import hashlib
import json
import math
import numbers
import os
import reprlib
import warnings
from dataclasses import dataclass, field
from pathlib import Path

from ..conditioning.velocity import ESTIMATE_VERSIONS, VelocityEstimator
from ..errors import InputError
from .gesture import GestureConfig
from .model_pair import ModelPair, check_model_pair, read_file, unpickle

FORMAT = "velmorakit-model-bundle"
FORMAT_VERSION = 1
MANIFEST = "bundle.json"


class BundleVersionWarning(UserWarning):
    """The bundle was made with another scikit-learn than the one loading it."""


@dataclass(eq=False)
class Bundle:
    """A checked bundle. `model_path` and `encoder_path` are its files; the `GestureConfig`
    from `gesture_config` names private copies of the bytes that were checked. `close` (or
    leaving a `with` block) removes those copies, and so does the end of the process."""

    path: Path
    model_path: Path
    encoder_path: Path
    classes: list[str]
    rate_hz: float
    confidence_th: float
    gesture_prob_th: float
    num_sample: int
    versions: dict[str, str]
    details: dict  # how the model was chosen, for people
    pair: ModelPair = field(repr=False)
    velocity_estimate: int = 1  # the version of the estimate the model learnt from

    @property
    def model(self):
        return self.pair.model

    @property
    def encoder(self):
        return self.pair.encoder

    def gesture_config(
        self,
        *,
        num_sample: int | None = None,
        confidence_th: float | None = None,
        gesture_prob_th: float | None = None,
    ) -> GestureConfig:
        """The service's configuration: the bundle's batch size and recommended thresholds,
        except where given."""
        given = {
            "num_sample": num_sample,
            "confidence_th": confidence_th,
            "gesture_prob_th": gesture_prob_th,
        }
        chosen = {name: getattr(self, name) if v is None else v for name, v in given.items()}
        return self.pair.gesture_config(**chosen)

    def velocity_estimator(self) -> VelocityEstimator:
        """A velocity estimator for samples without velocity, as the model's training
        recordings were imported with: give it to `Conditioner(estimator=...)`."""
        return VelocityEstimator(self.rate_hz, version=self.velocity_estimate)

    def close(self) -> None:
        self.pair.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def check_settings(*, rate_hz, num_sample, confidence_th, gesture_prob_th) -> None:
    """InputError unless the values are ones the service can run a model with."""
    from ..conditioning.rate import SAMPLE_RATE

    if not _real(rate_hz) or rate_hz != SAMPLE_RATE:
        raise InputError(f"rate_hz is {_shown(rate_hz)}; the engine runs at {SAMPLE_RATE} Hz")
    whole = isinstance(num_sample, numbers.Integral) and not isinstance(num_sample, bool)
    if not whole or num_sample < 1:
        raise InputError(f"num_sample must be a whole number, 1 or more, not {_shown(num_sample)}")
    if not (_real(confidence_th) and math.isfinite(confidence_th) and confidence_th >= 0):
        raise InputError(f"confidence_th must be a number, 0 or more, not {_shown(confidence_th)}")
    if not (_real(gesture_prob_th) and 0 <= gesture_prob_th <= 1):
        raise InputError(
            f"gesture_prob_th must be a number from 0 to 1, not {_shown(gesture_prob_th)}"
        )


def load_bundle(path: str | Path) -> Bundle:
    """Read and check a bundle: its manifest, its two files' hashes, and that the classifier's
    classes and the encoder's categories agree with each other and with the manifest."""
    directory = Path(path)
    manifest_path = directory / MANIFEST
    if not os.path.lexists(manifest_path):
        raise InputError(f"{directory}: not a model bundle (no {MANIFEST})")
    manifest = _manifest(manifest_path)
    where = str(manifest_path)
    settings = {name: _entry(manifest, name, where) for name in _SETTINGS}
    try:
        check_settings(**settings)
    except InputError as err:
        raise InputError(f"{where}: {err}") from None
    classes = [str(c) for c in _entry(manifest, "classes", where, list)]
    versions = _entry(manifest, "versions", where, dict)
    details = manifest.get("details", {})
    estimate = manifest.get("velocity_estimate", 1)
    if isinstance(estimate, bool) or estimate not in ESTIMATE_VERSIONS:
        raise InputError(f"{where}: no velocity estimate of version {_shown(estimate)}")
    digests = _entry(manifest, "sha256", where, dict)
    model_path, model_bytes = _member(directory, manifest, "model", digests)
    encoder_path, encoder_bytes = _member(directory, manifest, "encoder", digests)
    _warn_of_another_scikit_learn(directory, versions.get("scikit-learn"))
    model, encoder = unpickle(model_bytes, model_path), unpickle(encoder_bytes, encoder_path)
    found = check_model_pair(model, encoder)
    if found != classes:
        raise InputError(
            f"{directory}: the classifier's classes {found} are not the bundle's {classes}"
        )
    return Bundle(
        directory,
        model_path,
        encoder_path,
        found,
        float(manifest["rate_hz"]),
        float(manifest["confidence_th"]),
        float(manifest["gesture_prob_th"]),
        int(manifest["num_sample"]),
        versions,
        details if isinstance(details, dict) else {},
        ModelPair(model, encoder, found, model_bytes, encoder_bytes),
        int(estimate),
    )


def gesture_config(
    path: str | Path,
    *,
    num_sample: int | None = None,
    confidence_th: float | None = None,
    gesture_prob_th: float | None = None,
) -> GestureConfig:
    """The `GestureConfig` of the bundle at `path`, checked as `load_bundle` does: its batch size
    and recommended thresholds except where given. The worker opens private copies of the
    checked files, removed when this process exits (`load_bundle(path)` used in a `with` block
    removes them earlier)."""
    return load_bundle(path).gesture_config(
        num_sample=num_sample, confidence_th=confidence_th, gesture_prob_th=gesture_prob_th
    )


_SETTINGS = ("rate_hz", "num_sample", "confidence_th", "gesture_prob_th")


def _manifest(path: Path) -> dict:
    try:
        manifest = json.loads(read_file(path, follow_links=False))
    except InputError:
        raise
    except (ValueError, RecursionError) as err:
        raise InputError(f"{path}: unreadable ({err})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise InputError(f"{path}: not a velmorakit model bundle manifest")
    if manifest.get("format_version") != FORMAT_VERSION:
        raise InputError(
            f"{path}: bundle format {_shown(manifest.get('format_version'))}, "
            f"this velmorakit reads format {FORMAT_VERSION}"
        )
    return manifest


def _entry(manifest: dict, key: str, where: str, kind: type | None = None):
    if key not in manifest:
        raise InputError(f"{where}: incomplete manifest (no {key!r})")
    value = manifest[key]
    if kind is not None and not isinstance(value, kind):
        raise InputError(f"{where}: {key} must be a {kind.__name__}, not {_shown(value)}")
    return value


def _member(directory: Path, manifest: dict, role: str, digests: dict) -> tuple[Path, bytes]:
    """The path and bytes of the bundle's `role` file: a plain name inside the bundle, read
    once, with the SHA-256 the manifest gives."""
    where = directory / MANIFEST
    name = _entry(manifest, role, str(where), str)
    if name in ("", ".", "..") or any(c in name for c in (os.sep, os.altsep or os.sep, "\0")):
        raise InputError(f"{where}: {role} {name!r} is not a plain file name in the bundle")
    digest = digests.get(name)
    if not isinstance(digest, str):
        raise InputError(f"{where}: no SHA-256 of {name}; a bundle's files are always checked")
    path = directory / name
    data = read_file(path, follow_links=False)
    if hashlib.sha256(data).hexdigest() != digest:
        raise InputError(f"{path}: does not match its bundle (changed after it was written)")
    return path, data


def _warn_of_another_scikit_learn(directory: Path, made_with) -> None:
    import sklearn

    if made_with != sklearn.__version__:
        warnings.warn(
            f"{directory}: made with scikit-learn {made_with}, loaded with "
            f"{sklearn.__version__}; retrain it if results look wrong",
            BundleVersionWarning,
            stacklevel=3,
        )


def _real(value) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _shown(value) -> str:
    return reprlib.repr(value)
