"""Live sources: decoding faulty byte streams, and real serial and UDP transports feeding a pipe."""

import json
import logging
import math
import os
import socket
import threading
import time
from types import SimpleNamespace

import numpy as np
import pytest

from velmorakit.conditioning import DT, GravityRemover, VelocityEstimator
from velmorakit.conditioning.gravity import orientation_filter_missing
from velmorakit.workbench.sources.decoding import Format, LineDecoder
from velmorakit.workbench.sources.kinds import parse_source
from velmorakit.workbench.sources.process import SourceProcess
from velmorakit.workbench.sources.pump import SLOTS, Counters, _Sender
from velmorakit.workbench.sources.transports import UdpTransport

serial = pytest.importorskip("serial")


def _feed_in_pieces(decoder, data: bytes, seed: int) -> list:
    """Bytes in random pieces, as a serial port hands them over."""
    cuts = np.sort(np.random.default_rng(seed).integers(0, len(data), 40))
    pieces = np.split(np.frombuffer(data, dtype=np.uint8), cuts)
    return [row for piece in pieces for row in decoder.feed(piece.tobytes())]


def test_jittered_time_stamps_become_50_hz_rows_with_estimated_velocity():
    rng = np.random.default_rng(4)
    t_ms = 3.0 + np.cumsum(rng.uniform(8.0, 12.0, 300))  # about 100 Hz
    acc = np.column_stack([np.sin(t_ms / 90), np.cos(t_ms / 70), 9.8 + 0.1 * np.sin(t_ms / 50)])
    text = "".join(
        f"{t!r},{a!r},{b!r},{c!r},1,2,3\n"
        for t, (a, b, c) in zip(t_ms.tolist(), acc.tolist(), strict=True)
    )

    rows = np.array(_feed_in_pieces(LineDecoder(Format()), text.encode(), seed=1))

    grid = (t_ms[0] + 20.0 * np.arange(len(rows))) / 1000
    expected_acc = np.column_stack([np.interp(grid, t_ms / 1000, acc[:, i]) for i in range(3)])
    np.testing.assert_allclose(rows[:, :3], expected_acc, rtol=1e-12, atol=1e-12)
    # The default fields end in a gyroscope (1, 2, 3 deg/s), which removes gravity where
    # imufusion is installed.
    linear = rows[:, :3]
    if orientation_filter_missing() is None:
        remover = GravityRemover()
        linear = np.array([remover.step(a, (1.0, 2.0, 3.0)) for a in linear])
    np.testing.assert_array_equal(rows[:, 3:], VelocityEstimator().run(linear))
    assert len(rows) == int((t_ms[-1] - t_ms[0]) // 20) + 1


def test_faulty_lines_are_skipped_counted_and_logged_once_per_kind(caplog):
    good = [f"{20 * k},0.{k % 10},0.5,0.25\n" for k in range(12)]
    stream = (
        "t,ax,ay,az\n"  # a header renames nothing here but is no sample
        + good[0]
        + good[1]
        + "40,999,\xff\xfe\x00garbage\n"  # not printable text
        + good[2]
        + good[3]
        + "80,nan,1,1\n100,1,inf,1\n"  # not finite
        + '{"t": 90, "ax": 1'
        + "0" * 400
        + ', "ay": 0, "az": 0}\n'  # too large for a float
        + good[4]
        + "hello\n120,999\n"  # no sample of the configured columns
        + good[5]
        + "60,999,999,999\n"
        + "100,999,999,999\n"  # time going back / repeating
        + good[6]
        + good[7]
        + "5000,0.1,0.1,0.1\n"  # a jump: restarts the grid
        + good[8]
        + "5020,999,9"  # cut off by the end of the stream
    ).encode("latin-1")
    decoder = LineDecoder(Format(columns="t=t,ax=ax,ay=ay,az=az"))
    with caplog.at_level(logging.WARNING, logger="velmorakit.sources"):
        rows = _feed_in_pieces(decoder, stream, seed=2)
        decoder.finish()

    assert decoder.drops.counts == {
        "garbage": 1,
        "malformed": 2,
        "nonfinite": 3,
        "partial": 1,
        "out_of_order": 2,
        "foreign": 0,
    }
    assert decoder.read == 9 + 1 + 9  # good and jumped lines, and every dropped one
    assert decoder.gaps == 2  # 160 ms -> 5000 ms, then 5000 -> 180 ms going back
    assert list(decoder.gaps_before.values()) == [pytest.approx(5.0 - 0.14), math.inf]
    assert len(caplog.records) == 5  # one line per kind
    assert np.abs(rows).max() < 1  # nothing of a corrupted line reached a row


def test_a_replay_pauses_where_the_recording_noted_a_gap():
    row = "0,0,9.8,0,0,0,"
    lines = ["ax,ay,az,vx,vy,vz,label,gap_s", *[row + ","] * 5, row + ",0.5", row + ",inf", row]
    decoder = LineDecoder(Format())
    rows = decoder.feed(("\n".join(lines) + "\n").encode())
    assert len(rows) == 8 and decoder.gaps_before == {5: 0.5, 6: math.inf}

    sent = []
    pipe = SimpleNamespace(send=lambda row: sent.append(time.monotonic()))
    speed = 10  # rows 2 ms apart; the noted gap 0.05 s, and the one of unknown length 0.204 s
    sender = _Sender(pipe, Counters([0.0] * len(SLOTS)), pace_hz=50 * speed)
    for row in rows:
        sender.send(row, decoder.gaps_before.pop(sender.sent, DT))
    elapsed = np.array(sent) - sent[0]
    slack = 1e-3
    assert elapsed[5] >= (5 * DT + 0.5 - DT) / speed - slack
    assert elapsed[6] >= (6 * DT + 0.5 - DT + 2.04 - DT) / speed - slack


def test_json_objects_and_nested_fields_map_to_columns():
    fmt = Format(columns="t=time,ax=acc.0,ay=acc.1,az=acc.2", time_unit="s", units="g")
    decoder = LineDecoder(fmt)
    lines = [{"time": k / 50, "acc": [0.1 * k, 0.0, 1.0], "gyro": {"x": 3}} for k in range(5)]
    rows = decoder.feed(b"".join(json.dumps(obj).encode() + b"\n" for obj in lines))
    rows += decoder.feed(b'{"time": 1.0}\n[1, 2]\n{"time": \n') + decoder.finish()
    assert np.array(rows)[:, 0] == pytest.approx(9.80665 * 0.1 * np.arange(5))
    assert decoder.drops.counts["malformed"] == 3


def _started(settings) -> SourceProcess:
    source = SourceProcess(settings)
    source.start()
    deadline = time.monotonic() + 20
    while not source.counters.ready:
        assert time.monotonic() < deadline and source.process.is_alive()
        time.sleep(0.01)
    return source


def _receive_all(source: SourceProcess, timeout: float = 20.0) -> list:
    rows, deadline = [], time.monotonic() + timeout
    while time.monotonic() < deadline:
        if source.receiver.poll(0.1):
            try:
                rows.append(source.receiver.recv())
            except EOFError:
                return rows
    raise AssertionError("the source never ended its stream")


def test_serial_port_at_50_hz_with_a_burst_and_the_writer_closing_mid_line():
    master, slave = os.openpty()
    settings = parse_source(f"serial:{os.ttyname(slave)}", fmt=Format(fields="t,ax,ay,az"))
    source = _started(settings)
    values = np.round(np.random.default_rng(5).normal(0, 1, (150, 3)), 6)
    lines = [f"{20 * k},{a},{b},{c}\r\n".encode() for k, (a, b, c) in enumerate(values)]

    def write():
        for k, line in enumerate(lines):
            os.write(master, line)
            if k < 50 or k >= 100:  # rows 50..99 arrive as a burst ten times too fast
                time.sleep(0.02)
            else:
                time.sleep(0.002)
        os.write(master, b"3000,1.5,2.")
        time.sleep(0.2)  # half a line is read; a pseudo-terminal discards what is not
        os.close(master)  # the port disappears

    writer = threading.Thread(target=write)
    writer.start()
    rows = np.array(_receive_all(source))
    writer.join()
    source.stop()
    os.close(slave)

    np.testing.assert_allclose(rows[:, :3], values, rtol=1e-12)  # time stamps on the grid
    counters = source.counters
    assert (counters.read, counters.sent, counters.dropped, counters.partial) == (151, 150, 1, 1)
    assert source.process.exitcode == 0


def test_udp_datagrams_of_csv_and_json_lines_until_the_sender_goes_silent():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    settings = parse_source(f"udp:{port}", fmt=Format(fields="ax,ay,az,vx,vy,vz"), silence_s=1.0)
    source = _started(settings)
    sent = np.round(np.random.default_rng(6).normal(0, 1, (40, 6)), 6)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for k in range(0, 40, 2):  # two samples per datagram, every other one as JSON
            first = ",".join(map(str, sent[k]))
            second = json.dumps(dict(zip("ax ay az vx vy vz".split(), sent[k + 1], strict=True)))
            sender.sendto(f"{first}\n{second}".encode(), ("127.0.0.1", port))
            time.sleep(0.04)
        sender.sendto(b"\x00\x01\x02garbage", ("127.0.0.1", port))
    rows = np.array(_receive_all(source))  # silence, then the end of the stream
    source.stop()

    np.testing.assert_array_equal(rows, sent)
    assert (source.counters.read, source.counters.garbage) == (41, 1)


@pytest.mark.parametrize(
    "host, allow", [("127.0.0.1", ()), ("0.0.0.0", ()), ("127.0.0.1", ("localhost",))]
)
def test_udp_takes_its_first_sender_or_the_allowed_hosts_and_warns_beyond_loopback(
    caplog, host, allow
):
    with caplog.at_level(logging.INFO, logger="velmorakit.sources"):
        transport = UdpTransport(host, 0, silence_s=1.0, allow=allow)
        port = transport.sock.getsockname()[1]
        with (
            transport,
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as first,
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other,
        ):
            for k, sender in enumerate([first, other, first, other, other]):
                sender.sendto(f"{k},{k},{k}".encode(), ("127.0.0.1", port))
                time.sleep(0.01)
            received = [transport.receive(1.0) for _ in range(5)]

    if allow:
        assert received == [f"{k},{k},{k}\n".encode() for k in range(5)]
    else:  # the stream is locked to the first sender; the other's datagrams are not data
        assert received == [b"0,0,0\n", b"", b"2,2,2\n", b"", b""]
    assert transport.drops.counts["foreign"] == (0 if allow else 3)
    messages = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    assert sum("from the network" in m for m in messages) == (host == "0.0.0.0")
    assert sum("sender the stream does not accept" in m for m in messages) == (not allow)
