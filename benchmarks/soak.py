"""Soak: a long stream through the engine, the shaper and the running service, watching the
resident memory of every process involved.

    python benchmarks/soak.py [--samples N]

The engine and the shaper each take N samples (default 1,000,000) with a cycle after every
10th push; the service takes the same count through its pipe as fast as the worker reads it,
which is many times real time (50 samples a second). Resident memory is read after a warm-up
of 10% of the stream and at its end; growth under 1 MB per process passes. Exits non-zero on
a failure. Not part of `make test`: it runs for a few minutes.
"""

import argparse
import logging
import multiprocessing
import pathlib
import sys
import tempfile
import time
import types

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from fakes import FakeClassifier, FakeEncoder, write_model_files  # noqa: E402
from streams import gesture_stream  # noqa: E402

from velmorakit.middleware.utilities import VelmoraComputing  # noqa: E402
from velmorakit.middleware.utilities.dataset_shaper import DatasetShaper  # noqa: E402
from velmorakit.middleware.velmora_gesture import VelmoraGesture  # noqa: E402
from velmorakit.models.gesture import GestureConfig  # noqa: E402

LABELS = ["right", "left", "up"]
BATCH = 10
WARM_UP_SHARE = 0.1
GROWTH_LIMIT_KB = 1024


def resident_kb(pid="self"):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc status")


def looped_rows(n):
    """n rows cycling over a gesture stream with a few bad rows, as plain lists."""
    samples, _ = gesture_stream(40, seed=21)
    rows = samples.tolist()
    rows[500] = [float("nan")] * 6
    rows[1500] = [1e308] * 6
    return (rows[i % len(rows)] for i in range(n))


def soak_in_process(name, make, push, cycle, n):
    """Pushes n rows, a cycle every BATCH; returns (resident growth in kB, segments)."""
    target = make()
    warm_up = int(n * WARM_UP_SHARE)
    segments, base = 0, None
    for i, row in enumerate(looped_rows(n), start=1):
        push(target, row)
        if i % BATCH == 0:
            segments += cycle(target)
        if i == warm_up:
            base = resident_kb()
    growth = resident_kb() - base
    print(f"{name}: {n} samples, {segments} segments, resident growth {growth} kB")
    return growth


def engine_soak(files, n):
    def cycle(engine):
        return engine.run()[0] is not None

    return soak_in_process(
        "engine", lambda: VelmoraComputing(*files), lambda e, r: e.push_data(list(r)), cycle, n
    )


def shaper_soak(n):
    def cycle(shaper):
        return shaper.run() is not False

    return soak_in_process("shaper", DatasetShaper, lambda s, r: s.push_data(r), cycle, n)


def service_soak(files, n):
    """Streams n rows through a running service; returns the growth of (application, worker)."""
    config = GestureConfig(*files, num_sample=BATCH)
    receiving, sender = multiprocessing.Pipe(duplex=False)
    service = VelmoraGesture(config, receiving, types.SimpleNamespace(level=logging.WARNING))
    service.start()
    warm_up = int(n * WARM_UP_SHARE)
    results, bases = 0, None
    started = time.perf_counter()
    try:
        for i, row in enumerate(looped_rows(n), start=1):
            sender.send(row)
            if i % 1000 == 0 and service.gesture() is not None:
                results += 1
            if i == warm_up:
                bases = resident_kb(), resident_kb(service.process.pid)
        # The pipe is ordered: once this idle batch is read, everything before it was handled.
        for _ in range(BATCH):
            sender.send([0.0] * 6)
        time.sleep(0.5)
        growth = resident_kb() - bases[0], resident_kb(service.process.pid) - bases[1]
        alive = service.process.is_alive()
    finally:
        sender.close()
        service.terminate()
    elapsed = time.perf_counter() - started
    print(
        f"service: {n} samples in {elapsed:.1f} s ({n / 50 / elapsed:.0f}x real time), "
        f"{results} results polled, resident growth application {growth[0]} kB, "
        f"worker {growth[1]} kB, worker alive to the end: {alive}"
    )
    return growth if alive else (float("inf"),) * 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000)
    n = parser.parse_args().samples
    with tempfile.TemporaryDirectory() as directory:
        files = write_model_files(
            pathlib.Path(directory), FakeClassifier([0.7, 0.2, 0.1], LABELS), FakeEncoder(LABELS)
        )
        growths = [engine_soak(files, n), shaper_soak(n), *service_soak(files, n)]
    worst = max(growths)
    print(f"largest resident growth: {worst} kB (limit {GROWTH_LIMIT_KB} kB)")
    return 0 if worst < GROWTH_LIMIT_KB else 1


if __name__ == "__main__":
    sys.exit(main())
