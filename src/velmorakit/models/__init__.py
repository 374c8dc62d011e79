"""Model layer: the gesture model configuration, the recognised-gesture record, and the label
encoder of models that recognise motion which is no gesture."""

from .gesture import Gesture, GestureConfig
from .rejection import NO_GESTURE, RejectingEncoder

__all__ = ["NO_GESTURE", "Gesture", "GestureConfig", "RejectingEncoder"]
