"""Model layer: the gesture model configuration, the recognised-gesture record, and model
bundles read for use (`gesture_config("data/model")` is a checked bundle's configuration)."""

from .bundle import Bundle, BundleVersionWarning, gesture_config, load_bundle
from .gesture import Gesture, GestureConfig

__all__ = [
    "Bundle",
    "BundleVersionWarning",
    "Gesture",
    "GestureConfig",
    "gesture_config",
    "load_bundle",
]
