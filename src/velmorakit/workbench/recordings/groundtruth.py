"""The true gestures a recording is scored against, checked before any scoring.

A truth file that does not belong to its recording would give plausible but wrong scores,
so it is refused; a recording with neither a truth file nor a label column cannot be scored;
labels the model does not know are reported, with the likely cause, so that they are not
mistaken for misses (results during them are spurious), and rest marked with a label is scored
as rest.
"""

from collections import Counter
from pathlib import Path

from ...models.rejection import NON_GESTURE_WORDS
from ..errors import WorkbenchError
from ..simulation.synthetic import GestureEvent
from .recording import Recording, events_from_labels, read_truth, truth_path

# Labels with which rest rows are sometimes marked instead of being left empty.
REST_WORDS = NON_GESTURE_WORDS | {"-", "0"}


def check_truth(truth: Path, recording: Recording, events: list[GestureEvent]) -> None:
    """Refuse a truth file whose gestures lie outside the recording, or whose labels
    disagree with the recording's own label column where it has one."""
    rows = len(recording.samples)
    for event in events:
        if not 0 <= event.start < event.end <= rows:
            raise WorkbenchError(
                f"{truth}: the {event.label} gesture at rows {event.start}-{event.end - 1} "
                f"lies outside the recording's {rows} rows: is it this recording's truth?"
            )
    if not any(recording.labels):
        return
    disagree = []
    for event in events:
        covered = Counter(recording.labels[event.start : event.end]).most_common(1)[0][0]
        if covered != event.label:
            disagree.append(f"rows {event.start}-{event.end - 1} {event.label} vs {covered!r}")
    if disagree:
        raise WorkbenchError(
            f"{truth}: {len(disagree)} of {len(events)} gestures disagree with the recording's "
            f"label column (first: {disagree[0]}): is it this recording's truth?"
        )


def load_scorable_events(path: str | Path, recording: Recording) -> list[GestureEvent] | None:
    """The checked truth beside the recording, else the runs of its labels; None when the
    recording has neither a truth file nor a label column and so cannot be scored."""
    truth = truth_path(path)
    if truth.exists():
        events = read_truth(truth)
        check_truth(truth, recording, events)
        return events
    if not recording.label_column:
        return None
    return events_from_labels(recording.labels)


def unknown_label_notes(events: list[GestureEvent], classes: list[str]) -> list[str]:
    """One line per true label that the model does not know, with the likely cause."""
    counts = Counter(event.label for event in events if event.label not in classes)
    by_case = {c.lower(): c for c in classes}
    notes = []
    for label, n in sorted(counts.items()):
        if label.lower() in by_case:
            why = (
                f"differs from the model's {by_case[label.lower()]!r} only in case: "
                "not scored, results during it count as spurious"
            )
        elif label.lower() in REST_WORDS:
            why = "looks like a rest marker: scored as rest (leave rest rows unlabelled)"
        else:
            why = "not among the model's classes: not scored, results during it count as spurious"
        notes.append(f"{label!r}: {n} gesture(s), {why}")
    return notes


def without_rest_markers(events: list[GestureEvent], classes: list[str]) -> list[GestureEvent]:
    """The gestures, less the stretches whose unknown label marks rest: a result there is
    spurious, as on unlabelled rows."""
    return [e for e in events if e.label in classes or e.label.lower() not in REST_WORDS]
