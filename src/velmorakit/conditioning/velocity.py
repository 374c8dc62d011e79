"""Velocity estimated from acceleration alone, causally, with zero-velocity updates at rest."""

import math
from collections import deque

import numpy as np

from ..errors import InputError
from .gravity import STANDARD_GRAVITY
from .rate import SAMPLE_RATE

# Rest detection, chosen by measurement (tools/compare_velocity_estimators.py, on simulated
# sensors and on real phone recordings; figures in the README). The spread of the
# acceleration over a window is the root of its variances summed over the three axes. A hand
# held still shows 0.15 to 0.5 m/s² of tremor and sensor noise, a stroke several m/s².
# The hand has stopped once, over the last STOP_WINDOW_S, the spread is below REST_STD_M_S2
# and the mean is within REST_STD_M_S2 of the acceleration at rest: that ends a stroke as
# soon as it is over. A hand that stops where gravity has turned (a tilted wrist) shows a
# new acceleration at rest: it is found at rest once the spread over REST_WINDOW_S has
# stayed below REST_STD_M_S2 for longer than REST_HOLD_S.
REST_STD_M_S2 = 0.5
REST_WINDOW_S = 0.2
STOP_WINDOW_S = 0.1
REST_HOLD_S = 0.1
# At rest the velocity decays to zero within REST_DECAY_S and the bias (gravity, however the
# hand is tilted, and the sensor's offset) follows the acceleration within REST_BIAS_S.
REST_DECAY_S = 0.05
REST_BIAS_S = 0.2
# In motion, where the acceleration at rest holds gravity (more than half of 1 g), the bias
# turns towards the acceleration within GRAVITY_TRACK_S and keeps the length it had at rest:
# a wrist that turns while it moves would otherwise feed the change of gravity into the
# velocity. Without gravity the bias is held.
GRAVITY_TRACK_S = 0.3
GRAVITY_PRESENT_M_S2 = STANDARD_GRAVITY / 2
# A hand that stops where its wrist has turned leaves the bias off by a little, so the speed
# stays up until the rest is found (REST_WINDOW_S and REST_HOLD_S later). It has stopped
# once the newest STOP_WINDOW_S are quiet, their mean has gravity's length within
# STOP_LENGTH_M_S2 and the speed has fallen below STOP_SHARE of its peak since the motion
# began (in the middle of a slow stroke the acceleration is quiet and of gravity's length
# too, but the speed is at its peak). A hand that turns the sensor without carrying it
# shows the same quiet acceleration of gravity's length, longer than a stroke does: once it
# has lasted TURN_QUIET_S the speed need not have fallen. Either way the velocity decays as
# at rest, and the bias waits for the rest to be found.
STOP_LENGTH_M_S2 = 0.6
STOP_SHARE = 0.7
TURN_QUIET_S = 0.2
# The estimate's version, which a model bundle records: 1 had no stops of a turned wrist.
ESTIMATE_VERSIONS = (1, 2)
ESTIMATE_VERSION = 2
# In motion the velocity leaks with this time constant, which bounds the drift should a
# rest never be seen; a stroke of under a second keeps most of its velocity.
LEAK_S = 2.0


class VelocityEstimator:
    """Causal velocity from acceleration with zero-velocity updates.

    A hand that makes gestures comes to rest between them, and at rest its velocity is zero:
    that is what keeps an integral of acceleration from drifting. Per sample: while the
    hand is at rest (see REST_* and STOP_*), the velocity decays to zero and the bias
    follows the acceleration; in motion, the bias follows only the direction of gravity
    (see GRAVITY_*) and the acceleration less the bias is integrated by the trapezoidal
    rule, with a slow leak, from the oldest sample of the window in which the motion was
    found; a hand found stopped with its wrist turned, or turning the sensor without carrying
    it, has its velocity decay as at rest (see STOP_SHARE; `version` 1 leaves this out, as
    models trained before it saw their velocity). The first sample is taken as the bias, so
    that a sensor that feels gravity starts at rest. A high-pass filter instead of rest
    detection would cut slow strokes to a fraction of their speed and turn each stroke into
    two lobes of opposite sign; the measurements are in the README.
    """

    def __init__(
        self,
        rate_hz: float = SAMPLE_RATE,
        rest_std: float = REST_STD_M_S2,
        hold_s: float = REST_HOLD_S,
        leak_s: float = LEAK_S,
        track_s: float = GRAVITY_TRACK_S,
        version: int = ESTIMATE_VERSION,
    ):
        if not (rate_hz > 0 and rest_std > 0 and hold_s >= 0 and leak_s > 0 and track_s > 0):
            raise InputError("the rate, rest threshold and time constants must be positive")
        if version not in ESTIMATE_VERSIONS:
            raise InputError(f"no velocity estimate of version {version!r}")
        self.version = version
        self.rate_hz = float(rate_hz)
        self.dt = 1.0 / self.rate_hz
        self.window_size = max(2, round(REST_WINDOW_S * self.rate_hz))
        self.stop_size = min(self.window_size, max(2, round(STOP_WINDOW_S * self.rate_hz)))
        self.hold = round(hold_s * self.rate_hz)
        self.turn_quiet = round(TURN_QUIET_S * self.rate_hz)
        self.rest_variance = rest_std * rest_std
        self.leak = math.exp(-self.dt / leak_s)
        self.rest_decay = math.exp(-self.dt / REST_DECAY_S)
        self.bias_gain = -math.expm1(-self.dt / REST_BIAS_S)
        self.track_gain = -math.expm1(-self.dt / track_s)
        self.reset()

    def reset(self) -> None:
        """Back to rest: the next sample is taken as the acceleration at rest."""
        self._window = deque(maxlen=self.window_size)
        self._quiet = 0
        self._quiet_rows = 0  # the newest rows of the window found quiet at the last rest
        self._resting = True
        self._bias = None
        self._gravity = 0.0  # the length of the bias at rest when it holds gravity, else 0
        self._velocity = [0.0, 0.0, 0.0]
        self._peak = 0.0  # the highest speed since the motion began
        self._level = 0  # samples in a row found quiet at gravity's length in motion
        self._previous = [0.0, 0.0, 0.0]  # the last integrated acceleration less the bias

    def at_rest(self) -> bool:
        """Whether the last sample was taken for rest."""
        return self._resting

    def step(self, ax: float, ay: float, az: float) -> tuple[float, float, float]:
        acc = (float(ax), float(ay), float(az))
        if self._bias is None:
            self._bias = list(acc)
        window = self._window
        window.append(acc)
        variance, stop_variance, stop_mean = _spreads(window, self.stop_size)
        self._quiet = self._quiet + 1 if variance < self.rest_variance else 0
        settled = len(window) < self.window_size or self._quiet > self.hold
        stop_quiet = stop_variance < self.rest_variance
        stopped = stop_quiet and _squared_distance(stop_mean, self._bias) < self.rest_variance
        if settled or stopped:
            # The rows the test found quiet: all of the window once settled, the newest
            # ones when the hand has just stopped (the older ones may hold the stroke's end).
            self._quiet_rows = len(window) if settled else self.stop_size
            # The bias follows the oldest of them: the newer ones may already hold the start
            # of a stroke that is not yet loud enough to end the rest.
            oldest = window[-self._quiet_rows]
            for i in range(3):
                self._bias[i] += self.bias_gain * (oldest[i] - self._bias[i])
                self._velocity[i] *= self.rest_decay
                self._previous[i] = 0.0
            length = math.sqrt(sum(b * b for b in self._bias))
            self._gravity = length if length > GRAVITY_PRESENT_M_S2 else 0.0
            self._resting = True
            self._peak, self._level = 0.0, 0
        elif self._resting:
            # Motion has begun after the rows last found quiet: integrate all of them, so
            # that the start of the stroke counts too.
            self._resting = False
            for row in list(window)[-self._quiet_rows :]:
                self._integrate(row)
        else:
            self._integrate(acc)
            if self.version > 1:
                speed = math.sqrt(sum(v * v for v in self._velocity))
                self._peak = max(self._peak, speed)
                if self._stopped_turned(stop_quiet, stop_mean, speed):
                    for i in range(3):
                        self._velocity[i] *= self.rest_decay
        return (self._velocity[0], self._velocity[1], self._velocity[2])

    def _stopped_turned(self, quiet: bool, mean: list[float], speed: float) -> bool:
        """Whether a hand moving at `speed`, whose newest rows are `quiet` with mean `mean`,
        has stopped or is only turning the sensor (see STOP_LENGTH_M_S2)."""
        length = math.sqrt(sum(m * m for m in mean))
        level = quiet and self._gravity > 0 and abs(length - self._gravity) < STOP_LENGTH_M_S2
        self._level = self._level + 1 if level else 0
        return level and (speed < STOP_SHARE * self._peak or self._level > self.turn_quiet)

    def _integrate(self, acc: tuple[float, float, float]) -> None:
        bias = self._bias
        if self._gravity:
            for i in range(3):
                bias[i] += self.track_gain * (acc[i] - bias[i])
            scale = self._gravity / math.sqrt(sum(b * b for b in bias))
            for i in range(3):
                bias[i] *= scale
        for i in range(3):
            free = acc[i] - bias[i]
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


def _spreads(window: deque, size: int) -> tuple[float, float, list[float]]:
    """The variance of the rows of `window` (population, summed over the axes), that of its
    newest `size` rows, and their mean."""
    variance = stop_variance = 0.0
    stop_mean = []
    n = len(window)
    k = min(size, n)
    for column in zip(*window, strict=True):
        mean = sum(column) / n
        variance += sum([(x - mean) * (x - mean) for x in column]) / n
        newest = column[n - k :]
        mean = sum(newest) / k
        stop_variance += sum([(x - mean) * (x - mean) for x in newest]) / k
        stop_mean.append(mean)
    return variance, stop_variance, stop_mean


def _squared_distance(a: list[float], b: list[float]) -> float:
    return sum((x - y) * (x - y) for x, y in zip(a, b, strict=True))
