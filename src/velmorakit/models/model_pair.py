"""A classifier and its label encoder, read once, checked, and handed to the engine.

The engine asks the classifier for `predict_proba` of one 300-value vector and hands the
encoder a one-hot row of the winning column, so column k of the classifier and category k
of the encoder must name the same gesture: `check_model_pair` makes sure they do.

Each file is read once: those bytes are unpickled here and, for the engine, written into a
private directory (`private_copies`), so the worker runs exactly the pair that was checked.
Unpickling runs code from the files: load only models from a trusted source.
"""

import os
import pickle
import stat
from dataclasses import dataclass, field
from pathlib import Path

from ..errors import InputError
from .gesture import GestureConfig
from .private_copies import remove_copies, write_copies
from .rejection import decoded_name

FEATURES = 300  # values in the engine's segment vector: 50 resampled rows of 6
MODEL_FILE = "model.pkl"
ENCODER_FILE = "encoder.pkl"


def check_model_pair(model, encoder) -> list[str]:
    """The class labels if the pair is usable by the engine, else an InputError."""
    import numpy as np

    needs = ((model, "predict_proba"), (model, "classes_"), (encoder, "inverse_transform"))
    for obj, attr in needs:
        if not hasattr(obj, attr):
            raise InputError(f"{type(obj).__name__} has no {attr}: not a usable model/encoder")
    n_features = getattr(model, "n_features_in_", FEATURES)
    if n_features != FEATURES:
        raise InputError(f"the model expects {n_features} features, the engine gives {FEATURES}")
    classes = [str(c) for c in np.asarray(model.classes_).ravel()]
    categories = getattr(encoder, "categories_", None)
    if categories is not None:
        # A one-hot encoder: its categories are compared first, because decoding a row of
        # another width fails inside scikit-learn with a message about shapes.
        names = [str(c) for c in np.asarray(categories[0]).ravel()] if len(categories) else []
        if names != classes:
            raise InputError(
                f"encoder categories {names} do not match the classifier's classes {classes}"
            )
    try:
        decoded = [
            decoded_name(encoder.inverse_transform(np.eye(len(classes))[[k]])[0][0])
            for k in range(len(classes))
        ]
    except (ValueError, IndexError, TypeError) as err:
        raise InputError(
            f"the encoder cannot decode the classifier's {len(classes)} classes ({err})"
        ) from None
    if decoded != classes:
        raise InputError(
            f"encoder categories {decoded} do not match the classifier's classes {classes}"
        )
    return classes


@dataclass(eq=False)
class ModelPair:
    """An unpickled classifier and encoder, and the bytes they were unpickled from.

    `gesture_config` writes those bytes into a private directory on first use; `close` (or
    leaving a `with` block) removes it, and so does the end of the process."""

    model: object = field(repr=False)
    encoder: object = field(repr=False)
    classes: list[str]
    model_bytes: bytes = field(repr=False)
    encoder_bytes: bytes = field(repr=False)
    _copies: Path | None = field(default=None, init=False, repr=False)

    def gesture_config(self, **settings) -> GestureConfig:
        """A `GestureConfig` for this pair's private copies; `settings` are its other fields
        (num_sample, confidence_th, gesture_prob_th)."""
        if self._copies is None:
            self._copies = write_copies(
                {MODEL_FILE: self.model_bytes, ENCODER_FILE: self.encoder_bytes}
            )
        return GestureConfig(
            str(self._copies / MODEL_FILE), str(self._copies / ENCODER_FILE), **settings
        )

    def close(self) -> None:
        if self._copies is not None:
            remove_copies(self._copies)
            self._copies = None

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def read_file(path: Path, follow_links: bool = True) -> bytes:
    """The bytes of the regular file at `path`; a device, pipe or directory is an InputError
    rather than a read that never ends."""
    # Opened without blocking, so that a named pipe is refused rather than waited on.
    nonblocking = getattr(os, "O_NONBLOCK", 0)
    flags = os.O_RDONLY | nonblocking
    flags |= 0 if follow_links else getattr(os, "O_NOFOLLOW", 0)
    try:
        handle = os.open(path, flags)
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except OSError as err:
        if not follow_links and os.path.islink(path):
            raise InputError(f"{path}: a symbolic link, not a file of its own") from None
        raise InputError(f"{path}: cannot be read ({err.strerror})") from None
    with os.fdopen(handle, "rb") as file:
        if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
            raise InputError(f"{path}: not a regular file")
        if nonblocking:
            os.set_blocking(file.fileno(), True)
        return file.read()


def unpickle(data: bytes, path: str | Path):
    try:
        return pickle.loads(data)
    except (pickle.UnpicklingError, EOFError, AttributeError, ImportError) as err:
        raise InputError(f"{path}: not a pickled model ({err})") from None


def load_model_pair(model_path: str | Path, encoder_path: str | Path) -> ModelPair:
    """A pickled classifier and encoder, each file read once, unpickled and checked."""
    loaded = []
    for path in (model_path, encoder_path):
        data = read_file(Path(path))
        loaded.append((unpickle(data, path), data))
    (model, model_bytes), (encoder, encoder_bytes) = loaded
    return ModelPair(model, encoder, check_model_pair(model, encoder), model_bytes, encoder_bytes)
