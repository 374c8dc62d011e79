"""Plain-text tables of training and evaluation results, as the command line prints them."""

import csv
from pathlib import Path

import numpy as np

from ...conditioning import SAMPLE_RATE
from ..outputs import replacing
from .scoring import Evaluation, Sweep


def confusion_table(confusion: np.ndarray, classes: list[str], corner: str = "true \\ got") -> str:
    width = max(6, *(len(c) for c in classes), len(corner)) + 1
    lines = [corner.ljust(width) + "".join(c.rjust(width) for c in classes)]
    for name, row in zip(classes, confusion, strict=True):
        lines.append(name.ljust(width) + "".join(str(n).rjust(width) for n in row))
    return "\n".join(lines)


def _share(count: int, total: int, of: str) -> str:
    return f"({count / total:.1%} of {of})" if total else f"(no {of})"


def evaluation_summary(result: Evaluation) -> str:
    lines = [
        f"gestures: {result.gestures}   results: {result.results}",
        f"recognised:    {result.recognised:5d}  "
        + _share(result.recognised, result.gestures, "gestures"),
        f"misclassified: {result.misclassified:5d}",
        f"missed:        {result.missed:5d}",
    ]
    for reason, count in result.reasons.most_common():
        lines.append(f"  {count:5d}  {reason}")
    lines.append(
        f"spurious:      {result.spurious:5d}  "
        + _share(result.spurious, result.results, "results")
    )
    for reason, count in result.spurious_reasons.most_common():
        lines.append(f"  {count:5d}  {reason}")
    if result.not_scored:
        lines.append(f"not scored:    {result.not_scored:5d}  (labels unknown to the model)")
    if result.rejected_on_gestures or result.rejected_elsewhere:
        lines.append(
            f"rejected as no gesture: {result.rejected_on_gestures + result.rejected_elsewhere} "
            f"segments ({result.rejected_elsewhere} between gestures, "
            f"{result.rejected_on_gestures} on true gestures)"
        )
    if result.delays_s:
        median, p90 = np.percentile(result.delays_s, [50, 90])
        lines.append(
            f"delay from the stroke's end to the result: median {median:.2f} s, "
            f"90th percentile {p90:.2f} s"
        )
    if result.displacement_errors:
        errors = np.asarray(result.displacement_errors)
        lines.append(
            f"displacement error: mean {errors.mean():+.3f} m, "
            f"mean absolute {np.abs(errors).mean():.3f} m ({len(errors)} gestures)"
        )
    lines.append(confusion_table(result.confusion, result.classes))
    return "\n".join(lines)


def sweep_table(sweep: Sweep, chosen: tuple[float, float] | None = None) -> str:
    """Recognised and spurious percentages, one row per confidence threshold; the `chosen`
    (confidence, probability) cell is marked with a star."""
    width = 12
    lines = [
        "recognised % / spurious % of results, by thresholds" + (" (* chosen)" if chosen else ""),
        "conf \\ prob".ljust(width) + "".join(f"{p:g}".rjust(width) for p in sweep.probabilities),
    ]
    for c, recall, spurious in zip(sweep.confidences, sweep.recall, sweep.spurious, strict=True):
        cells = [
            ("*" if chosen == (c, p) else "")
            + ("-" if np.isnan(r) else f"{r:.0%}")
            + " / "
            + ("-" if np.isnan(s) else f"{s:.0%}")
            for p, r, s in zip(sweep.probabilities, recall, spurious, strict=True)
        ]
        lines.append(f"{c:g}".ljust(width) + "".join(cell.rjust(width) for cell in cells))
    return "\n".join(lines)


OUTCOME_COLUMNS = (
    "recording",
    "start",
    "end",
    "label",
    "outcome",
    "reported",
    "reason",
    "detail",
    "result_s",
)


def write_outcomes(path: str | Path, result: Evaluation) -> None:
    """One row per true gesture (rows start..end-1) with what happened to it, then one per
    spurious result, with the rows of its segment."""
    with replacing(path) as (temp,), temp.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(OUTCOME_COLUMNS)
        for name, o in result.outcomes:
            when = f"{o.index / SAMPLE_RATE:.2f}" if o.index >= 0 else ""
            event = o.event
            row = [name, event.start, event.end, event.label, o.outcome, o.reported, o.reason]
            writer.writerow(row + [o.detail, when])
        for name, why, seg in result.spurious_results:
            detail = f"probability {seg.probability:.3f}, confidence {seg.confidence:g}"
            row = [name, seg.start, seg.end + 1, "", "spurious", seg.label, why, detail]
            writer.writerow(row + [f"{seg.index / SAMPLE_RATE:.2f}"])
