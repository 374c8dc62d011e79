"""Where the native modules meet the limits of the host: errors Python itself would raise,
conversions that must not turn one error into another, integer ranges on 32- and 64-bit
builds, and C++ exceptions at the module boundary.
"""

import os
import subprocess
import sys
import textwrap

import pytest
from fakes import FakeClassifier, FakeEncoder, write_model_files
from streams import gesture_stream

from velmorakit.middleware.utilities.dataset_shaper import DatasetShaper, extract_segments
from velmorakit.middleware.utilities.velmora_computing import VelmoraComputing


@pytest.fixture(scope="module")
def model_files(tmp_path_factory):
    labels = ["left", "up"]
    model = FakeClassifier([0.1, 0.9], labels)
    return write_model_files(tmp_path_factory.mktemp("limits"), model, FakeEncoder(labels))


def test_unpacking_a_filter_design_fails_as_the_interpreter_does():
    for pair, message in [
        (([1.0],), r"^not enough values to unpack \(expected 2, got 1\)$"),
        (([1.0], [1.0], [1.0]), r"^too many values to unpack \(expected 2\)$"),
    ]:

        class Shaper(DatasetShaper):
            _design_filter = staticmethod(lambda order, cutoff, f_nyq, pair=pair: pair)

        with pytest.raises(ValueError, match=message):
            Shaper()


class Failing:
    """A value whose conversions raise the given exception."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __array__(self, dtype=None, copy=None):
        raise self.error


@pytest.mark.parametrize("make", ["engine", "shaper"])
@pytest.mark.parametrize(
    "value, error",
    [
        (Failing(MemoryError()), MemoryError),
        (Failing(KeyboardInterrupt()), KeyboardInterrupt),
        (10**400, OverflowError),
    ],
    ids=["memory", "interrupt", "huge int"],
)
def test_conversions_keep_the_error_they_met(model_files, make, value, error):
    owner = VelmoraComputing(*model_files) if make == "engine" else DatasetShaper()
    with pytest.raises(error):
        owner.push_data([value, 0.0, 0.0, 0.0, 0.0, 0.0])
    assert owner.data_counter == 0
    if not isinstance(value, Failing):
        return
    owner.b_acc = value
    with pytest.raises(error):
        owner.data_filter()


def test_integer_arguments_beyond_the_native_range_overflow():
    samples, _ = gesture_stream(2, seed=3)
    vectors, bounds = extract_segments(samples, sys.maxsize)
    assert vectors.shape == (0, 301) and bounds.shape == (0, 2)
    for step in (sys.maxsize + 1, 2 * sys.maxsize + 3, 2**64 + 1):
        with pytest.raises(OverflowError):
            extract_segments(samples, step)


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", "") or sys.platform != "linux",
    reason="needs a plain build on Linux to cap the address space",
)
def test_allocation_failure_in_native_code_is_a_memory_error():
    """With the address space capped just above what the interpreter holds, the extractor's
    working buffers cannot be allocated: the call must raise MemoryError, not abort."""
    code = textwrap.dedent(
        """
        import resource

        import numpy as np
        from velmorakit.middleware.utilities.dataset_shaper import extract_segments

        extract_segments(np.zeros((200, 6)))  # imports and caches what a call needs
        samples = np.zeros((1_000_000, 6))
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) for line in status if line.startswith("VmSize"))
        cap = size * 1024 + 8_000_000
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        try:
            bytearray(64_000_000)
            print("not enforced")  # user-mode emulators leave the host's limit alone
            raise SystemExit
        except MemoryError:
            pass
        try:
            extract_segments(samples)
        except MemoryError:
            print("MemoryError")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    if done.stdout.strip() == "not enforced":
        pytest.skip("the address-space limit is not enforced here")
    assert (done.returncode, done.stdout.strip()) == (0, "MemoryError"), done.stderr[-2000:]
