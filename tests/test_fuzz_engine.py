"""VelmoraComputing under random rows, replaced fields and constants, and stage calls in any order.

Every case must end in a value or an ordinary exception; a refused sample must leave the engine
as it was.
"""

import contextlib
import math

import numpy as np
import pytest
from fakes import FakeClassifier, FakeEncoder, write_model_files
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
    shaped_float_arrays,
)
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from reference import TUNING_CONSTANTS
from streams import gesture_stream

from velmorakit.middleware.utilities.velmora_computing import VelmoraComputing

fuzz = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])

STAGES = [
    "data_init",
    "data_filter",
    "data_segmentation",
    "data_interpolation",
    "run_nn",
    "get_gesture",
    "get_displacement",
    "run",
    "push",
]
FIELD_SHAPES = {
    **WINDOW_FIELD_SHAPES,
    "acc_int": (50, 3),
    "vel_int": (50, 3),
    "gest_ut": (300,),
    "pre_gest": (1, 3),
    "gesture": None,
    "time_duration": None,
    "rec_gesture": None,
    "model": None,
    "enc": None,
}
CONSTANTS = TUNING_CONSTANTS
LABELS = ["left", "up", "push"]
STREAM, _ = gesture_stream(6, seed=7)


class JunkModel:
    """A classifier whose answers are whatever the test drew."""

    def __init__(self, probabilities, classes):
        self.probabilities = probabilities
        self.classes_ = classes

    def predict_proba(self, X):
        return self.probabilities


class JunkEncoder:
    def __init__(self, decoded):
        self.decoded = decoded

    def inverse_transform(self, indicator):
        return self.decoded


@pytest.fixture(scope="module")
def model_files(tmp_path_factory):
    model = FakeClassifier([0.2, 0.7, 0.1], LABELS)
    return write_model_files(tmp_path_factory.mktemp("fuzz"), model, FakeEncoder(LABELS))


def warmed_engine(model_files):
    """An engine that has classified one gesture, so that every stage field exists."""
    engine = VelmoraComputing(*model_files)
    for row in STREAM:
        engine.push_data(list(row))
        if engine.run()[0] is not None:
            return engine
    raise AssertionError("the stream holds no gesture")


def call_stage(engine, stage, rows):
    if stage == "push":
        for row in rows:
            engine.push_data(list(row))
        return None
    result = getattr(engine, stage)()
    if stage == "run":
        assert isinstance(result, tuple) and len(result) == 4
    if stage == "data_segmentation":
        assert isinstance(result, bool)
    return result


def field_values(name):
    values = junk_values(FIELD_SHAPES[name])
    if name == "model":
        probabilities = st.one_of(junk_values((1, 3)), shaped_float_arrays((1, 1)))
        return st.one_of(values, st.builds(JunkModel, probabilities, junk_values((3,))))
    if name == "enc":
        return st.one_of(values, st.builds(JunkEncoder, junk_values((1, 1))))
    return values


@contextlib.contextmanager
def class_constant(name, value):
    saved = getattr(VelmoraComputing, name)
    setattr(VelmoraComputing, name, value)
    try:
        yield
    finally:
        setattr(VelmoraComputing, name, saved)


def constant_values(name):
    if name.startswith("FILT_"):
        return st.one_of(
            st.tuples(filter_orders, any_float), st.lists(filter_orders, max_size=3), scalars
        )
    small = st.integers(min_value=-5, max_value=300)
    return st.one_of(small, st.sampled_from(BOUNDARY_INTS[:8]), any_float, st.none(), st.text())


def expected_float(value):
    """The float a row element must become, or None if the engine must refuse it."""
    if isinstance(value, str | bytes):
        return None  # float() parses text; the engine takes numbers only
    try:
        result = float(value)
    except (TypeError, ValueError, OverflowError):
        return None
    return result if isinstance(result, float) else None


class TestSampleRows:
    @fuzz
    @given(rows=st.lists(sample_rows, min_size=1, max_size=12))
    def test_each_row_is_pushed_whole_or_not_at_all(self, model_files, rows):
        engine = VelmoraComputing(*model_files)
        for row in rows:
            before_counter, before_window = engine.data_counter, engine.data_m.copy()
            before_row = list(row) if isinstance(row, list) else None
            pushed, _ = ok_or_raises(engine.push_data, row)
            if not pushed:
                assert engine.data_counter == before_counter
                assert np.array_equal(engine.data_m, before_window, equal_nan=True)
                if before_row is not None:
                    assert len(row) == len(before_row)
                continue
            assert isinstance(row, list) and len(before_row) == 6
            values = [expected_float(v) for v in before_row]
            assert None not in values
            assert engine.data_counter == before_counter + 1
            assert row[6] == engine.data_counter * VelmoraComputing.NEW_DATA_INT_SEC
            assert np.array_equal(engine.data_m[-1, :6], values, equal_nan=True)
            assert np.array_equal(engine.data_m[:-1], before_window[1:], equal_nan=True)
            ok, result = ok_or_raises(engine.run)
            assert ok and len(result) == 4

    @fuzz
    @given(
        rows=st.lists(st.lists(any_float, min_size=6, max_size=6), min_size=1, max_size=40),
        at=st.integers(min_value=0, max_value=300),
    )
    def test_non_finite_rows_inside_a_gesture_give_no_segment_until_they_leave(
        self, model_files, rows, at
    ):
        engine = VelmoraComputing(*model_files)
        stream = [list(r) for r in STREAM[:at]] + rows + [list(r) for r in STREAM[at:]]
        last_bad = None
        for i, row in enumerate(stream):
            if not all(math.isfinite(v) for v in row):
                last_bad = i
            engine.push_data(row)
            if engine.run()[0] is not None and last_bad is not None:
                assert i - last_bad >= VelmoraComputing.DATA_DIM


class TestStageOrder:
    @fuzz
    @given(stages=st.lists(st.sampled_from(STAGES), min_size=1, max_size=25))
    def test_any_order_of_stages_from_a_fresh_engine(self, model_files, stages):
        engine = VelmoraComputing(*model_files)
        rows = iter(np.array_split(STREAM, len(STREAM) // 10))
        for stage in stages:
            segment_fields = hasattr(engine, "min_time_a")
            ok, error = ok_or_raises(call_stage, engine, stage, next(rows, []))
            if stage == "data_interpolation" and not segment_fields:
                assert isinstance(error, AttributeError)
            if stage in ("data_init", "data_filter", "data_segmentation", "run", "push"):
                assert ok, error

    def test_stages_before_any_segment_name_the_missing_field(self, model_files):
        engine = VelmoraComputing(*model_files)
        for stage, missing in [
            ("data_interpolation", "min_time_a"),
            ("run_nn", "gest_ut"),
            ("get_gesture", "pre_gest"),
            ("get_displacement", "min_index_a"),
        ]:
            with pytest.raises(AttributeError, match=missing):
                getattr(engine, stage)()


class TestReplacedState:
    @fuzz
    @given(data=st.data())
    @example(data=None).via("a counter at the largest int64 cannot count another sample")
    def test_replaced_field_then_any_stages(self, model_files, data):
        engine = warmed_engine(model_files)
        if data is None:
            name, stages = "data_counter", ["push", "run"]
            engine.data_counter = 2**63 - 1
        else:
            name = data.draw(st.sampled_from(sorted(FIELD_SHAPES)), label="field")
            setattr(engine, name, data.draw(field_values(name), label="value"))
            stages = data.draw(st.lists(st.sampled_from(STAGES), min_size=1, max_size=8))
        for stage in stages:
            ok_or_raises(call_stage, engine, stage, STREAM[:3])
        # Restoring a sound field of that name makes the engine work again.
        fresh = warmed_engine(model_files)
        setattr(engine, name, getattr(fresh, name))
        engine.data_counter = fresh.data_counter
        engine.data_m = fresh.data_m.copy()
        ok, result = ok_or_raises(engine.run)
        assert ok, result

    @fuzz
    @given(data=st.data())
    def test_replaced_class_constant_then_any_stages(self, model_files, data):
        name = data.draw(st.sampled_from(CONSTANTS), label="constant")
        value = data.draw(constant_values(name), label="value")
        stages = data.draw(st.lists(st.sampled_from(STAGES), min_size=1, max_size=8))
        with class_constant(name, value):
            built, engine = ok_or_raises(VelmoraComputing, *model_files)
            if built:
                for stage in stages:
                    ok_or_raises(call_stage, engine, stage, STREAM[200:230])
        assert warmed_engine(model_files).run()[0] is None  # the constants are back

    @fuzz
    @given(order=filter_orders, cutoff=scalars, f_nyq=scalars)
    def test_design_filter_arguments(self, order, cutoff, f_nyq):
        ok_or_raises(VelmoraComputing._design_filter, order, cutoff, f_nyq)

    @fuzz
    @given(acc=st.one_of(junk_values(), st.lists(any_float, max_size=30)))
    def test_calc_displacement_arguments(self, acc):
        ok, value = ok_or_raises(VelmoraComputing.calc_displacement, acc)
        if ok and isinstance(acc, list) and len(acc) < 2:
            assert value == 0
