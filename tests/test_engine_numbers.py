"""The native engine against its NumPy/SciPy transcription, cycle by cycle.

Every buffer, segment field, feature vector and result must be the same number for number.
"""

import numpy as np
import pytest
from reference import ReferenceComputing
from streams import gesture_stream, random_stream

from velmorakit.middleware.utilities import VelmoraComputing

WINDOW_FIELDS = ["data_m", "acc_filt_m", "vel_filt_m", "time_a", "data_counter"]
SEGMENT_FIELDS = [
    "last_max_time", "min_time_a", "min_index_a", "time_duration", "seg_acc_m",
    "seg_vel_m", "acc_int", "vel_int", "gest_ut", "pre_gest", "gesture",
]


def assert_same(native, reference, what):
    if isinstance(reference, np.ndarray):
        assert isinstance(native, np.ndarray), what
        assert native.dtype == reference.dtype and native.shape == reference.shape, what
        assert np.array_equal(native, reference, equal_nan=True), what
    elif isinstance(reference, list):
        assert isinstance(native, list) and len(native) == len(reference), what
        for a, b in zip(native, reference, strict=True):
            assert_same(a, b, what)
    else:
        assert type(native) is type(reference) and native == reference, (what, native, reference)


def assert_engines_agree(native, reference, segment_cycle):
    for name in WINDOW_FIELDS + [f for f in SEGMENT_FIELDS if hasattr(reference, f)]:
        assert_same(getattr(native, name), getattr(reference, name), name)
    if segment_cycle:
        # The transcription's seg_time_a is a view of data_m that later pushes change.
        assert_same(native.seg_time_a, reference.seg_time_a, "seg_time_a")
    # The magnitude's squares may differ by an ulp where NumPy's power uses SIMD; the filtered
    # magnitude then agrees to rounding.
    np.testing.assert_allclose(native.veltot_filt_a, reference.veltot_filt_a, rtol=1e-12, atol=0)


def drive(native, reference, samples, batch, reset_every=None):
    """Pushes batches into both engines, runs a cycle after each and compares everything."""
    segments = 0
    for start in range(0, len(samples), batch):
        for row in samples[start : start + batch]:
            pushed_native, pushed_reference = list(row), list(row)
            native.push_data(pushed_native)
            reference.push_data(pushed_reference)
            assert pushed_native == pushed_reference
        if reset_every and (start // batch) % reset_every == reset_every - 1:
            native.data_init()
            reference.data_init()
            continue
        result, expected = native.run(), reference.run()
        for a, b in zip(result, expected, strict=True):
            assert_same(a, b, "result")
        assert_engines_agree(native, reference, expected[0] is not None)
        segments += expected[0] is not None
    return segments


@pytest.fixture
def engines(sklearn_model_files):
    return VelmoraComputing(*sklearn_model_files), ReferenceComputing(*sklearn_model_files)


@pytest.mark.parametrize("batch", [1, 7, 10])
def test_gesture_streams_match_transcription(engines, batch):
    samples, strokes = gesture_stream(12, seed=batch)
    assert drive(*engines, samples, batch) >= len(strokes) - 1


@pytest.mark.parametrize("seed", [1, 2])
def test_random_streams_match_transcription(engines, seed):
    # Random values under bursts of a slow envelope, so that segments do occur.
    samples = random_stream(900, seed)
    samples *= 2.0 * np.sin(np.arange(len(samples)) * np.pi / 120.0)[:, None] ** 8
    assert drive(*engines, samples, batch=3) > 5


def test_resets_match_transcription(engines):
    samples, _ = gesture_stream(8, seed=11)
    drive(*engines, samples, batch=10, reset_every=7)


def test_filter_designs_are_scipy_butterworth(engines):
    native, reference = engines
    for name in ["b_acc", "a_acc", "b_vel", "a_vel", "b_veltot", "a_veltot"]:
        assert_same(getattr(native, name), getattr(reference, name), name)
    assert_same(VelmoraComputing._design_filter(5.9, 4, 25.0)[0], reference.b_acc, "order 5.9")
