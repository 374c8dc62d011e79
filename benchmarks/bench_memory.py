"""Peak memory and time of the workbench's file commands on a long and a short sensor file.

Each command runs as a child process (`python -m velmorakit ...`), as a user runs it, and its
peak resident memory is the one the kernel reports when the child is reaped. The long file is
eight hours at 100 Hz (2.88 million rows, about 100 MB), the short one ten minutes; `import`
brings each to a 50 Hz recording, `shape` cuts it at every phase and `evaluate` scores a small
model trained on a short simulated session. The goal on small boards: under 500 MB each.
"""

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

GOAL_MB = 500
FILES = (("8 h", 28_800), ("10 min", 600))


def run(*args: str, cwd: Path) -> tuple[float, float]:
    """(peak resident MB, wall seconds) of `velmorakit ARGS` run to its end."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        child = subprocess.Popen(
            [sys.executable, "-m", "velmorakit", *args],
            cwd=cwd,
            stdout=subprocess.DEVNULL,
            stderr=errors,
        )
        # wait4 reaps the child and gives its own resource usage, peak memory in kB included.
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode:
            errors.seek(0)
            message = errors.read().decode(errors="replace").strip()
            raise SystemExit(f"velmorakit {' '.join(args)} failed: {message}")
    return usage.ru_maxrss / 1024, elapsed


def train_small_model(work: Path) -> None:
    run("simulate", "train.csv", "--seconds", "300", "--seed", "3", cwd=work)
    run("shape", "train.csv", "-o", "train.npz", cwd=work)
    run("train", "train.npz", "-o", "model", "--classifiers", "logreg", "--folds", "2", cwd=work)


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="velmorakit-memory-") as directory:
        work = Path(directory)
        train_small_model(work)
        for name, seconds in FILES:
            sensor, recording = f"sensor-{seconds}.csv", f"recording-{seconds}.csv"
            rows = int(seconds * 100)
            run("simulate", sensor, "--format", "sensor", "--seconds", str(seconds), cwd=work)
            commands = {
                "import": ("import", sensor, "-o", recording),
                "shape": ("shape", recording, "-o", f"segments-{seconds}.npz"),
                "evaluate": ("evaluate", recording, "--model", "model"),
            }
            for command, args in commands.items():
                peak_mb, elapsed = run(*args, cwd=work)
                over = f"  over the {GOAL_MB} MB goal" if peak_mb > GOAL_MB else ""
                print(
                    f"{command:8s} {name} at 100 Hz ({rows / 1e6:.2f} M sensor rows): "
                    f"peak {peak_mb:4.0f} MB, {elapsed:5.1f} s{over}"
                )
            for path in work.glob(f"*-{seconds}*"):
                path.unlink()


if __name__ == "__main__":
    main()
