"""How long cross-validation will take, said before it starts and kept up to date: each
candidate's fold starts from an estimate (`selection.pilot_fold_seconds`), and once some of
its folds are timed, their mean replaces the estimate for the rest."""

import math

import numpy as np


class Forecast:
    """Seconds of cross-validation still to come, for `folds` folds of each candidate."""

    def __init__(self, per_fold: dict[str, float], folds: int):
        self.per_fold = dict(per_fold)
        self.folds = folds
        self.timed: dict[str, list[float]] = {name: [] for name in per_fold}
        self.finished: set[str] = set()

    def total(self) -> float:
        """Seconds of the whole cross-validation; a candidate whose sample could not be
        fitted counts nothing, as it will be left out at its first fold."""
        return sum(s for s in self.per_fold.values() if math.isfinite(s)) * self.folds

    def fold_done(self, name: str, seconds: float) -> None:
        self.timed[name].append(seconds)

    def candidate_done(self, name: str) -> None:
        """No more folds of `name`: done, or left out early."""
        self.finished.add(name)

    def left(self) -> float:
        remaining = 0.0
        for name, estimate in self.per_fold.items():
            if name in self.finished:
                continue
            timed = self.timed[name]
            per_fold = float(np.mean(timed)) if timed else estimate
            if math.isfinite(per_fold):
                remaining += per_fold * (self.folds - len(timed))
        return remaining


def duration(seconds: float) -> str:
    """`seconds` as a person says it: 40 s, 12 min, 2 h 10 min; "?" when unknown."""
    if not math.isfinite(seconds):
        return "?"
    if seconds < 59.5:
        return f"{max(seconds, 1):.0f} s"
    minutes = round(seconds / 60)
    if minutes < 60:
        return f"{minutes} min"
    return f"{minutes // 60} h {minutes % 60} min"
