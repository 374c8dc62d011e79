"""Time-stamped samples placed on an exact grid by streaming linear interpolation."""

from typing import NamedTuple

from ..errors import InputError
from .rate import SAMPLE_RATE


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

    def __init__(self, rate_hz: float = SAMPLE_RATE, gap_s: float = 0.2):
        if not rate_hz > 0 or not gap_s > 0:
            raise InputError("rate and gap limit must be positive")
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
