"""Model layer: the gesture model configuration, the recognised-gesture record, model bundles
read for use (`gesture_config("data/model")` is a checked bundle's configuration), and the label
encoder of models that recognise motion which is no gesture."""

from .bundle import Bundle, BundleVersionWarning, gesture_config, load_bundle
from .gesture import Gesture, GestureConfig
from .rejection import NO_GESTURE, RejectingEncoder

__all__ = [
    "NO_GESTURE",
    "Bundle",
    "BundleVersionWarning",
    "Gesture",
    "GestureConfig",
    "RejectingEncoder",
    "gesture_config",
    "load_bundle",
]
