"""Which true gesture each segment of an engine pass belongs to, and why a gesture got none.

A segment belongs to the true gesture it overlaps most. A gesture that no segment belongs to
is explained by the furthest test of segmentation that the cycles in which its speed peak was
the window's peak candidate reached; none of this depends on the worker's thresholds.
"""

from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from itertools import accumulate

from ...middleware.utilities.velmora_computing import VelmoraComputing as Engine
from ..simulation.synthetic import GestureEvent
from .evaluation import LOW_PEAK, NO_END, NO_START, STAGES, TOO_SOON, EnginePass

# Why a gesture got no segment.
NOT_READ = "not read: num_sample is 0"
LOW = "no segment: peak below MAX_TH"
TOO_LONG = "no segment: longer than the window"
NO_END_BOUND = "no segment: no end bound"
NO_START_BOUND = "no segment: no start bound"
CLOSE = "no segment: too soon after the previous peak"
SHARED = "no segment: its segment went to a neighbouring gesture"
HIDDEN = "no segment: never the highest peak in the window"
AT_END = "no segment: the recording ends too soon after it"
STALLED = "no segment: a sensor gap stalled the worker, which cleared the window"

# The low-pass filter delays the speed peak past the stroke's last row by a few samples.
PEAK_LAG_ROWS = 15


@dataclass
class Attributed:
    """A recording's engine pass with its segments tied to true gestures."""

    name: str
    engine_pass: EnginePass
    events: list[GestureEvent]
    known: list[bool]  # per gesture: the model knows its label
    owner: list[int]  # per segment: the gesture it overlaps most, -1 for none
    no_segment: dict[int, tuple[str, str]]  # gesture -> (reason, detail) when it got no segment


def _overlap(event: GestureEvent, start: int, end: int) -> int:
    return min(event.end, end + 1) - max(event.start, start)


class _Intervals:
    """Row intervals [start, end) in any order, asked which of them share a row with a
    stretch: sorted by start, with the furthest end so far, a question looks only at the
    intervals near the stretch instead of at all of them."""

    def __init__(self, intervals: list[tuple[int, int]]):
        self.intervals = intervals
        self.order = sorted(range(len(intervals)), key=lambda i: intervals[i][0])
        self.starts = [intervals[i][0] for i in self.order]
        self.furthest = list(accumulate((intervals[i][1] for i in self.order), max))

    def overlapping(self, start: int, end: int) -> list[int]:
        """The indices, ascending, of the intervals that share a row with [start, end)."""
        found = []
        if end <= start:
            return found
        k = bisect_left(self.starts, end) - 1
        while k >= 0 and self.furthest[k] > start:
            i = self.order[k]
            if self.intervals[i][1] > max(start, self.intervals[i][0]):
                found.append(i)
            k -= 1
        return sorted(found)


class _Cycles:
    """An engine pass's cycles looked up by the number of samples pushed when they ran."""

    def __init__(self, cycles):
        self.cycles = cycles
        self.order = sorted(range(len(cycles)), key=lambda i: cycles[i].index)
        self.indices = [cycles[i].index for i in self.order]

    def between(self, low: int, high: int) -> list:
        """The cycles with low < index < high, in the pass's order."""
        first, stop = bisect_right(self.indices, low), bisect_left(self.indices, high)
        return [self.cycles[i] for i in sorted(self.order[first:stop])]


def _why_no_segment(e: int, events, engine_pass: EnginePass, segments, owner, found):
    """(reason, detail) for a gesture that no segment was tied to; `found` looks up the
    segments and the cycles of the pass."""
    event = events[e]
    if engine_pass.num_sample == 0:
        return NOT_READ, ""
    segment_rows, cycles = found
    for s in segment_rows.overlapping(event.start, event.end):
        if owner[s] != e:
            seg, other = segments[s], events[owner[s]]
            return SHARED, f"rows {seg.start}-{seg.end} went to {other.label} at {other.start}"
    for stall in engine_pass.stalls:
        # It cut the gesture's motion short; a stall at the quiet edges of a take did not.
        if stall.speed > Engine.MAX_TH and event.start <= stall.fastest_row < event.end:
            return (
                STALLED,
                f"moving at {stall.speed:.2f} m/s when cleared after row {stall.index - 1}",
            )
    zone = (Engine.DATA_DIM - Engine.LEFT_MAX_WIN, Engine.DATA_DIM - Engine.RIGHT_MAX_WIN)
    # The cycles whose peak zone reaches the gesture: index - DATA_DIM + zone[0] < end + lag
    # and index - DATA_DIM + zone[1] > start.
    seen = cycles.between(
        event.start + Engine.DATA_DIM - zone[1],
        event.end + PEAK_LAG_ROWS + Engine.DATA_DIM - zone[0],
    )
    if not seen or event.end + PEAK_LAG_ROWS > engine_pass.rows - Engine.RIGHT_MAX_WIN:
        return AT_END, f"the last row is {engine_pass.rows - 1}"
    own = [c for c in seen if event.start <= c.peak_row < event.end + PEAK_LAG_ROWS]
    highest = max(c.peak for c in (own or seen))
    if not own:
        if all(c.stage == LOW_PEAK for c in seen):
            return LOW, f"filtered speed at most {highest:.3f} m/s, threshold {Engine.MAX_TH}"
        return HIDDEN, f"a higher peak nearby ({highest:.3f} m/s)"
    furthest = max(own, key=lambda c: STAGES.index(c.stage))
    if furthest.stage == LOW_PEAK:
        return LOW, f"filtered speed at most {highest:.3f} m/s, threshold {Engine.MAX_TH}"
    if furthest.stage == TOO_SOON:
        gap = f"{furthest.gap_s:.2f} s"
        return CLOSE, f"peak {gap} after the previous one, needs more than {Engine.MAX_TIME_TH} s"
    length = event.end - event.start
    if length >= Engine.DATA_DIM:
        return TOO_LONG, f"{length} rows, the window holds {Engine.DATA_DIM}"
    if furthest.stage == NO_END:
        return NO_END_BOUND, f"speed stays above a third of its peak {furthest.peak:.3f} m/s"
    if furthest.stage == NO_START:
        return NO_START_BOUND, f"speed stays above a third of its peak {furthest.peak:.3f} m/s"
    return HIDDEN, ""


def attribute(
    name: str, engine_pass: EnginePass, events: list[GestureEvent], classes: list[str]
) -> Attributed:
    """Tie segments to gestures and explain the gestures that got none."""
    segments = engine_pass.segments
    gesture_rows = _Intervals([(ev.start, ev.end) for ev in events])
    owner = []
    for seg in segments:
        # The gesture it overlaps most, the first of equals.
        overlaps = [
            (_overlap(events[e], seg.start, seg.end), e)
            for e in gesture_rows.overlapping(seg.start, seg.end + 1)
        ]
        most = max((size for size, _ in overlaps), default=0)
        owner.append(next(e for size, e in overlaps if size == most) if most > 0 else -1)
    tied = set(owner)
    untied = [e for e in range(len(events)) if e not in tied]
    no_segment = {}
    if untied:
        segment_rows = _Intervals([(seg.start, seg.end + 1) for seg in segments])
        found = (segment_rows, _Cycles(engine_pass.cycles))
        for e in untied:
            no_segment[e] = _why_no_segment(e, events, engine_pass, segments, owner, found)
    known = [ev.label in classes for ev in events]
    return Attributed(name, engine_pass, events, known, owner, no_segment)
