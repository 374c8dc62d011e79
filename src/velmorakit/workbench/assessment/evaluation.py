"""One engine pass over a recording, fed the way the gesture worker feeds it.

The engine receives the samples in batches of `num_sample` and runs once per batch. Every
cycle is recorded before any threshold is applied, together with how far segmentation got,
so that any pair of thresholds and any polling of the result queue can be scored afterwards
without running the engine again: the engine's state does not depend on what the worker
accepts. Where a gap in the recording would have stalled the worker, the batch clears the
engine's window instead of running a cycle, as the worker does.
"""

from collections.abc import Callable
from dataclasses import dataclass, field, replace
from functools import cached_property

import numpy as np

from ...models.gesture import GestureConfig
from ..stalls import stalled_batches

# How far segmentation got in a cycle, in the order of its tests.
LOW_PEAK = "low peak"  # the highest filtered speed in the peak zone is not above MAX_TH
TOO_SOON = "too soon"  # the peak is not more than MAX_TIME_TH after the last accepted one
NO_END = "no end bound"  # the speed does not fall below a third of the peak before the newest row
NO_START = "no start bound"  # ... nor after the oldest row
SEGMENT = "segment"  # a segment was cut and classified
STAGES = (LOW_PEAK, TOO_SOON, NO_END, NO_START, SEGMENT)

# Rows pushed between two progress reports.
PROGRESS_ROWS = 2000


@dataclass(frozen=True)
class Cycle:
    """One engine cycle: rows of the recording count from 0, bounds include both ends."""

    index: int  # samples pushed when the cycle ran
    peak_row: int  # recording row of the highest filtered speed in the peak zone
    peak: float  # that filtered speed
    stage: str
    gap_s: float  # time from the last accepted peak to this one
    label: str | None = None
    probability: float = 0.0
    confidence: float = 0.0
    displacement: float = 0.0
    start: int = -1
    end: int = -1
    rejected: bool = False  # a segment the model called no gesture: the worker drops it
    features: np.ndarray | None = field(default=None, repr=False, compare=False)  # gest_ut


@dataclass(frozen=True)
class Stall:
    """A batch after which the window was cleared instead of classified, and the fastest of
    the rows of the last second it cleared: the motion that a stall may have cut short."""

    index: int  # samples pushed when it cleared the window
    fastest_row: int
    speed: float  # m/s, unfiltered


@dataclass
class EnginePass:
    """Every cycle of one recording, and the number of rows it has."""

    cycles: list[Cycle]
    rows: int
    num_sample: int
    stalls: list[Stall] = field(default_factory=list)

    @cached_property
    def segments(self) -> list[Cycle]:
        """The cycles that cut a segment, in time order, those the model rejected included."""
        return [c for c in self.cycles if c.stage == SEGMENT]


def segmentation_stage(engine_type, speed: np.ndarray, times: np.ndarray, last_peak: float):
    """(stage, peak row in the window, peak value, seconds since the last accepted peak): the
    engine's segmentation tests replayed on one cycle's filtered speed, to tell why a cycle cut
    no segment."""
    k = engine_type
    first, stop = k.DATA_DIM - k.LEFT_MAX_WIN, k.DATA_DIM - k.RIGHT_MAX_WIN
    row = first + int(np.argmax(speed[first:stop]))
    peak, gap = float(speed[row]), float(times[row] - last_peak)
    if not peak > k.MAX_TH:
        return LOW_PEAK, row, peak, gap
    if not gap > k.MAX_TIME_TH:
        return TOO_SOON, row, peak, gap
    below = speed < peak / k.MIN_TH
    if not below[row : k.DATA_DIM].any():
        return NO_END, row, peak, gap
    if not below[k.LFT_MIN_WIN + 1 : row + 1].any():
        return NO_START, row, peak, gap
    return SEGMENT, row, peak, gap


def run_engine(
    engine,
    samples: np.ndarray,
    config: GestureConfig,
    progress: Callable[[int], None] | None = None,
    gaps: dict[int, float] | None = None,
    keep_features: bool = False,
) -> EnginePass:
    """Push every row, run once per full batch, and record each cycle (with
    `keep_features`, each segment's feature vector too).

    With `num_sample` 0 the worker reads no sample at all, so no cycle ever sees the
    recording: the pass has no cycles. `gaps` (row -> seconds of silence before it) makes
    the batches that would have stalled clear the window instead. `progress` is called with
    the rows pushed since its last call, every few thousand rows and at the end.
    """
    n = config.num_sample
    cycles, stalls = [], []
    stalled = stalled_batches(gaps or {}, n)
    reported = 0
    batch_ends = range(n, len(samples) + 1, n) if n > 0 else range(0)
    for batch_end in batch_ends:
        for row in samples[batch_end - n : batch_end]:
            engine.push_data(row.tolist())
        if batch_end in stalled:
            engine.data_init()
            stalls.append(_stall(samples, batch_end, type(engine).LEFT_MAX_WIN))
        else:
            cycles.append(_cycle(engine, batch_end, keep_features))
        if progress is not None and batch_end - reported >= PROGRESS_ROWS:
            progress(batch_end - reported)
            reported = batch_end
    if progress is not None and len(samples) > reported:
        progress(len(samples) - reported)
    return EnginePass(cycles, len(samples), n, stalls)


def _stall(samples: np.ndarray, batch_end: int, rows: int) -> Stall:
    first = max(batch_end - rows, 0)
    speed = np.nan_to_num(np.linalg.norm(samples[first:batch_end, 3:6], axis=1))
    fastest = int(np.argmax(speed))
    return Stall(batch_end, first + fastest, float(speed[fastest]))


def _cycle(engine, batch_end: int, keep_features: bool) -> Cycle:
    """One engine cycle after `batch_end` rows, with how far segmentation got.

    A cycle cut a segment when it gave a label, or when the engine advanced `last_max_time`
    (which it does only on accepting a segment) and the model called it no gesture. With
    `keep_features` the segment keeps its feature vector, to be classified again by other
    models."""
    last_peak = float(engine.last_max_time)
    label, probability, confidence, displacement = engine.run()
    offset = batch_end - type(engine).DATA_DIM
    stage, peak_row, peak, gap = segmentation_stage(
        type(engine), np.asarray(engine.veltot_filt_a), np.asarray(engine.time_a), last_peak
    )
    cycle = Cycle(batch_end, offset + peak_row, peak, stage, gap)
    if label is None and float(engine.last_max_time) == last_peak:
        return cycle
    left, right = (int(i) for i in engine.min_index_a)
    return replace(
        cycle,
        stage=SEGMENT,
        label=None if label is None else str(label),
        probability=float(probability),
        confidence=float(confidence),
        displacement=float(displacement),
        start=offset + left,
        end=offset + right,
        rejected=label is None,
        features=np.array(engine.gest_ut) if keep_features else None,
    )
