"""velmorakit: real-time motion-gesture recognition middleware.

The gesture service, its model records and the computing engine are loaded on
first use, so that importing the package stays cheap.
"""

__version__ = "0.1.0"

_LAZY = {
    "VelmoraGesture": "velmorakit.middleware.velmora_gesture",
    "GestureConfig": "velmorakit.models.gesture",
    "Gesture": "velmorakit.models.gesture",
    "VelmoraComputing": "velmorakit.middleware.utilities.velmora_computing",
    "DatasetShaper": "velmorakit.middleware.utilities.dataset_shaper",
}

__all__ = [*_LAZY, "__version__"]


def __getattr__(name: str):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'velmorakit' has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(module), name)
