"""Records that the gesture service takes in and hands out.

`GestureConfig` tells the worker where the trained classifier and its label encoder are stored,
how many samples to read per recognition cycle and which results to accept. `Gesture` is one
accepted result as the application receives it. Both pickle, so that they can cross process
boundaries with the worker and the result queue.
"""

import math
import os
from dataclasses import dataclass
from typing import NamedTuple


def _exact_str_path(name, value):
    """The engine opens only exact `str` paths: convert os.PathLike, reject everything else."""
    if type(value) is str:
        return value
    if isinstance(value, os.PathLike):
        path = os.fspath(value)
        if isinstance(path, str):
            return str(path)
    raise TypeError(
        f"{name} must be a str or an os.PathLike giving a str, not {type(value).__name__}"
    )


def _is_real(value):
    return isinstance(value, int | float) and not isinstance(value, bool)


@dataclass(frozen=True, slots=True)
class GestureConfig:
    """Configuration of one gesture service.

    model_path: pickled classifier with `predict_proba` and `classes_`.
    encoder_path: pickled label encoder with `inverse_transform`.
    num_sample: samples read and pushed per recognition cycle; at 50 Hz the default 10 runs
        five cycles a second. 0 reads nothing and re-runs the engine on the same window.
    confidence_th: least accepted confidence, inclusive. Confidence is how many whole times the
        best class probability contains the second best, so the default 2 asks the winner to be
        at least twice as likely as the runner-up.
    gesture_prob_th: least accepted probability of the winning class, inclusive.
    """

    model_path: str
    encoder_path: str
    num_sample: int = 10
    confidence_th: float = 2
    gesture_prob_th: float = 0.6

    def __post_init__(self):
        for name in ("model_path", "encoder_path"):
            object.__setattr__(self, name, _exact_str_path(name, getattr(self, name)))
        if not isinstance(self.num_sample, int) or isinstance(self.num_sample, bool):
            raise TypeError(f"num_sample must be an int, not {type(self.num_sample).__name__}")
        if self.num_sample < 0:
            raise ValueError(f"num_sample must not be negative, got {self.num_sample}")
        for name in ("confidence_th", "gesture_prob_th"):
            value = getattr(self, name)
            if not _is_real(value):
                raise TypeError(f"{name} must be an int or a float, not {type(value).__name__}")
            if math.isnan(value):
                raise ValueError(f"{name} must not be NaN: no result would ever pass it")


class Gesture(NamedTuple):
    """One recognised gesture: label, its probability, confidence and displacement.

    The displacement is along the axis that the direction word names (x for right and left, y for
    forward and backward, z for up and down), in the samples' acceleration unit times s²; it is 0
    for any other label.
    """

    name: str
    probability: float
    confidence: int
    displacement: float
