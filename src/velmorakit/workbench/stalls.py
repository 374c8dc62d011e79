"""The worker's stall rule, replayed offline.

The worker times each batch of `num_sample` rows from the start of its receive; a batch that
takes longer than NEW_DATA_INT_SEC + TSAMPLE_MARGIN_SEC (1.02 s) means that the sensor
stalled, and the engine's window is cleared (data_init) instead of classified. Offline, rows
arrive every DT seconds, except the first row after a gap that an import kept, which arrives
that many seconds after the row before it (infinitely many when the gap's length is unknown:
a clock that started again, a new take).
"""

from ..conditioning import DT
from ..middleware.utilities.velmora_computing import VelmoraComputing
from ..middleware.velmora_gesture import VGesture

STALL_S = VelmoraComputing.NEW_DATA_INT_SEC + VGesture.TSAMPLE_MARGIN_SEC


def batch_seconds(num_sample: int, speed: float = 1.0) -> float:
    """How long a batch of 50 Hz rows takes to arrive, replayed at `speed` times real time."""
    return num_sample * DT / speed


def stalled_batches(gaps: dict[int, float], num_sample: int) -> set[int]:
    """The batches that stall, each named by its end (the rows pushed when its cycle would
    run), for batches of rows [k·num_sample, (k+1)·num_sample); `gaps` maps a row to the
    seconds of silence before it."""
    if num_sample <= 0:
        return set()
    extra: dict[int, float] = {}
    for row, gap in gaps.items():
        end = (row // num_sample + 1) * num_sample
        extra[end] = extra.get(end, 0.0) + gap - DT
    return {end for end, late in extra.items() if batch_seconds(num_sample) + late > STALL_S}


def clearing_gaps(gaps: dict[int, float], num_sample: int) -> list[int]:
    """The rows after gaps long enough to stall whichever batch of `num_sample` rows holds
    them: the worker's window is cleared there, whatever the phase of its batches."""
    return sorted(r for r, gap in gaps.items() if batch_seconds(num_sample) + gap - DT > STALL_S)
