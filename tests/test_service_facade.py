"""VelmoraGesture as an application uses it: construction, polling and the two ways to stop."""

import logging
import pickle
import re
import signal
import threading
import time
import types

import pytest
from service_support import (
    IDLE_ROW,
    fake_model_files,
    restored_multiprocessing_logger,
    service_harness,
)

from velmorakit.middleware import velmora_gesture
from velmorakit.middleware.velmora_gesture import VelmoraGesture, VelmoraQueue, VGesture
from velmorakit.models.gesture import GestureConfig


@pytest.fixture
def config(tmp_path):
    return GestureConfig(*fake_model_files(tmp_path))


@pytest.mark.parametrize("cls", [VelmoraQueue, VGesture, VelmoraGesture])
def test_classes_are_found_by_name_as_pickle_and_spawn_need(cls):
    assert cls.__module__ == "velmorakit.middleware.velmora_gesture"
    assert getattr(velmora_gesture, cls.__qualname__) is cls
    assert pickle.loads(pickle.dumps(cls)) is cls


def test_construction_by_position_or_keyword_builds_an_idle_service(config):
    with restored_multiprocessing_logger():
        services = [
            VelmoraGesture(config, None, logging.getLogger("app")),
            VelmoraGesture(
                logger=types.SimpleNamespace(level=10.9), sensor_pipe=None, gesture_model=config
            ),
        ]
        assert all(s.gesture() is None and not s.process.is_alive() for s in services)
        assert services[1].process.logger.level == 10  # a level of 10.9 through int()
        with pytest.raises(AttributeError):
            VelmoraGesture(config, None, object())
        with pytest.raises(TypeError):
            VGesture(config, None, None)


@pytest.mark.parametrize(
    "make, name",
    [(VelmoraQueue, "maxsize"), (lambda v: VGesture(None, None, None, v), "logger_level")],
)
def test_integer_arguments_take_numbers_and_refuse_other_types(make, name):
    with restored_multiprocessing_logger():
        make(10.9)
        message = f"Argument '{name}' has incorrect type (expected int, got str)"
        with pytest.raises(TypeError, match=re.escape(message)):
            make("10")


def test_terminate_on_a_silent_sensor_terminates_the_worker_after_two_seconds(config, start_method):
    with service_harness(config, start_method) as h:
        h.service.start()
        h.sync()  # the worker is waiting for its first sample
        started = time.monotonic()
        h.service.terminate()
        assert time.monotonic() - started >= 1.9
        assert h.wait_for_exit() == -signal.SIGTERM


def test_terminate_while_samples_flow_lets_the_worker_finish_its_cycle(config, start_method):
    with service_harness(config, start_method) as h:
        done = threading.Event()

        def stream():
            while not done.is_set():
                h.sender.send(list(IDLE_ROW))
                time.sleep(0.001)

        h.service.start()
        producer = threading.Thread(target=stream)
        producer.start()
        try:
            h.wait_for_receives(3 * config.num_sample)
            h.service.terminate()
        finally:
            done.set()
            # A worker slow to start (spawn, forkserver) leaves a backlog in the pipe when it
            # stops, and a send into the full pipe would block for ever: drain it.
            while producer.is_alive():
                while h.pipe.conn.poll():
                    h.pipe.conn.recv()
                producer.join(0.01)
        assert h.process.exitcode == 0
