"""DatasetShaper and extract_segments against the transcription and the engine."""

import numpy as np
import pytest
from reference import ReferenceShaper, reference_extract_segments
from streams import gesture_stream, random_stream

from velmorakit.middleware.utilities.dataset_shaper import DatasetShaper, extract_segments


def test_class_surface():
    assert DatasetShaper.FILT_ACC == [5, 4] and DatasetShaper.NEW_DATA_INT_SEC == 0.02
    assert not hasattr(DatasetShaper, "rec_gesture") and not hasattr(DatasetShaper, "data_init")
    shaper = DatasetShaper()
    assert (shaper.left, shaper.right, shaper.data_counter) == (0, 98, 0)
    assert not hasattr(shaper, "time_duration") and shaper.run() is False
    sample = (1, 2, 3, 4, 5, 6)
    shaper.push_data(sample)
    shaper.push_data(np.array([[1, 2, 3], [4, 5, 6]], dtype=np.float32))
    assert shaper.data_m[-2].tolist() == [1, 2, 3, 4, 5, 6, 0.02]
    assert shaper.data_m[-1].tolist() == [1, 2, 3, 4, 5, 6, 0.04]


@pytest.mark.parametrize("sample", [[], [1, 2, 3, 4, 5], list(range(7)), ["a"] * 6, None])
def test_bad_samples_change_nothing(sample):
    shaper = DatasetShaper()
    shaper.push_data([1.0] * 6)
    before = shaper.data_m.copy()
    with pytest.raises((ValueError, TypeError)):
        shaper.push_data(sample)
    assert shaper.data_counter == 1 and np.array_equal(shaper.data_m, before)


def test_class_matches_transcription_push_by_push():
    samples, strokes = gesture_stream(10, seed=21)
    native, reference = DatasetShaper(), ReferenceShaper()
    found = 0
    for row in samples:
        native.push_data(row)
        reference.push_data(row)
        got, expected = native.run(), reference.run()
        if expected is False:
            assert got is False
            continue
        found += 1
        assert np.array_equal(got, expected)
        assert (native.left, native.right) == (reference.left, reference.right)
        assert native.min_index_a == reference.min_index_a
        assert native.min_time_a == reference.min_time_a
        assert native.run() is False and native.left == reference.left
    assert found == len(strokes)


@pytest.mark.parametrize("step", [1, 3, 10])
def test_extract_segments_equals_the_class_loop(step):
    gestures, _ = gesture_stream(15, seed=step)
    noisy = random_stream(1500, seed=step)
    noisy *= 2.0 * np.sin(np.arange(len(noisy)) * np.pi / 110.0)[:, None] ** 8
    for samples in (gestures, noisy):
        vectors, bounds = extract_segments(samples, step)
        expected_vectors, expected_bounds = reference_extract_segments(samples, step)
        assert len(expected_vectors) > 3
        assert bounds.dtype == np.int64 and vectors.shape[1] == 301
        assert np.array_equal(vectors, expected_vectors)
        assert np.array_equal(bounds, expected_bounds)


def test_extract_segments_around_non_finite_rows():
    samples, strokes = gesture_stream(12, seed=4)
    samples[strokes[2].start + 5, 1] = np.nan
    samples[strokes[6].start + 3 : strokes[6].start + 6, 4] = np.inf
    vectors, bounds = extract_segments(samples.tolist())
    shaper, expected = DatasetShaper(), []
    for row in samples:
        shaper.push_data(row)
        vector = shaper.run()
        if vector is not False:
            expected.append(vector)
    # The two strokes with bad rows give nothing; the others their usual segments.
    assert len(vectors) == len(expected) == len(strokes) - 2
    assert np.array_equal(vectors, np.array(expected)) and np.isfinite(vectors).all()


def test_extract_segments_rejects_bad_input():
    with pytest.raises(ValueError, match="two-dimensional"):
        extract_segments(np.zeros(12))
    with pytest.raises(ValueError, match="6 columns"):
        extract_segments(np.zeros((10, 7)))
    with pytest.raises(ValueError, match="step"):
        extract_segments(np.zeros((10, 6)), step=0)
    vectors, bounds = extract_segments(np.zeros((0, 6)))
    assert vectors.shape == (0, 301) and bounds.shape == (0, 2)


def test_vectors_equal_the_engines_features(sklearn_model_files):
    from velmorakit.middleware.utilities import VelmoraComputing

    samples, strokes = gesture_stream(6, seed=8)
    engine, shaper = VelmoraComputing(*sklearn_model_files), DatasetShaper()
    matched = 0
    for row in samples:
        engine.push_data(list(row))
        shaper.push_data(row)
        label, *_ = engine.run()
        vector = shaper.run()
        assert (label is None) == (vector is False)
        if vector is not False:
            matched += 1
            assert vector[0] == 1.0 and np.array_equal(vector[1:], engine.gest_ut)
    assert matched == len(strokes)


def test_shaper_module_loads_no_other_extension():
    import subprocess
    import sys

    code = (
        "import sys\n"
        "from velmorakit.middleware.utilities.dataset_shaper import DatasetShaper\n"
        "DatasetShaper()\n"
        "assert not any('velmora_computing' in m or 'velmora_gesture' in m for m in sys.modules)\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)
