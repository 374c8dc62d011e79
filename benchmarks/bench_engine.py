"""Native engine and shaper against the NumPy/SciPy transcription, measured in one run.

Prints, for each figure, the native time, the transcription's time and their ratio.
"""

import gc
import os
import pathlib
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from fakes import FakeClassifier, FakeEncoder, write_model_files  # noqa: E402
from reference import ReferenceComputing, ReferenceShaper, reference_extract_segments  # noqa: E402
from streams import gesture_stream  # noqa: E402

from velmorakit.middleware.utilities import VelmoraComputing  # noqa: E402
from velmorakit.middleware.utilities.dataset_shaper import (  # noqa: E402
    DatasetShaper,
    extract_segments,
)

# CPU time of this thread: on a shared machine, time spent waiting for a core while others run
# does not count, so that the ratios hold from one run to the next.
clock = time.thread_time


def best_of(repeats, measure):
    """The smallest of several measurements: the one least disturbed by other work."""
    return min(measure() for _ in range(repeats))


def per_call(func, calls):
    gc.disable()
    start = clock()
    for _ in range(calls):
        func()
    elapsed = clock() - start
    gc.enable()
    return elapsed / calls


def push_time(engine_class, files, calls):
    engine = engine_class(*files)

    def measure():
        rows = [[0.01, 0.02, 0.03, 0.1, 0.2, 0.3] for _ in range(calls)]
        push = engine.push_data
        gc.disable()
        start = clock()
        for row in rows:
            push(row)
        elapsed = clock() - start
        gc.enable()
        return elapsed / calls

    return best_of(5, measure)


def shaper_cycle_time(shaper_class, samples):
    def measure():
        shaper = shaper_class()
        gc.disable()
        start = clock()
        for row in samples:
            shaper.push_data(row)
            shaper.run()
        elapsed = clock() - start
        gc.enable()
        return elapsed / len(samples)

    return best_of(3, measure)


def segment_cycle_parts(files):
    """A cycle that finds a segment, split into the engine's own work and the model's."""
    engine = VelmoraComputing(*files)
    samples, _ = gesture_stream(1, seed=7)
    for row in samples:
        engine.push_data(list(row))
        engine.data_filter()
        if engine.data_segmentation():
            break
    saved = engine.data_m.copy(), engine.last_max_time

    def one_cycle():
        engine.data_m[:] = saved[0]
        engine.last_max_time = 0
        return engine.run()

    assert one_cycle()[0] is not None
    total = best_of(5, lambda: per_call(one_cycle, 2000))
    features = [engine.gest_ut]
    indicator = np.zeros_like(engine.pre_gest)
    indicator[0, 1] = 1
    model = best_of(5, lambda: per_call(lambda: engine.model.predict_proba(features), 2000))
    decode = best_of(5, lambda: per_call(lambda: engine.enc.inverse_transform(indicator), 2000))
    return total, model + decode


def resident_kb():
    with open(f"/proc/{os.getpid()}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def memory_growth(files, calls):
    engine = VelmoraComputing(*files)
    row = [0.01, 0.02, 0.03, 0.1, 0.2, 0.3]
    for _ in range(20000):
        engine.push_data(list(row))
        engine.run()
    before = resident_kb()
    for _ in range(calls):
        engine.push_data(list(row))
        engine.run()
    return resident_kb() - before


def report(name, native, reference, goal):
    ratio = reference / native
    mark = "ok" if ratio >= goal else "below goal"
    print(
        f"{name:<46} native {native * 1e6:9.3f} us   transcription {reference * 1e6:9.3f} us"
        f"   x{ratio:7.1f}   (goal x{goal}: {mark})"
    )


def main():
    with tempfile.TemporaryDirectory() as tmp:
        files = write_model_files(
            pathlib.Path(tmp),
            FakeClassifier([0.1, 0.8, 0.1], list("abc")),
            FakeEncoder(list("abc")),
        )
        report(
            "push_data",
            push_time(VelmoraComputing, files, 200000),
            push_time(ReferenceComputing, files, 50000),
            6,
        )

        native, reference = VelmoraComputing(*files), ReferenceComputing(*files)
        report(
            "run() without a segment",
            best_of(5, lambda: per_call(native.run, 20000)),
            best_of(5, lambda: per_call(reference.run, 2000)),
            25,
        )

        samples, _ = gesture_stream(12, seed=3)
        report(
            "DatasetShaper push_data + run() every push",
            shaper_cycle_time(DatasetShaper, samples),
            shaper_cycle_time(ReferenceShaper, samples[:600]),
            25,
        )

        hour, strokes = gesture_stream(1620, seed=5)
        native_hour = best_of(3, lambda: per_call(lambda: extract_segments(hour), 1))
        part = hour[:15000]
        start = clock()
        reference_extract_segments(part)
        reference_row = (clock() - start) / len(part)
        report(
            f"extract_segments per row ({len(hour)} rows)",
            native_hour / len(hour),
            reference_row,
            200,
        )
        print(
            f"extract_segments on {len(hour)} rows ({len(hour) / 50 / 3600:.2f} h of 50 Hz):"
            f" {native_hour * 1e3:.1f} ms, {len(strokes)} strokes"
        )

        total, model = segment_cycle_parts(files)
        print(
            f"cycle with a segment: {total * 1e6:.2f} us in all, of which the classifier and "
            f"encoder {model * 1e6:.2f} us; the engine's own work {(total - model) * 1e6:.2f} us"
            " (goal: at most 10 us)"
        )

        calls = 1_000_000
        print(
            f"resident size growth over {calls} push_data + run(): "
            f"{memory_growth(files, calls)} kB (goal: under 1024 kB)"
        )


if __name__ == "__main__":
    main()
