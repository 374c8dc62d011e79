"""PNG pictures of recordings and of confusion matrices (matplotlib, no display needed)."""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

from .synthetic import SAMPLE_RATE  # noqa: E402

SEGMENT_COLOURS = plt.get_cmap("tab10").colors


def plot_recording(
    path: str | Path,
    samples: np.ndarray,
    filtered_speed: np.ndarray,
    threshold: float,
    bounds: np.ndarray,
    labels: list[str],
    title: str,
    start_s: float = 0.0,
) -> None:
    """Speed, its low-pass filtered copy with the peak threshold, the velocity components,
    and every detected segment shaded and named. Bounds count rows of `samples`."""
    t = start_s + np.arange(len(samples)) / SAMPLE_RATE
    speed = np.linalg.norm(samples[:, 3:6], axis=1)
    fig, (top, bottom) = plt.subplots(
        2, 1, sharex=True, figsize=(12, 5.5), height_ratios=(3, 2), layout="constrained"
    )
    top.plot(t, speed, color="0.65", lw=0.8, label="speed |v| (raw)")
    top.plot(t, filtered_speed, color="tab:blue", lw=1.6, label="speed, low-pass filtered")
    top.axhline(threshold, color="tab:red", ls="--", lw=1, label=f"peak threshold {threshold}")
    for k, name in enumerate(("vx", "vy", "vz")):
        bottom.plot(t, samples[:, 3 + k], lw=1, label=name)
    names = sorted(set(labels))
    for (start, end), label in zip(bounds, labels, strict=True):
        colour = SEGMENT_COLOURS[names.index(label) % len(SEGMENT_COLOURS)]
        left, right = t[0] + max(start, 0) / SAMPLE_RATE, t[0] + end / SAMPLE_RATE
        for ax in (top, bottom):
            ax.axvspan(left, right, color=colour, alpha=0.18)
        top.annotate(
            label,
            (left, 1.0),
            xycoords=("data", "axes fraction"),
            xytext=(1, -3),
            textcoords="offset points",
            va="top",
            fontsize=8,
            rotation=90,
        )
    top.set_ylabel("speed (m/s)")
    top.set_ylim(0, max(speed.max(), threshold) * 1.3)
    handles = top.get_legend_handles_labels()[0]
    handles.append(Patch(color="0.5", alpha=0.3, label="detected segment"))
    top.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.005, 1), fontsize=8)
    top.set_title(title)
    bottom.set_ylabel("velocity (m/s)")
    bottom.set_xlabel("time (s)")
    bottom.legend(loc="upper left", bbox_to_anchor=(1.005, 1), fontsize=8)
    bottom.set_xlim(t[0], t[-1])
    fig.savefig(path, dpi=90)
    plt.close(fig)


def plot_confusion(path: str | Path, confusion: np.ndarray, classes: list[str], title: str):
    size = 1.6 + 0.6 * len(classes)
    fig, ax = plt.subplots(figsize=(size + 1, size), layout="constrained")
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
    fig.savefig(path, dpi=90)
    plt.close(fig)
