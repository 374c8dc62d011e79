"""Latency that a live source adds: from a line leaving the sensor's side to its row in the pipe.

A source process reads a pseudo-terminal (as a serial port) or a UDP socket on the loopback
address; this process writes one line every 20 ms, time-stamped on the 50 Hz grid so that
each line completes one row, and takes the time until `recv()` on the sensor pipe returns
that row. The figure covers the transport, decoding, conditioning (acceleration only, so
the velocity estimator runs too) and the pipe.
"""

import os
import socket
import statistics
import time

from velmorakit.conditioning import CHECK_SAMPLES
from velmorakit.workbench.sources.decoding import Format
from velmorakit.workbench.sources.kinds import parse_source
from velmorakit.workbench.sources.process import SourceProcess

LINES = 250
WARM_UP = 20
INTERVAL_S = 0.02


def started(settings) -> SourceProcess:
    source = SourceProcess(settings)
    source.start()
    while not source.counters.ready:
        time.sleep(0.01)
    return source


def measure(source: SourceProcess, write, line_of) -> list[float]:
    # The first lines are held back until their stamps have told the unit: not measured.
    for k in range(CHECK_SAMPLES):
        write(line_of(k))
        time.sleep(INTERVAL_S)
    for _ in range(CHECK_SAMPLES):
        source.receiver.recv()
    latencies = []
    for k in range(CHECK_SAMPLES, LINES):
        line = line_of(k)
        begin = time.perf_counter()
        write(line)
        source.receiver.recv()
        latencies.append(time.perf_counter() - begin)
        time.sleep(INTERVAL_S)
    source.stop()
    return latencies[WARM_UP:]


def csv_line(k: int) -> bytes:
    return f"{20 * k},0.{k % 7},-0.{k % 5},9.81\n".encode()


def json_line(k: int) -> bytes:
    return f'{{"t": {20 * k}, "ax": 0.{k % 7}, "ay": -0.{k % 5}, "az": 9.81}}\n'.encode()


def serial_case() -> list[float]:
    master, slave = os.openpty()
    source = started(parse_source(f"serial:{os.ttyname(slave)}", fmt=Format()))
    try:
        return measure(source, lambda line: os.write(master, line), csv_line)
    finally:
        os.close(master)
        os.close(slave)


def udp_case(line_of) -> list[float]:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    source = started(parse_source(f"udp:{port}", fmt=Format()))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        return measure(source, lambda line: sender.sendto(line, ("127.0.0.1", port)), line_of)


def report(name: str, latencies: list[float]) -> None:
    ms = sorted(1000 * x for x in latencies)
    p90 = ms[int(0.9 * (len(ms) - 1))]
    print(
        f"{name:<22} median {statistics.median(ms):.3f} ms   90th percentile {p90:.3f} ms   "
        f"max {ms[-1]:.3f} ms   ({len(ms)} lines)"
    )


def main() -> None:
    print("latency from a line written to its row received from the sensor pipe:")
    report("serial (pty), CSV", serial_case())
    report("UDP, CSV", udp_case(csv_line))
    report("UDP, JSON", udp_case(json_line))


if __name__ == "__main__":
    main()
