"""The engine's class surface, its guards against bad input, and the stages' edge cases."""

import inspect
import pickle
import sys
import weakref

import numpy as np
import pytest
from fakes import FakeClassifier, FakeEncoder, write_model_files
from reference import TUNING_CONSTANTS, ReferenceComputing
from streams import gesture_stream

from velmorakit.middleware.utilities import VelmoraComputing
from velmorakit.middleware.utilities.dataset_shaper import DatasetShaper

LABELS = ["left", "up", "push"]


@pytest.fixture
def make_engine(tmp_path):
    def make(probabilities=(0.125, 0.75, 0.125), labels=LABELS, encoder_labels=None):
        model = FakeClassifier(probabilities, labels)
        encoder = FakeEncoder(encoder_labels or labels)
        return VelmoraComputing(*write_model_files(tmp_path, model, encoder))

    return make


def test_class_surface_matches_the_engine_contract(make_engine):
    assert VelmoraComputing.__module__ == "velmorakit.middleware.utilities.velmora_computing"
    for name in TUNING_CONSTANTS:
        value = getattr(VelmoraComputing, name)
        assert type(value) is type(getattr(ReferenceComputing, name)), name
        assert value == getattr(ReferenceComputing, name), name
    assert VelmoraComputing.__annotations__["rec_gesture"] == (str | None)
    engine = make_engine()
    assert (engine.rec_gesture, engine.rec_gesture_prob, engine.confidence, engine.disp) == (
        None,
        0,
        0,
        0,
    )
    assert "rec_gesture" not in vars(engine) and not hasattr(engine, "gest_ut")
    assert engine.data_m.shape == (100, 7) and not engine.data_m.any()
    assert engine.run() == (None, 0, 0, 0)
    assert pickle.loads(pickle.dumps(engine)).data_counter == 0
    assert str(inspect.signature(VelmoraComputing)) == "(model_path, encoder_path)"
    with pytest.raises(TypeError, match="requires a 'VelmoraComputing' object"):
        VelmoraComputing.__init__(object(), "m", "e")


def test_constructor_checks_paths_before_opening_files(tmp_path, make_engine):
    with pytest.raises(
        TypeError,
        match=r"^Argument 'model_path' has incorrect type "
        r"\(expected str, got PosixPath\)$",
    ):
        VelmoraComputing(tmp_path / "m", "e")

    class Text(str):
        pass

    with pytest.raises(TypeError, match="'encoder_path'.*got Text"):
        VelmoraComputing("missing-model", Text("e"))
    with pytest.raises(FileNotFoundError, match="missing-model"):
        VelmoraComputing("missing-model", "missing-encoder")
    model_path, _ = write_model_files(tmp_path, FakeClassifier([0.5, 0.5], LABELS[:2]), None)
    with pytest.raises(FileNotFoundError, match="missing-encoder"):
        VelmoraComputing(model_path=model_path, encoder_path="missing-encoder")
    (tmp_path / "bad").write_bytes(b"not a pickle")
    with pytest.raises(pickle.UnpicklingError):
        VelmoraComputing(str(tmp_path / "bad"), model_path)


def test_design_filter_arguments():
    assert np.array_equal(
        VelmoraComputing._design_filter(5.9, 4, 25.0)[1],
        VelmoraComputing._design_filter(5, 4, 25.0)[1],
    )
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        VelmoraComputing._design_filter(5, 4, 0)
    with pytest.raises(TypeError, match=r"'order' has incorrect type \(expected int, got str\)"):
        VelmoraComputing._design_filter("5", 4, 25.0)


@pytest.mark.parametrize(
    "row, error",
    [
        ([1, 2, 3, 4, 5], ValueError),
        ([1, 2, 3, 4, 5, 6, 7], ValueError),
        ([1, 2, "x", 4, 5, 6], TypeError),
        ([1, 2, None, 4, 5, 6], TypeError),
        ((1, 2, 3, 4, 5, 6), AttributeError),
        (np.arange(6.0), AttributeError),
        (5, AttributeError),
    ],
)
def test_bad_rows_change_nothing(make_engine, row, error):
    engine = make_engine()
    engine.push_data([9, 9, 9, 9, 9, 9])
    before = engine.data_m.copy()
    original = list(row) if isinstance(row, list) else None
    with pytest.raises(error):
        engine.push_data(row)
    assert engine.data_counter == 1 and np.array_equal(engine.data_m, before)
    if original is not None:
        assert row == original
    engine.push_data([1, 2, 3, 4, 5, 6])
    assert engine.data_m[-1].tolist() == [1, 2, 3, 4, 5, 6, 0.04]


def test_push_appends_the_stamp_and_reset_keeps_the_counter(make_engine):
    engine = make_engine()
    row = [1, 2, 3, 4, 5, 6]
    engine.push_data(row)
    assert row == [1, 2, 3, 4, 5, 6, 0.02] and engine.data_m[-1].tolist() == row
    for _ in range(249):
        engine.push_data([0.0] * 6)
    engine.data_init()
    engine.push_data([0.0] * 6)
    assert engine.data_counter == 251 and engine.data_m[-1, 6] == 251 * 0.02
    assert not engine.data_m[:-1].any()


def _window_with_peak(engine, value_at=70, peak=1.5):
    """A window whose velocity magnitude holds one smooth bump around row `value_at`."""
    rows = np.arange(100)
    bump = peak * np.exp(-0.5 * ((rows - value_at) / 4.0) ** 2)
    for r in rows:
        engine.push_data([0.1 * bump[r], 0.0, 0.0, 2.0 * bump[r], 0.0, 0.0])
    return engine


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_values_give_no_segment_until_they_slide_out(make_engine, bad):
    engine = make_engine()
    for column in (0, 4):
        engine.data_init()
        _window_with_peak(engine)
        engine.data_m[20, column] = bad
        assert engine.run() == (None, 0, 0, 0)
    clean = _window_with_peak(make_engine())
    assert clean.run()[0] == "up"
    engine.data_m[:] = clean.data_m
    assert engine.run()[0] == "up"


@pytest.mark.parametrize(
    "probabilities, labels, expected_prob, expected_conf",
    [
        ((0.125, 0.75, 0.125), LABELS, 0.75, 6),
        ((0.2, 0.7, 0.1), LABELS, 0.7, 3),
        ((0.4, 0.4, 0.2), LABELS, 0.4, 1),
        ((0.0, 1.0, 0.0), LABELS, 1.0, sys.maxsize),
        ((0.0, 0.0, 0.0), LABELS, 0.0, 0),
        ((0.8, 0.2), ["up"], 0.8, 4),
        ((0.3, 0.7), ["up"], 0, 0),
        ((0.9,), ["up"], 0.9, sys.maxsize),
    ],
)
def test_confidence_cases(make_engine, probabilities, labels, expected_prob, expected_conf):
    engine = _window_with_peak(make_engine(probabilities, labels, encoder_labels=labels))
    label, prob, conf, _ = engine.run()
    assert (prob, conf) == (expected_prob, expected_conf)
    assert type(conf) is int
    assert label in labels and engine.gesture == f"[['{label}']]"


def test_displacement_window_and_axis(make_engine):
    engine = make_engine()
    engine.data_m[:, 0:3] = np.random.default_rng(1).normal(size=(100, 3))
    reference = ReferenceComputing.__new__(ReferenceComputing)
    reference.data_m = engine.data_m
    for bounds, label in [
        ([30, 60], "left"),
        ([3, 40], "backward"),
        ([2, 6], "down"),
        ([62, 81], "Up"),
        ([95, 99], "up"),
    ]:
        engine.min_index_a = reference.min_index_a = bounds
        engine.gesture = reference.gesture = f"[['{label}']]"
        engine.get_displacement()
        reference.get_displacement()
        assert type(engine.disp) is type(reference.disp) and engine.disp == reference.disp
    engine.gesture = "[[up]]"
    with pytest.raises(IndexError):
        engine.get_displacement()
    assert VelmoraComputing.calc_displacement([100, 100, 100]) == 0.08
    assert VelmoraComputing.calc_displacement([0, 50, 100, 50, 0]) == 0.16
    assert VelmoraComputing.calc_displacement([]) == 0
    assert type(VelmoraComputing.calc_displacement([1.0])) is int


@pytest.mark.parametrize(
    "field, value, error",
    [
        ("data_m", [[0.0] * 7] * 100, TypeError),
        ("data_m", np.zeros((99, 7)), ValueError),
        ("data_m", np.zeros((100, 7), dtype=np.int64), TypeError),
        ("data_m", np.zeros((100, 14))[:, ::2], TypeError),
        ("b_acc", np.zeros(0), ValueError),
        ("a_vel", np.zeros(40), ValueError),
        ("a_acc", "coefficients", TypeError),
    ],
)
def test_replaced_fields_raise(make_engine, field, value, error):
    engine = make_engine()
    setattr(engine, field, value)
    with pytest.raises(error):
        engine.push_data([0.0] * 6) if field == "data_m" else engine.run()


def test_stage_fields_missing_or_wrong_raise(make_engine):
    engine = make_engine()
    for stage in (
        engine.data_interpolation,
        engine.run_nn,
        engine.get_gesture,
        engine.get_displacement,
    ):
        with pytest.raises(AttributeError):
            stage()
    engine.veltot_filt_a = np.zeros(100)[::-1]  # a reversed view is read as it is
    assert engine.data_segmentation() is False
    engine.time_a = np.zeros(3)
    with pytest.raises(ValueError, match="time_a has shape"):
        engine.data_segmentation()
    engine.min_time_a, engine.seg_time_a = [0.0, 1.0], np.array([0.0, 0.5, 0.2])
    engine.seg_acc_m = engine.seg_vel_m = np.zeros((3, 3))
    with pytest.raises(ValueError):
        engine.data_interpolation()
    engine.seg_time_a = np.array([0.0, 0.5, 0.9])
    with pytest.raises(ValueError, match="above the interpolation range"):
        engine.data_interpolation()


def test_modified_tuning_constants_take_effect(make_engine, monkeypatch):
    engine = _window_with_peak(make_engine(), peak=0.1)
    engine.data_filter()
    assert engine.data_segmentation() is False
    monkeypatch.setattr(VelmoraComputing, "MAX_TH", 0.01)
    assert engine.data_segmentation() is True
    monkeypatch.setattr(VelmoraComputing, "LEFT_MAX_WIN", 500)
    with pytest.raises(ValueError, match="LEFT_MAX_WIN"):
        engine.data_segmentation()


def test_a_kept_output_array_keeps_its_values(make_engine):
    """The filter outputs are written over in place only where nobody else can see them: an
    array kept by the caller, through a weak reference, or by a subclass's property keeps its
    values through later cycles, in the engine and the shaper alike."""

    class Keeping(DatasetShaper):
        @property
        def acc_filt_m(self):
            return self.__dict__["acc_filt_m"]

        @acc_filt_m.setter
        def acc_filt_m(self, value):
            self.__dict__["acc_filt_m"] = value
            self.__dict__.setdefault("given", []).append((value, value.copy()))

    rng = np.random.default_rng(8)
    for owner in (make_engine(), DatasetShaper(), Keeping()):
        for cycle in range(6):
            owner.push_data(list(rng.normal(size=6)))
            owner.run()
            if cycle % 2:
                continue
            strong = owner.veltot_filt_a
            weak = weakref.ref(owner.vel_filt_m)
            kept = strong.copy(), weak().copy()
            owner.push_data(list(rng.normal(size=6)))
            owner.run()
            assert owner.veltot_filt_a is not strong and np.array_equal(strong, kept[0])
            assert weak() is None or np.array_equal(weak(), kept[1])
    assert len(owner.given) == 1 + 9  # the constructor's array, then one each cycle
    assert all(np.array_equal(array, copy) for array, copy in owner.given)


def test_every_output_is_assigned_as_an_attribute_like_the_transcription(tmp_path):
    """A subclass's __setattr__ sees the same assignments, in the same order, as in the
    transcription; and an array handed out earlier never changes under its holder."""
    files = write_model_files(
        tmp_path, FakeClassifier((0.2, 0.8), LABELS[:2]), FakeEncoder(LABELS[:2])
    )

    def recording(base):
        class Recording(base):
            def __setattr__(self, name, value):
                if hasattr(self, "assigned"):
                    self.assigned.append(name)
                super().__setattr__(name, value)

        owner = Recording(*files)
        owner.assigned = []
        return owner

    native, reference = recording(VelmoraComputing), recording(ReferenceComputing)
    earlier = weakref.ref(native.acc_filt_m)
    snapshot = native.acc_filt_m.copy()
    samples, _ = gesture_stream(2, seed=4)
    for row in samples:
        for owner in (native, reference):
            owner.push_data(list(row))
            owner.run()
        assert earlier() is None or np.array_equal(earlier(), snapshot)
    assert "gest_ut" in reference.assigned
    assert native.assigned == reference.assigned
