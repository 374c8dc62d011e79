"""Python callbacks that the engine and the shaper make in the middle of a call (an element's
__float__, a row's append, a field's __array__, the model's predict_proba) and that change what
the call is working on.

In a plain build an out-of-bounds access here may pass unnoticed; `make sanitize` turns it into
a failure.
"""

import contextlib

import numpy as np
import pytest
from fakes import FakeClassifier, FakeEncoder, write_model_files
from reference import ReferenceComputing
from streams import gesture_stream

from velmorakit.middleware.utilities.dataset_shaper import DatasetShaper
from velmorakit.middleware.utilities.velmora_computing import VelmoraComputing

LABELS = ["left", "up"]


@pytest.fixture(scope="module")
def model_files(tmp_path_factory):
    model = FakeClassifier([0.1, 0.9], LABELS)
    return write_model_files(tmp_path_factory.mktemp("callbacks"), model, FakeEncoder(LABELS))


@contextlib.contextmanager
def window_rows(cls, rows):
    saved = cls.DATA_DIM
    cls.DATA_DIM = rows
    try:
        yield
    finally:
        cls.DATA_DIM = saved


def test_element_that_empties_its_row_while_being_read(model_files):
    engine = VelmoraComputing(*model_files)

    class Emptying:
        def __float__(self):
            row.clear()
            return 1.5

    row = [Emptying(), 1.0, 2.0, 3.0, 4.0, 5.0]
    engine.push_data(row)
    assert engine.data_m[-1].tolist() == [1.5, 1.0, 2.0, 3.0, 4.0, 5.0, 0.02]
    assert row == [0.02]


def test_append_that_reloads_a_larger_window(model_files):
    engine = VelmoraComputing(*model_files)
    other = VelmoraComputing(*model_files)

    class Row(list):
        def append(self, value):
            VelmoraComputing.DATA_DIM = 400
            other.data_init()  # the engine's constants are now those of a 400-row window
            super().append(value)

    with window_rows(VelmoraComputing, 100):
        engine.push_data(Row([1.0] * 6))
    assert engine.data_m.shape == (100, 7)
    assert engine.data_m[-1].tolist() == [1.0] * 6 + [0.02]


def test_append_that_swaps_the_window_and_counter(model_files):
    """The window is read again after the append, as the transcription reads it."""
    engine = VelmoraComputing(*model_files)

    class Row(list):
        def append(self, value):
            engine.data_m = np.zeros((3, 3))
            engine.data_counter = "many"
            super().append(value)

    with pytest.raises(ValueError, match="data_m"):
        engine.push_data(Row([1.0] * 6))
    assert engine.data_counter == "many"


def test_push_re_entered_from_append_counts_and_stamps_both_rows(model_files):
    def push_nested(owner):
        class Row(list):
            def append(self, value):
                if len(self) == 6 and self[0] == 1.0:
                    owner.push_data([2.0] * 6)
                super().append(value)

        owner.push_data(Row([1.0] * 6))
        return owner.data_counter, owner.data_m[-2:].tolist()

    native = push_nested(VelmoraComputing(*model_files))
    assert native == push_nested(ReferenceComputing(*model_files))
    assert native[1] == [[2.0] * 6 + [0.04], [1.0] * 6 + [0.02]]


def test_filter_design_is_unpacked_before_a_field_setter_runs():
    """The setter empties the list the design came in; reading the second coefficient array
    from it afterwards would read freed memory, which only a sanitizer build reports for sure,
    so the test also checks that the design comes through the instance's _design_filter."""
    designs = []

    class Shaper(DatasetShaper):
        @staticmethod
        def _design_filter(order, cutoff, f_nyq):
            designs.append(list(DatasetShaper._design_filter(order, cutoff, f_nyq)))
            return designs[-1]

        @property
        def b_acc(self):
            return self._b_acc

        @b_acc.setter
        def b_acc(self, value):
            self._b_acc = value
            designs[0].clear()

    shaper = Shaper()
    assert len(designs) == 3
    assert np.array_equal(shaper.a_acc, DatasetShaper._design_filter(5, 4, 25.0)[1])


@pytest.mark.parametrize("make", ["engine", "shaper"])
def test_coefficients_that_reload_a_larger_window_while_filtering(model_files, make):
    def build():
        return VelmoraComputing(*model_files) if make == "engine" else DatasetShaper()

    owner = build()
    cls = type(owner)
    coefficients = owner.b_acc.copy()

    class Coefficients:
        def __array__(self, dtype=None, copy=None):
            cls.DATA_DIM = 4000
            build()  # the class's constants are now those of a 4000-row window
            return coefficients

    owner.b_acc = Coefficients()
    with window_rows(cls, 100):
        owner.data_filter()
    assert owner.acc_filt_m.shape == (100, 3)


def test_model_that_resets_the_engine_mid_cycle(model_files):
    engine = VelmoraComputing(*model_files)
    model = engine.model

    class Resetting:
        classes_ = model.classes_

        def predict_proba(self, features):
            VelmoraComputing.DATA_DIM = 200
            engine.data_init()
            return model.predict_proba(features)

    engine.model = Resetting()
    samples, _ = gesture_stream(2, seed=5)
    found = None
    with window_rows(VelmoraComputing, 100):
        for row in samples:
            if engine.data_m.shape[0] != 100:
                break
            engine.push_data(list(row))
            found = engine.run()
    assert found is not None and found[0] in LABELS
    assert engine.data_m.shape == (200, 7)
