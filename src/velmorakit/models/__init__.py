"""Model layer: the gesture model configuration and the recognised-gesture record."""

from .gesture import Gesture, GestureConfig

__all__ = ["Gesture", "GestureConfig"]
