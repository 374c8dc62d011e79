"""velmorakit: real-time motion-gesture recognition middleware.

The gesture service, its model records and the computing engine are loaded on
first use, so that importing the package stays cheap.
"""

from ._lazy import lazy_exports

__version__ = "0.1.0"

_EXPORTS = {
    "VelmoraGesture": ".middleware.velmora_gesture",
    "GestureConfig": ".models.gesture",
    "Gesture": ".models.gesture",
    "VelmoraComputing": ".middleware.utilities.velmora_computing",
    "DatasetShaper": ".middleware.utilities.dataset_shaper",
}

__all__ = [*_EXPORTS, "__version__"]
__getattr__, __dir__ = lazy_exports(__name__, _EXPORTS)
