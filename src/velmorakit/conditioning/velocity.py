"""Velocity estimated from acceleration alone, causally, with zero-velocity updates at rest."""

import math
from collections import deque

import numpy as np

from ..errors import InputError
from .rate import SAMPLE_RATE

# Rest detection, chosen by measurement (tools/compare_velocity_estimators.py, on simulated
# sensors and on real phone recordings; figures in the README): the hand is at rest once
# the spread of the acceleration over REST_WINDOW_S (the root of its variances summed over
# the three axes) has stayed below REST_STD_M_S2 for longer than REST_HOLD_S. A hand held
# still shows 0.15 to 0.5 m/s² of tremor and sensor noise, a stroke several m/s². A lower
# threshold or a longer hold keeps more of slow strokes, whose acceleration passes quietly
# through zero in their middle, but leaves the velocity of a real hand drifting where it
# never holds still enough.
REST_STD_M_S2 = 0.5
REST_WINDOW_S = 0.2
REST_HOLD_S = 0.2
# At rest the velocity decays to zero within REST_DECAY_S and the bias (gravity, however the
# hand is tilted, and the sensor's offset) follows the acceleration within REST_BIAS_S.
REST_DECAY_S = 0.1
REST_BIAS_S = 0.2
# In motion the velocity leaks with this time constant, which bounds the drift should a
# rest never be seen; a stroke of under a second keeps most of its velocity.
LEAK_S = 2.0


class VelocityEstimator:
    """Causal velocity from acceleration with zero-velocity updates.

    A hand that makes gestures comes to rest between them, and at rest its velocity is zero:
    that is what keeps an integral of acceleration from drifting. Per sample: while the
    hand is at rest (see REST_*), the velocity decays to zero and the bias follows the
    acceleration; in motion, the bias is held and the acceleration less the bias is
    integrated by the trapezoidal rule, with a slow leak, from the oldest sample of the
    window in which the motion was found. The first sample is taken as the bias, so that a
    sensor that feels gravity starts at rest. A high-pass filter instead of rest detection
    would cut slow strokes to a fraction of their speed and turn each stroke into two lobes
    of opposite sign; the measurements are in the README.
    """

    def __init__(
        self,
        rate_hz: float = SAMPLE_RATE,
        rest_std: float = REST_STD_M_S2,
        hold_s: float = REST_HOLD_S,
        leak_s: float = LEAK_S,
    ):
        if not rate_hz > 0 or not rest_std > 0 or not hold_s >= 0 or not leak_s > 0:
            raise InputError("the rate, rest threshold and time constants must be positive")
        self.rate_hz = float(rate_hz)
        self.dt = 1.0 / self.rate_hz
        self.window_size = max(2, round(REST_WINDOW_S * self.rate_hz))
        self.hold = round(hold_s * self.rate_hz)
        self.rest_variance = rest_std * rest_std
        self.leak = math.exp(-self.dt / leak_s)
        self.rest_decay = math.exp(-self.dt / REST_DECAY_S)
        self.bias_gain = -math.expm1(-self.dt / REST_BIAS_S)
        self.reset()

    def reset(self) -> None:
        """Back to rest: the next sample is taken as the acceleration at rest."""
        self._window = deque(maxlen=self.window_size)
        self._quiet = 0
        self._resting = True
        self._bias = None
        self._velocity = [0.0, 0.0, 0.0]
        self._previous = [0.0, 0.0, 0.0]  # the last integrated acceleration less the bias

    def at_rest(self) -> bool:
        """Whether the last sample was taken for rest."""
        return len(self._window) < self.window_size or self._quiet > self.hold

    def step(self, ax: float, ay: float, az: float) -> tuple[float, float, float]:
        acc = (float(ax), float(ay), float(az))
        if self._bias is None:
            self._bias = list(acc)
        self._window.append(acc)
        n = len(self._window)
        variance = 0.0
        for axis in range(3):
            mean = sum(row[axis] for row in self._window) / n
            variance += sum((row[axis] - mean) ** 2 for row in self._window) / n
        self._quiet = self._quiet + 1 if variance < self.rest_variance else 0
        if self.at_rest():
            # The bias follows the window's oldest sample: the newer ones may already hold
            # the start of a stroke that is not yet loud enough to end the rest.
            oldest = self._window[0]
            for i in range(3):
                self._bias[i] += self.bias_gain * (oldest[i] - self._bias[i])
                self._velocity[i] *= self.rest_decay
                self._previous[i] = 0.0
            self._resting = True
        elif self._resting:
            # Motion has begun within the window: integrate all of it, so that the start
            # of the stroke counts too.
            self._resting = False
            for row in self._window:
                self._integrate(row)
        else:
            self._integrate(acc)
        return (self._velocity[0], self._velocity[1], self._velocity[2])

    def _integrate(self, acc: tuple[float, float, float]) -> None:
        for i in range(3):
            free = acc[i] - self._bias[i]
            self._velocity[i] = self.leak * self._velocity[i] + 0.5 * self.dt * (
                free + self._previous[i]
            )
            self._previous[i] = free

    def run(self, acc: np.ndarray) -> np.ndarray:
        """`step` over every row of an n x 3 array, continuing from the current state."""
        acc = np.asarray(acc, dtype=float).reshape(-1, 3)
        out = np.empty_like(acc)
        for n, (ax, ay, az) in enumerate(acc.tolist()):
            out[n] = self.step(ax, ay, az)
        return out
