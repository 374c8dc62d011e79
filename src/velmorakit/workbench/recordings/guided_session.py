"""A guided recording session: when to prompt for which gesture, and where it really was.

The session is timed in rows of the 50 Hz stream, not by the clock, so that the prompts
and the recorded rows always agree, whatever the source's delays. The span of each
gesture starts from its prompt and is refined by the motion found there: the user reacts
late and takes less than the whole prompt to make the stroke.
"""

import math
from dataclasses import dataclass

import numpy as np

from ...conditioning import SAMPLE_RATE
from ..errors import WorkbenchError
from ..learning.segments import filtered_speed
from ..simulation.synthetic import GestureEvent

# A stroke's edges: where its speed falls below this share of its peak speed.
EDGE_SHARE = 0.2


@dataclass(frozen=True)
class Prompt:
    label: str
    start: int  # first row of the "now" window
    end: int  # row after it; the rest follows


@dataclass(frozen=True)
class Plan:
    prompts: list[Prompt]
    countdown_rows: int
    rest_rows: int
    total_rows: int

    def phase(self, row: int) -> tuple[str, int | None]:
        """What the user should do at `row`: ("countdown", seconds left), ("now", take
        index), ("rest", None) or ("done", None)."""
        if row < self.countdown_rows:
            return "countdown", math.ceil((self.countdown_rows - row) / SAMPLE_RATE)
        if row >= self.total_rows:
            return "done", None
        for k, prompt in enumerate(self.prompts):
            if prompt.start <= row < prompt.end:
                return "now", k
        return "rest", None


def plan_session(
    gestures: list[str],
    takes: int,
    seed: int | None = None,
    countdown_s: float = 3.0,
    gesture_s: float = 2.0,
    rest_s: float = 2.0,
) -> Plan:
    """Each gesture `takes` times, in random order, after a countdown; a rest after each."""
    if not gestures or takes <= 0:
        raise WorkbenchError("give at least one gesture and one take")
    order = [g for g in gestures for _ in range(takes)]
    np.random.default_rng(seed).shuffle(order)
    countdown, now, rest = (round(s * SAMPLE_RATE) for s in (countdown_s, gesture_s, rest_s))
    prompts, row = [], countdown
    for label in order:
        prompts.append(Prompt(str(label), row, row + now))
        row += now + rest
    return Plan(prompts, countdown, rest, row)


def locate_gestures(
    samples: np.ndarray, prompts: list[Prompt], rest_rows: int
) -> tuple[list[GestureEvent], list[Prompt]]:
    """The stroke made for each prompt, and the prompts with no stroke to be found.

    A stroke is looked for from the prompt to the middle of the rest after it: it must
    bring the low-pass filtered speed over the engine's peak threshold (else the engine
    would not see it either). Its span is where the speed stays above `EDGE_SHARE` of its
    peak around that peak.
    """
    if not len(samples):
        return [], list(prompts)
    filtered, threshold = filtered_speed(samples)
    speed = np.linalg.norm(samples[:, 3:6], axis=1)
    events, missed = [], []
    for prompt in prompts:
        first, stop = prompt.start, min(prompt.end + rest_rows // 2, len(samples))
        if first >= stop or filtered[first:stop].max() < threshold:
            missed.append(prompt)
            continue
        peak = first + int(np.argmax(speed[first:stop]))
        level = EDGE_SHARE * speed[peak]
        start, end = peak, peak + 1
        while start > first and speed[start - 1] > level:
            start -= 1
        while end < stop and speed[end] > level:
            end += 1
        events.append(GestureEvent(start, end, prompt.label, math.nan))
    return events, missed


def row_labels(n: int, events: list[GestureEvent]) -> np.ndarray:
    labels = np.full(n, "", dtype=object)
    for event in events:
        labels[event.start : event.end] = event.label
    return labels
