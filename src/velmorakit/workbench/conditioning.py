"""Sensor samples made into the engine's 50 Hz rows: column mapping, units, resampling, velocity.

The same code conditions a whole file (`velmorakit import`) and a live source sample by
sample, so that a model learns from exactly the rows it will be shown live. Each stage is
causal and streaming: `Conditioner.push` takes one sensor sample and returns the rows that
sample completes.
"""

import math
from collections import deque
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

from .errors import WorkbenchError

STANDARD_GRAVITY = 9.80665  # m/s² per g
ENGINE_RATE_HZ = 50.0

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
        rate_hz: float = ENGINE_RATE_HZ,
        rest_std: float = REST_STD_M_S2,
        hold_s: float = REST_HOLD_S,
        leak_s: float = LEAK_S,
    ):
        if not rate_hz > 0 or not rest_std > 0 or not hold_s >= 0 or not leak_s > 0:
            raise WorkbenchError("the rate, rest threshold and time constants must be positive")
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


class Row(NamedTuple):
    """One row on the output grid: its time (s), values and the tag of the nearer input."""

    t: float
    values: tuple[float, ...]
    tag: object = None


# Grid and sample times this close are the same instant: 0.1 + 1/50 must meet a sample at 0.12.
TIME_EPSILON_S = 1e-9


class Resampler:
    """Streaming linear interpolation of time-stamped samples onto an exact grid.

    Grid times are start + k / rate, computed from k rather than summed, so they never drift.
    A time stamp that repeats or goes back is dropped (`dropped`); a step forward longer than
    `gap_s`, or back by more than `gap_s` (a clock that restarts), starts a new grid at that
    sample (`gaps`) instead of bridging the hole with invented rows.
    """

    def __init__(self, rate_hz: float = ENGINE_RATE_HZ, gap_s: float = 0.2):
        if not rate_hz > 0 or not gap_s > 0:
            raise WorkbenchError("rate and gap limit must be positive")
        self.rate_hz = float(rate_hz)
        self.gap_s = float(gap_s)
        self.read = self.emitted = self.dropped = self.gaps = 0
        self._previous = None  # (t, values, tag) of the last accepted sample
        self._start = 0.0
        self._next = 0  # index of the next grid point

    def restart(self) -> None:
        """Start a new grid at the next sample (a new take, a new session)."""
        self._previous = None

    def push(self, t: float, values, tag=None) -> list[Row]:
        self.read += 1
        t = float(t)
        values = tuple(map(float, values))
        previous = self._previous
        if previous is not None and not previous[0] < t:
            if previous[0] - t <= self.gap_s:
                self.dropped += 1
                return []
            previous = None
            self.gaps += 1
        elif previous is not None and t - previous[0] > self.gap_s:
            previous = None
            self.gaps += 1
        self._previous = (t, values, tag)
        if previous is None:
            self._start, self._next = t, 1
            self.emitted += 1
            return [Row(t, values, tag)]
        t0, v0, tag0 = previous
        rows = []
        while (grid := self._start + self._next / self.rate_hz) <= t + TIME_EPSILON_S:
            if grid >= t:
                row = Row(grid, values, tag)
            else:
                w = (grid - t0) / (t - t0)
                mixed = tuple(a + w * (b - a) for a, b in zip(v0, values, strict=True))
                row = Row(grid, mixed, tag if w >= 0.5 else tag0)
            rows.append(row)
            self._next += 1
        self.emitted += len(rows)
        return rows


ROLES = ("t", "ax", "ay", "az", "vx", "vy", "vz", "label", "group")
ACC_ROLES = ("ax", "ay", "az")
VEL_ROLES = ("vx", "vy", "vz")


@dataclass
class ColumnMap:
    """Which input column plays which role: time, acceleration, velocity, label, group.

    A group column (e.g. a take number) starts a new grid and a new velocity estimate
    wherever its value changes.
    """

    names: dict[str, str] = field(default_factory=dict)

    @classmethod
    def parse(cls, text: str) -> "ColumnMap":
        """'t=timestamp,ax=acc_x,ay=acc_y,az=acc_z[,vx=..,vy=..,vz=..][,label=..][,group=..]'"""
        names = {}
        for item in filter(None, (part.strip() for part in text.split(","))):
            role, sep, column = (s.strip() for s in item.partition("="))
            role = role.lower()
            if not sep or not column:
                raise WorkbenchError(f"column mapping {item!r} is not ROLE=COLUMN")
            if role not in ROLES:
                known = ", ".join(ROLES)
                raise WorkbenchError(f"unknown role {role!r} in {item!r} (roles: {known})")
            if role in names:
                raise WorkbenchError(f"role {role!r} is given twice")
            names[role] = column
        mapping = cls(names)
        mapping.check()
        return mapping

    @classmethod
    def default(cls, header: list[str]) -> "ColumnMap":
        """The roles found by their own names in a header: t (or time, timestamp), ax, ..."""
        lowered = [h.strip().lower() for h in header]
        names = {role: role for role in ROLES if role in lowered and role != "t"}
        for alias in ("t", "time", "timestamp", "t_s", "t_ms", "time_ms"):
            if alias in lowered:
                names["t"] = alias
                break
        mapping = cls(names)
        mapping.check()
        return mapping

    def check(self) -> None:
        missing = [r for r in ACC_ROLES if r not in self.names]
        velocity = [r for r in VEL_ROLES if r in self.names]
        if missing:
            raise WorkbenchError(f"the columns of {', '.join(missing)} are not given")
        if velocity and len(velocity) != 3:
            raise WorkbenchError("give all three velocity columns (vx, vy, vz) or none")

    @property
    def has_velocity(self) -> bool:
        return "vx" in self.names

    @property
    def has_time(self) -> bool:
        return "t" in self.names

    def locate(self, header: list[str]) -> dict[str, int]:
        """Each role's column index in `header`, matched case-insensitively."""
        lowered = [h.strip().lower() for h in header]
        found, missing = {}, []
        for role, name in self.names.items():
            if name.strip().lower() in lowered:
                found[role] = lowered.index(name.strip().lower())
            else:
                missing.append(name)
        if missing:
            raise WorkbenchError(
                f"column(s) {', '.join(missing)} not in the header ({', '.join(header)})"
            )
        return found


TIME_SCALES = {"s": 1.0, "ms": 1e-3}
UNIT_SCALES = {"m/s2": 1.0, "g": STANDARD_GRAVITY}


class Conditioner:
    """Sensor samples in, engine rows out: [ax, ay, az, vx, vy, vz] in m/s² and m/s at 50 Hz.

    Per sample: acceleration scaled to m/s² (`units`), the sample placed on the 50 Hz grid by
    linear interpolation over its time stamp (`time_unit` s or ms), and, without velocity
    columns, the velocity estimated from the resampled acceleration. Without time stamps
    give `input_rate_hz`; the samples are then taken as evenly spaced. A sample that is
    malformed or not finite is dropped and counted (`malformed`): interpolating towards it
    or integrating it would spoil the rows around it and, for the velocity, all rows after it.
    """

    def __init__(
        self,
        has_velocity: bool = False,
        units: str = "m/s2",
        time_unit: str | None = "s",
        input_rate_hz: float | None = None,
        gap_s: float = 0.2,
        estimator: VelocityEstimator | None = None,
    ):
        if units not in UNIT_SCALES:
            raise WorkbenchError(f"unknown units {units!r} (use {' or '.join(UNIT_SCALES)})")
        if time_unit is not None and time_unit not in TIME_SCALES:
            raise WorkbenchError(f"unknown time unit {time_unit!r} (use s or ms)")
        if time_unit is None and not (input_rate_hz and input_rate_hz > 0):
            raise WorkbenchError("samples without time stamps need their rate")
        self.has_velocity = has_velocity
        self.acc_scale = UNIT_SCALES[units]
        self.time_scale = TIME_SCALES[time_unit] if time_unit else None
        self.input_rate_hz = input_rate_hz
        self.resampler = Resampler(ENGINE_RATE_HZ, gap_s)
        self.estimator = None if has_velocity else (estimator or VelocityEstimator())
        self.read = self.malformed = 0

    def restart(self) -> None:
        """A new take: a new grid and a velocity estimate from rest."""
        self.resampler.restart()
        if self.estimator is not None:
            self.estimator.reset()

    def push(self, t, acc, vel=None, tag=None) -> list[Row]:
        """One sensor sample; the finished engine rows (6 values each), possibly none."""
        self.read += 1
        try:
            values = [float(a) * self.acc_scale for a in acc]
            if self.has_velocity:
                values += [float(v) for v in vel]
            if len(values) != (6 if self.has_velocity else 3):
                raise ValueError("wrong number of values")
            if self.time_scale is None:
                seconds = (self.read - 1) / self.input_rate_hz
            else:
                seconds = float(t) * self.time_scale
        except (TypeError, ValueError):
            self.malformed += 1
            return []
        if not all(map(math.isfinite, values)) or not math.isfinite(seconds):
            self.malformed += 1
            return []
        gaps = self.resampler.gaps
        rows = self.resampler.push(seconds, values, tag)
        if self.resampler.gaps != gaps and self.estimator is not None:
            self.estimator.reset()
        if self.estimator is None:
            return rows
        return [Row(r.t, r.values + self.estimator.step(*r.values), r.tag) for r in rows]

    @property
    def counts(self) -> dict[str, int]:
        return {
            "read": self.read,
            "malformed": self.malformed,
            "out_of_order": self.resampler.dropped,
            "gaps": self.resampler.gaps,
            "emitted": self.resampler.emitted,
        }
