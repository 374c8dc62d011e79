"""PNG pictures of recordings, confusion matrices and threshold sweeps.

Figures are built as `matplotlib.figure.Figure` objects and written with their own canvas,
so importing this module selects no backend and leaves pyplot's state of a program alone.
"""

from dataclasses import dataclass, field
from pathlib import Path

import matplotlib
import numpy as np
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import Patch

from ...conditioning import SAMPLE_RATE
from ..outputs import replacing

LABEL_COLOURS = matplotlib.colormaps["tab10"].colors
MISS_COLOUR = "crimson"


@dataclass
class Lanes:
    """What the truth and model lanes show, in rows of the drawn stretch."""

    truth: list[tuple[int, int, str]] = field(default_factory=list)  # start, end (excl.), label
    missed: list[tuple[int, str]] = field(default_factory=list)  # truth index, short reason
    # start, end (incl.), label, row of the result, delivered to the application
    results: list[tuple[int, int, str, int, bool]] = field(default_factory=list)
    results_name: str = "model"


def label_colours(labels) -> dict[str, tuple]:
    names = sorted({label for label in labels if label})
    return {name: LABEL_COLOURS[k % len(LABEL_COLOURS)] for k, name in enumerate(names)}


def _save(fig: Figure, path: str | Path) -> None:
    with replacing(path) as (temp,):
        fig.savefig(temp, dpi=90, format="png")


def plot_recording(
    path: str | Path,
    samples: np.ndarray,
    filtered_speed: np.ndarray,
    threshold: float,
    lanes: Lanes,
    colours: dict[str, tuple],
    title: str,
    start_s: float = 0.0,
) -> None:
    """Speed with its filtered copy and the peak threshold, the velocity components, and two
    lanes: the true gestures (missed ones outlined and their reason written) and the engine's
    results (filled when the application got them, hollow when a threshold or the queue
    dropped them)."""
    t = start_s + np.arange(len(samples)) / SAMPLE_RATE
    speed = np.linalg.norm(samples[:, 3:6], axis=1)
    fig = Figure(figsize=(13, 6.5), layout="constrained")
    top, middle, bottom = fig.subplots(3, 1, sharex=True, height_ratios=(3, 2, 1.6))
    top.plot(t, speed, color="0.7", lw=0.8, label="speed |v|")
    top.plot(t, filtered_speed, color="tab:blue", lw=1.6, label="filtered speed")
    top.axhline(threshold, color="tab:red", ls="--", lw=1, label=f"peak threshold {threshold}")
    top.set_ylabel("speed (m/s)")
    top.set_ylim(0, max(speed.max(), threshold) * 1.15)
    top.legend(loc="upper left", bbox_to_anchor=(1.005, 1), fontsize=8)
    top.set_title(title)
    for k, name in enumerate(("vx", "vy", "vz")):
        middle.plot(t, samples[:, 3 + k], lw=1, label=name)
    middle.set_ylabel("velocity (m/s)")
    middle.legend(loc="upper left", bbox_to_anchor=(1.005, 1), fontsize=8)
    _draw_lanes(bottom, lanes, colours, t[0])
    bottom.set_xlabel("time (s)")
    bottom.set_xlim(t[0], t[-1] + 1 / SAMPLE_RATE)
    missed = dict(lanes.missed)
    for k, (start, end, label) in enumerate(lanes.truth):
        colour, alpha = (MISS_COLOUR, 0.3) if k in missed else (colours.get(label, "0.5"), 0.12)
        for ax in (top, middle):
            ax.axvspan(
                t[0] + start / SAMPLE_RATE,
                t[0] + end / SAMPLE_RATE,
                color=colour,
                alpha=alpha,
                lw=0,
            )
    _save(fig, path)


def _draw_lanes(ax, lanes: Lanes, colours, t0: float) -> None:
    missed = dict(lanes.missed)
    for k, (start, end, label) in enumerate(lanes.truth):
        left, width = t0 + start / SAMPLE_RATE, (end - start) / SAMPLE_RATE
        colour = colours.get(label, "0.5")
        edge = MISS_COLOUR if k in missed else colour
        ax.broken_barh(
            [(left, width)],
            (1.15, 0.7),
            facecolors=colour,
            edgecolors=edge,
            linewidth=2.5 if k in missed else 0.5,
        )
        if k in missed:
            ax.text(
                left + width / 2,
                1.0,
                missed[k],
                ha="center",
                va="top",
                fontsize=7,
                color=MISS_COLOUR,
            )
    for start, end, label, row, taken in lanes.results:
        left, width = t0 + start / SAMPLE_RATE, (end + 1 - start) / SAMPLE_RATE
        colour = colours.get(label, "0.5")
        ax.broken_barh(
            [(left, width)],
            (0.05, 0.55),
            facecolors=colour if taken else "none",
            edgecolors=colour,
            linewidth=1.2,
        )
        ax.plot(
            t0 + row / SAMPLE_RATE,
            0.33,
            marker="v" if taken else "x",
            ms=5,
            color="k" if taken else "0.4",
        )
    ax.set_ylim(-0.05, 2.0)
    ax.set_yticks([0.33, 1.5], [lanes.results_name, "truth"])
    handles = [Patch(color=c, label=name) for name, c in colours.items()]
    handles += [
        Patch(facecolor="none", edgecolor=MISS_COLOUR, lw=2, label="missed gesture"),
        Line2D([], [], marker="v", ls="", color="k", label="result delivered"),
        Line2D([], [], marker="x", ls="", color="0.4", label="result dropped"),
    ]
    ax.legend(
        handles=handles,
        loc="upper left",
        bbox_to_anchor=(1.005, 1.25),
        fontsize=8,
        ncols=1 + len(handles) // 8,
    )


def plot_confusion(path: str | Path, confusion: np.ndarray, classes: list[str], title: str):
    size = 1.6 + 0.6 * len(classes)
    fig = Figure(figsize=(size + 1, size), layout="constrained")
    ax = fig.subplots()
    image = ax.imshow(confusion, cmap="Blues")
    for (row, col), count in np.ndenumerate(confusion):
        if count:
            dark = count > confusion.max() / 2
            ax.text(col, row, count, ha="center", va="center", color="w" if dark else "k")
    ax.set_xticks(range(len(classes)), classes, rotation=45, ha="right")
    ax.set_yticks(range(len(classes)), classes)
    ax.set_xlabel("reported")
    ax.set_ylabel("true")
    ax.set_title(title)
    fig.colorbar(image, ax=ax, shrink=0.8, label="gestures")
    _save(fig, path)


def plot_sweep(path: str | Path, sweep, chosen: tuple[float, float], title: str) -> None:
    """Recall and spurious share of results against the probability threshold, one line
    per confidence threshold, with the chosen pair of thresholds marked.

    Lines often coincide (every threshold recognising all gestures, none spurious), so each
    line's points are rings of its own size and its line has its own dashes: where lines
    lie on top of each other, their rings still show side by side, one inside the other."""
    fig = Figure(figsize=(12, 4.5), layout="constrained")
    fig.suptitle(title)
    axes = fig.subplots(1, 2, sharex=True)
    curves = (
        (sweep.recall, "recognised (% of gestures)"),
        (sweep.spurious, "spurious (% of results)"),
    )
    colours = matplotlib.colormaps["viridis"](np.linspace(0, 0.9, len(sweep.confidences)))
    dashes = ("-", "--", "-.", ":")
    for ax, (values, name) in zip(axes, curves, strict=True):
        for k, (c, row, colour) in enumerate(zip(sweep.confidences, values, colours, strict=True)):
            ax.plot(
                sweep.probabilities,
                row * 100,
                ls=dashes[k % len(dashes)],
                lw=1.2,
                marker="o",
                ms=4 + 3 * k,
                mfc="none",
                mew=1.3,
                clip_on=False,  # rings at 100 % stay whole
                color=colour,
                label=f"confidence >= {c:g}",
            )
            if c == chosen[0] and chosen[1] in sweep.probabilities:
                j = sweep.probabilities.index(chosen[1])
                ax.plot(chosen[1], row[j] * 100, "k+", ms=14, mew=2, zorder=3)
        ax.set_xlabel("probability threshold")
        ax.set_ylabel(name)
        ax.grid(alpha=0.3)
        highest = np.nanmax(values * 100, initial=0)
        ax.set_ylim(0 if ax is axes[1] else None, max(5, highest * 1.1) if ax is axes[1] else 100.5)
    axes[1].legend(
        loc="upper left",
        bbox_to_anchor=(1.01, 1),
        fontsize=8,
        title="+: chosen thresholds",
        title_fontsize=8,
    )
    _save(fig, path)
