"""The gesture service end to end: result latency and the worker's CPU share.

Latency: from sending the last sample of a batch that completes an accepted gesture to
gesture() returning it, with the application polling every 0.5 ms; the worker is idle in its
receive when that sample goes out. The engine cycle on the same segments, and the classifier's
own part of it (predict_proba and inverse_transform), are printed beside it. CPU: the worker's
user and system time while samples arrive in real time at 50 Hz, as a share of one core (read
from /proc, so Linux only).
"""

import logging
import multiprocessing
import os
import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from conftest import stroke_labels  # noqa: E402
from fakes import train_tiny_sklearn_model, write_model_files  # noqa: E402
from reference import reference_extract_segments  # noqa: E402
from service_support import batches, expected_results, rows_of  # noqa: E402
from streams import gesture_stream  # noqa: E402

from velmorakit.middleware.utilities import VelmoraComputing  # noqa: E402
from velmorakit.middleware.velmora_gesture import VelmoraGesture  # noqa: E402
from velmorakit.models.gesture import GestureConfig  # noqa: E402

POLL_SEC = 0.0005
IDLE_SEC = 0.02  # lets the worker finish the batch before and wait in its receive
SAMPLE_RATE = VelmoraComputing.F_SAMP
CPU_SECONDS = 10


def model_files(directory):
    samples, strokes = gesture_stream(60, seed=100)
    vectors, bounds = reference_extract_segments(samples)
    model, encoder = train_tiny_sklearn_model(vectors[:, 1:], stroke_labels(bounds, strokes))
    return write_model_files(pathlib.Path(directory), model, encoder)


def engine_times(files, rows, config, accepted):
    """Seconds of the engine cycle and of the classifier alone (predict_proba plus
    inverse_transform) on each accepted segment, each after the same idle pause as in the
    latency measurement, so that both start from caches as cold as the worker's."""
    engine = VelmoraComputing(*files)
    cycles, classifier = [], []
    for index, batch in enumerate(batches(rows, config.num_sample)):
        for row in batch:
            engine.push_data(list(row))
        if index not in accepted:
            engine.run()
            continue
        time.sleep(IDLE_SEC)
        start = time.perf_counter()
        engine.run()
        cycles.append(time.perf_counter() - start)
        indicator = np.zeros_like(engine.pre_gest)
        indicator[0, engine.pre_gest.argmax()] = 1
        time.sleep(IDLE_SEC)
        start = time.perf_counter()
        engine.model.predict_proba([engine.gest_ut])
        engine.enc.inverse_transform(indicator)
        classifier.append(time.perf_counter() - start)
    return cycles, classifier


def latencies(service, sender, rows, config, accepted):
    found = []
    for index, batch in enumerate(batches(rows, config.num_sample)):
        for row in batch[:-1]:
            sender.send(row)
        if index not in accepted:
            sender.send(batch[-1])
            continue
        time.sleep(IDLE_SEC)
        start = time.perf_counter()
        sender.send(batch[-1])
        while (result := service.gesture()) is None:
            time.sleep(POLL_SEC)
        found.append(time.perf_counter() - start)
        assert result == accepted[index], (result, accepted[index])
    return found


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_share(service, sender, rows):
    """The worker's CPU share over CPU_SECONDS of a real-time stream, after a 2 s warm-up."""
    start = time.monotonic()
    marks = {}
    for i, row in enumerate(rows):
        delay = start + i / SAMPLE_RATE - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        sender.send(row)
        service.gesture()
        if i in (2 * SAMPLE_RATE, (2 + CPU_SECONDS) * SAMPLE_RATE):
            marks[i] = (time.monotonic(), cpu_seconds(service.process.pid))
    (wall0, cpu0), (wall1, cpu1) = marks.values()
    return (cpu1 - cpu0) / (wall1 - wall0)


def percentile(values, share):
    return sorted(values)[min(len(values) - 1, int(share * len(values)))]


def main():
    with tempfile.TemporaryDirectory() as directory:
        files = model_files(directory)
        config = GestureConfig(*files)
        rows = rows_of(gesture_stream(80, seed=11)[0])
        accepted = expected_results(files, rows, config)
        receiving, sender = multiprocessing.Pipe(duplex=False)
        service = VelmoraGesture(config, receiving, logging.getLogger("bench"))
        service.start()
        try:
            found = latencies(service, sender, rows, config, accepted)
            cycles, classifier = engine_times(files, rows, config, accepted)
            realtime = rows_of(gesture_stream(40, seed=12)[0])[: (4 + CPU_SECONDS) * SAMPLE_RATE]
            share = cpu_share(service, sender, realtime)
        finally:
            service.terminate()
    ms = 1e3
    print(f"gestures measured            {len(found)}")
    print(f"latency median               {statistics.median(found) * ms:.3f} ms")
    print(f"latency 99th percentile      {percentile(found, 0.99) * ms:.3f} ms")
    print(f"latency of the first result  {found[0] * ms:.3f} ms (starts the queue's feeder thread)")
    print(f"engine cycle median          {statistics.median(cycles) * ms:.3f} ms")
    print(f"  of which the classifier    {statistics.median(classifier) * ms:.3f} ms")
    print(f"worker CPU at 50 Hz          {share * 100:.2f} % of one core")


if __name__ == "__main__":
    main()
