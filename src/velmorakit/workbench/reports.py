"""Plain-text tables of training and evaluation results, as the command line prints them."""

import numpy as np

from .evaluation import Evaluation


def confusion_table(confusion: np.ndarray, classes: list[str], corner: str = "true \\ got") -> str:
    width = max(6, *(len(c) for c in classes), len(corner)) + 1
    lines = [corner.ljust(width) + "".join(c.rjust(width) for c in classes)]
    for name, row in zip(classes, confusion, strict=True):
        lines.append(name.ljust(width) + "".join(str(n).rjust(width) for n in row))
    return "\n".join(lines)


def evaluation_summary(result: Evaluation) -> str:
    lines = [
        f"gestures: {result.gestures}   results: {result.results}",
        f"recognised:    {result.recognised:5d}  ({result.recognition_rate:.1%} of gestures)",
        f"misclassified: {result.misclassified:5d}",
        f"missed:        {result.missed:5d}",
        f"spurious:      {result.spurious:5d}  ({result.spurious_rate:.1%} of results)",
    ]
    if result.delays_s:
        lines.append(f"delay after the stroke ends: median {np.median(result.delays_s):.2f} s")
    if result.displacement_errors:
        errors = np.asarray(result.displacement_errors)
        lines.append(
            f"displacement error: mean {errors.mean():+.3f} m, "
            f"mean absolute {np.abs(errors).mean():.3f} m ({len(errors)} gestures)"
        )
    lines.append(confusion_table(result.confusion, result.classes))
    return "\n".join(lines)
