"""Shared fixtures: a small scikit-learn model trained on simulated strokes, and the start
methods that the gesture service must work with."""

import importlib.util
import os
import threading

import pytest
from fakes import train_tiny_sklearn_model, write_model_files
from reference import reference_extract_segments
from streams import gesture_stream


def stroke_labels(bounds, strokes):
    """The label of the stroke that overlaps each segment most."""
    labels = []
    for start, end in bounds:
        overlaps = [min(end, s.end) - max(start, s.start) for s in strokes]
        labels.append(strokes[max(range(len(strokes)), key=overlaps.__getitem__)].label)
    return labels


@pytest.fixture(scope="session")
def sklearn_model_files(tmp_path_factory):
    samples, strokes = gesture_stream(60, seed=100)
    vectors, bounds = reference_extract_segments(samples)
    model, encoder = train_tiny_sklearn_model(vectors[:, 1:], stroke_labels(bounds, strokes))
    return write_model_files(tmp_path_factory.mktemp("model"), model, encoder)


# fork is the default on Linux up to Python 3.13, forkserver from 3.14; spawn is the only one
# elsewhere. Each passes the worker to the child differently (inherited memory, or pickled).
@pytest.fixture(params=["fork", "forkserver", "spawn"])
def start_method(request):
    return request.param


# Threads other than the forking one that were alive at each fork of the running test.
_threads_at_fork = []


def _note_threads_at_fork():
    others = [t.name for t in threading.enumerate() if t is not threading.current_thread()]
    if others:
        _threads_at_fork.append(others)


os.register_at_fork(before=_note_threads_at_fork)


@pytest.fixture(autouse=True)
def no_fork_beside_other_threads():
    """A thread alive when a worker is forked may hold a lock that then stays held in the child
    for ever. Python only warns about it (and an `error` filter silences that warning), so each
    test fails here instead. OpenBLAS's thread pool does not count: it stops itself before a fork.
    """
    _threads_at_fork.clear()
    yield
    assert not _threads_at_fork, f"forked while these threads ran: {_threads_at_fork}"


@pytest.fixture(autouse=True)
def emulated_prediction_costs(monkeypatch):
    """Under the ARM emulator one predict_proba costs about five times what it costs here
    (the perceptron and logistic regression 1 ms, with derived features 1.9 ms), and more
    while the other suite runs beside it: training's 2 ms budget would then leave out
    candidates by chance. There, in the workbench's tree, a cost counts a tenth."""
    emulated = "VELMORA_ARM_SYSROOT" in os.environ
    if not emulated or importlib.util.find_spec("tqdm") is None:
        return
    from velmorakit.workbench.learning import selection

    measured = selection.predict_cost_ms
    monkeypatch.setattr(selection, "predict_cost_ms", lambda *args: measured(*args) / 10)
