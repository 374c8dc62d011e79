"""The compiled engine modules, imported on first use.

Importing them lazily keeps `velmorakit --help` fast and lets the command line say in one
line that the package was not built, instead of failing at import time.
"""

import importlib

from .errors import CommandError


def _load(module: str, name: str):
    try:
        return getattr(importlib.import_module(module, __package__), name)
    except ImportError as err:
        raise CommandError(
            f"velmorakit's native modules are not importable ({err}); run `pip install .`"
        ) from None


def extract_segments(samples, step: int = 1):
    return _load(".middleware.utilities.dataset_shaper", "extract_segments")(samples, step)


def shaper_class():
    return _load(".middleware.utilities.dataset_shaper", "DatasetShaper")


def computing_class():
    return _load(".middleware.utilities.velmora_computing", "VelmoraComputing")


def gesture_service_class():
    return _load(".middleware.velmora_gesture", "VelmoraGesture")
