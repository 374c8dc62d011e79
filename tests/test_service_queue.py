"""VelmoraQueue: the insert that gives way to the newest entry, alone and under contention."""

import multiprocessing
import queue
import threading
import time

import pytest

from velmorakit.middleware.velmora_gesture import VelmoraQueue


@pytest.fixture
def make_queue():
    made = []

    def make(maxsize):
        made.append(VelmoraQueue(maxsize))
        return made[-1]

    yield make
    for q in made:
        q.close()
        q.join_thread()


def drain(q):
    items = []
    while True:
        try:
            items.append(q.get(timeout=0.2))
        except queue.Empty:
            return items


@pytest.mark.parametrize("maxsize, kept", [(1, [3]), (2, [2, 3]), (2.9, [2, 3]), (0, [1, 2, 3])])
def test_non_blocking_inserts_keep_the_newest_entries(make_queue, maxsize, kept):
    q = make_queue(maxsize)
    for item in (1, 2, 3):
        q.put_nowait(item)
    assert drain(q) == kept


def test_blocking_insert_waits_for_a_reader_and_discards_nothing(make_queue):
    q = make_queue(1)
    q.put(1)
    writer = threading.Thread(target=q.put, args=(2,))
    writer.start()
    writer.join(0.2)
    assert writer.is_alive()
    assert q.get(timeout=1) == 1
    writer.join(5)
    assert drain(q) == [2]


def test_timed_insert_replaces_the_oldest_entry_only_after_its_timeout(make_queue):
    q = make_queue(1)
    q.put(1)
    started = time.monotonic()
    q.put(2, timeout=0.3)
    assert time.monotonic() - started >= 0.25
    assert drain(q) == [2]


def test_insert_whose_removal_finds_nothing_waits_for_the_slot_without_spinning(make_queue):
    # A reader in the middle of a read holds the reader lock: the removal then finds nothing.
    q = make_queue(1)
    q.put_nowait(1)
    cpu_seconds = []

    def insert():
        start = time.thread_time()
        q.put_nowait(2)
        cpu_seconds.append(time.thread_time() - start)

    writer = threading.Thread(target=insert)
    with q._rlock:
        writer.start()
        writer.join(0.3)
        assert writer.is_alive()
    writer.join(5)
    assert cpu_seconds and cpu_seconds[0] < 0.1
    assert drain(q) == [2]


def produce(q, seconds, last):
    deadline = time.monotonic() + seconds
    item = 0
    while time.monotonic() < deadline:
        item += 1
        q.put_nowait(item)
    last.value = item


def test_replacement_under_a_concurrent_reader_keeps_order_and_never_fails(make_queue):
    q = make_queue(1)
    last = multiprocessing.Value("q", 0)
    producer = multiprocessing.Process(target=produce, args=(q, 2.0, last))
    producer.start()
    seen = []
    while producer.is_alive():
        try:
            seen.append(q.get_nowait())
        except queue.Empty:
            pass
    producer.join()
    seen += drain(q)
    assert producer.exitcode == 0  # put_nowait never raised
    assert len(seen) > 100
    assert all(a < b for a, b in zip(seen, seen[1:], strict=False))
    assert seen[-1] == last.value  # the last insert stayed queued
