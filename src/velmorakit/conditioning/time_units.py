"""The unit of a sensor's time stamps: given, named by the time column, or told by the rate.

Seconds read as milliseconds, or the other way round, make a stream a thousand times too slow
or too fast: every sample a gap, or hundreds of samples in one row. The rate the stamps imply
tells the two apart, because no sensor samples at both: seconds are plausible for stamps 0.5
ms to 0.2 s apart, milliseconds for stamps 0.5 to 200 apart.
"""

import re

from ..errors import InputError

TIME_SCALES = {"s": 1.0, "ms": 1e-3}  # seconds per unit
# Rates a sensor plausibly samples at.
PLAUSIBLE_RATES_HZ = (5.0, 2000.0)
# The last word of a time column's name that gives its unit: t_ms, millis, time (s), t_sec.
_MS_ENDINGS = ("ms", "msec", "msecs", "millis", "millisecond", "milliseconds")
_S_ENDINGS = ("sec", "secs", "second", "seconds")


class TimeUnitError(InputError):
    """Time stamps whose unit is wrong or cannot be told; `likely` is the unit they look like
    (None when neither fits)."""

    def __init__(self, message: str, likely: str | None):
        super().__init__(message)
        self.likely = likely


def unit_named_by(column: str | None) -> str | None:
    """The unit a time column's name states (t_ms, millis, time (s), t_sec), or None."""
    words = re.findall(r"[a-z]+", (column or "").lower())
    last = words[-1] if words else ""
    if last.endswith(_MS_ENDINGS):
        return "ms"
    if last == "s" or last.endswith(_S_ENDINGS):
        return "s"
    return None


def implied_rate(step: float, unit: str) -> float:
    """Samples per second of time stamps `step` apart in `unit`."""
    return 1.0 / (step * TIME_SCALES[unit])


def time_unit_for(step: float, given: str | None = None, column: str | None = None) -> str:
    """The unit of time stamps a median `step` (> 0) apart: `given`, else the one the column's
    name states, else the only one with a plausible rate; a unit whose rate is implausible
    is refused, naming the unit the stamps look like.

    The stamps outweigh the column's name: with a unit given that the stamps bear out, a
    column named for the other unit is misnamed.
    """
    low, high = PLAUSIBLE_RATES_HZ
    plausible = [u for u in TIME_SCALES if low <= implied_rate(step, u) <= high]
    likely = plausible[0] if len(plausible) == 1 else None
    named = unit_named_by(column)
    unit = given or named
    if unit is None:
        if likely:
            return likely
        raise TimeUnitError(
            f"time stamps {step:g} apart give {implied_rate(step, 's'):.4g} Hz in s and "
            f"{implied_rate(step, 'ms'):.4g} Hz in ms, neither a sensor's rate "
            f"({low:g} to {high:g} Hz): cannot tell the unit",
            None,
        )
    if unit in plausible:
        return unit
    why = "" if given else f" (as the column {column!r} says)"
    named_other = given and named and named != given
    clash = f"; the column {column!r} is named for {named}" if named_other else ""
    hint = f": they look like {likely}" if likely else ""
    raise TimeUnitError(
        f"time stamps {step:g} {unit} apart{why} give {implied_rate(step, unit):.4g} Hz, "
        f"not a sensor's rate ({low:g} to {high:g} Hz){clash}{hint}",
        likely,
    )
