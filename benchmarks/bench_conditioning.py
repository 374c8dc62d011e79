"""Sensor conditioning: the cost of one live sample and of importing a file.

A live source pushes every sensor sample through `Conditioner.push` (units, resampling to
50 Hz, velocity estimate); `velmorakit import` does the same over a whole file after reading
and parsing it.
"""

import tempfile
import time
from pathlib import Path

from velmorakit.conditioning import Conditioner
from velmorakit.workbench.recordings.importing import import_recording
from velmorakit.workbench.simulation.sensor import sensor_session, write_sensor_file


def best_of(repeats, measure):
    """The smallest of several measurements: the one least disturbed by other work."""
    return min(measure() for _ in range(repeats))


def main() -> None:
    t, acc, labels, _ = sensor_session(600, seed=1, rate_hz=100.0, gravity=True, tilt_deg=10)
    samples = list(zip(t.tolist(), acc.tolist(), strict=True))

    def live() -> float:
        conditioner = Conditioner()
        start = time.perf_counter()
        for stamp, row in samples:
            conditioner.push(stamp, row)
        return (time.perf_counter() - start) / len(samples)

    per_sample = best_of(3, live)
    print(f"Conditioner.push, 100 Hz acceleration with gravity: {per_sample * 1e6:.1f} us/sample")

    with tempfile.TemporaryDirectory() as work:
        source = Path(work) / "sensor.csv"
        write_sensor_file(source, t, acc, labels)

        def whole_file() -> float:
            start = time.perf_counter()
            import_recording(source, Path(work) / "recording.csv")
            return time.perf_counter() - start

        elapsed = best_of(3, whole_file)
    print(f"import of 10 min at 100 Hz ({len(t)} rows): {elapsed:.2f} s")


if __name__ == "__main__":
    main()
