"""DatasetShaper and extract_segments under random samples, replaced fields and constants, stage
calls in any order, and recordings with non-finite and extreme rows.
"""

import contextlib

import numpy as np
from hostile_inputs import (
    BOUNDARY_INTS,
    EXAMPLES,
    WINDOW_FIELD_SHAPES,
    any_float,
    filter_orders,
    junk_values,
    ok_or_raises,
    sample_rows,
    scalars,
)
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from reference import TUNING_CONSTANTS, ReferenceShaper
from streams import gesture_stream

from velmorakit.middleware.utilities.dataset_shaper import DatasetShaper, extract_segments

fuzz = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])

STAGES = ["data_filter", "data_segmentation", "data_interpolation", "run", "push"]
FIELD_SHAPES = {
    **WINDOW_FIELD_SHAPES,
    "left": None,
    "right": None,
}
CONSTANTS = TUNING_CONSTANTS
STREAM, _ = gesture_stream(5, seed=11)


def warmed_shaper():
    """A shaper that has cut one segment, so that every stage field exists."""
    shaper = DatasetShaper()
    for row in STREAM:
        shaper.push_data(row)
        if shaper.run() is not False:
            return shaper
    raise AssertionError("the stream holds no gesture")


def call_stage(shaper, stage, rows):
    if stage == "push":
        for row in rows:
            shaper.push_data(row)
        return None
    result = getattr(shaper, stage)()
    if stage == "run":
        assert result is False or (isinstance(result, np.ndarray) and result.shape == (301,))
    return result


def as_six_floats(row):
    """The six values NumPy makes of a sample, or None if it makes no six floats of it."""
    try:
        values = np.asarray(row, dtype=float).ravel()
    except Exception:  # noqa: BLE001 - NumPy refuses in many ways
        return None
    return values if values.size == 6 else None


def shaper_segments(samples, step):
    """What a DatasetShaper fed every row makes of a recording, run after every step-th push."""
    shaper, vectors, bounds = DatasetShaper(), [], []
    for i, row in enumerate(samples, start=1):
        shaper.push_data(row)
        if i % step == 0 and (vector := shaper.run()) is not False:
            vectors.append(vector)
            bounds.append([i - shaper.DATA_DIM + shaper.left, i - shaper.DATA_DIM + shaper.right])
    return np.array(vectors).reshape(-1, 301), np.array(bounds, dtype=np.int64).reshape(-1, 2)


@contextlib.contextmanager
def class_constant(name, value, classes=(DatasetShaper,)):
    saved = [getattr(cls, name) for cls in classes]
    for cls in classes:
        setattr(cls, name, value)
    try:
        yield
    finally:
        for cls, old in zip(classes, saved, strict=True):
            setattr(cls, name, old)


@st.composite
def valid_tunings(draw):
    """Segmentation constants that both the extension and the transcription accept."""
    rows = draw(st.integers(min_value=20, max_value=150))
    right = draw(st.integers(min_value=0, max_value=rows - 1))
    return {
        "DATA_DIM": rows,
        "RIGHT_MAX_WIN": right,
        "LEFT_MAX_WIN": draw(st.integers(min_value=right + 1, max_value=rows)),
        "LFT_MIN_WIN": draw(st.integers(min_value=0, max_value=rows - 1)),
        "MAX_TH": draw(st.floats(min_value=0.05, max_value=1.0)),
        "MAX_TIME_TH": draw(st.sampled_from([0, 0.5, 1, 2.5])),
        "MIN_TH": draw(st.floats(min_value=1.05, max_value=8.0)),
    }


class TestSamples:
    @fuzz
    @given(rows=st.lists(sample_rows, min_size=1, max_size=12))
    def test_each_sample_is_pushed_whole_or_not_at_all(self, rows):
        shaper = DatasetShaper()
        for row in rows:
            counter, window = shaper.data_counter, shaper.data_m.copy()
            expected = as_six_floats(row)
            pushed, _ = ok_or_raises(shaper.push_data, row)
            if not pushed:
                assert shaper.data_counter == counter
                assert np.array_equal(shaper.data_m, window, equal_nan=True)
                continue
            assert expected is not None
            assert shaper.data_counter == counter + 1
            assert np.array_equal(shaper.data_m[-1, :6], expected, equal_nan=True)
            assert shaper.data_m[-1, 6] == shaper.data_counter * DatasetShaper.NEW_DATA_INT_SEC
            ok, result = ok_or_raises(shaper.run)
            assert ok, result

    @fuzz
    @given(
        bad_rows=st.lists(
            st.tuples(
                st.integers(0, len(STREAM) - 1), hnp.arrays(np.float64, 6, elements=any_float)
            ),
            max_size=6,
        ),
        scale=st.sampled_from([1.0, 1e-3, 1e3, 1e150]),
        step=st.integers(min_value=1, max_value=12),
    )
    def test_extract_segments_equals_a_shaper_fed_every_row(self, bad_rows, scale, step):
        samples = STREAM * scale
        for at, row in bad_rows:
            samples[at] = row
        vectors, bounds = extract_segments(samples, step)
        expected_vectors, expected_bounds = shaper_segments(samples, step)
        assert np.array_equal(bounds, expected_bounds)
        assert np.array_equal(vectors, expected_vectors, equal_nan=True)

    @fuzz
    @given(samples=st.one_of(junk_values(), junk_values((40, 6))), step=scalars)
    def test_extract_segments_arguments(self, samples, step):
        if isinstance(step, int) and step > 10**6:
            step = 10**6  # a larger step reads no more
        ok, result = ok_or_raises(extract_segments, samples, step)
        if ok:
            vectors, bounds = result
            assert vectors.shape[1:] == (301,) and bounds.shape == (len(vectors), 2)


class TestModifiedTuning:
    @fuzz
    @given(tuning=valid_tunings())
    @example(tuning={"LFT_MIN_WIN": 99}).via("the start bound may not lie at or below the peak")
    def test_segments_equal_the_transcription(self, tuning):
        with contextlib.ExitStack() as stack:
            for name, value in tuning.items():
                stack.enter_context(class_constant(name, value, (DatasetShaper, ReferenceShaper)))
            native, reference = DatasetShaper(), ReferenceShaper()
            for row in STREAM[:500]:
                native.push_data(row)
                reference.push_data(row)
                got, expected = native.run(), reference.run()
                if expected is False:
                    assert got is False
                else:
                    assert np.array_equal(got, expected)
                    assert (native.left, native.right) == (reference.left, reference.right)


class TestStageOrder:
    @fuzz
    @given(stages=st.lists(st.sampled_from(STAGES), min_size=1, max_size=25))
    def test_any_order_of_stages_from_a_fresh_shaper(self, stages):
        shaper = DatasetShaper()
        rows = iter(np.array_split(STREAM, len(STREAM) // 10))
        for stage in stages:
            segment_fields = hasattr(shaper, "min_time_a")
            ok, error = ok_or_raises(call_stage, shaper, stage, next(rows, []))
            if stage == "data_interpolation" and not segment_fields:
                assert isinstance(error, AttributeError)
            elif stage != "data_interpolation":
                assert ok, error


class TestReplacedState:
    @fuzz
    @given(data=st.data())
    def test_replaced_field_then_any_stages(self, data):
        shaper = warmed_shaper()
        name = data.draw(st.sampled_from(sorted(FIELD_SHAPES)), label="field")
        setattr(shaper, name, data.draw(junk_values(FIELD_SHAPES[name]), label="value"))
        for stage in data.draw(st.lists(st.sampled_from(STAGES), min_size=1, max_size=8)):
            ok_or_raises(call_stage, shaper, stage, STREAM[:3])

    @fuzz
    @given(data=st.data())
    def test_replaced_class_constant_then_any_stages(self, data):
        name = data.draw(st.sampled_from(CONSTANTS), label="constant")
        if name.startswith("FILT_"):
            value = data.draw(
                st.one_of(st.lists(filter_orders, max_size=3), st.tuples(filter_orders, any_float))
            )
        else:
            value = data.draw(
                st.one_of(st.integers(-5, 300), st.sampled_from(BOUNDARY_INTS[:8]), any_float)
            )
        stages = data.draw(st.lists(st.sampled_from(STAGES), min_size=1, max_size=8))
        with class_constant(name, value):
            built, shaper = ok_or_raises(DatasetShaper)
            if built:
                for stage in stages:
                    ok_or_raises(call_stage, shaper, stage, STREAM[200:230])
            ok_or_raises(extract_segments, STREAM[:400])
        assert len(extract_segments(STREAM)[0]) == len(shaper_segments(STREAM, 1)[0])
