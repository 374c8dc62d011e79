"""Self-checks of the NumPy/SciPy oracle and of the test streams that feed it."""

import numpy as np
import pytest
from fakes import FakeClassifier, FakeEncoder, train_tiny_sklearn_model, write_model_files
from reference import ReferenceComputing, reference_extract_segments
from streams import gesture_stream

LABELS = ["left", "up", "push"]


@pytest.fixture
def make_engine(tmp_path):
    def make(probabilities=(0.125, 0.75, 0.125), labels=LABELS, model=None, encoder=None):
        model = model or FakeClassifier(probabilities, labels)
        encoder = encoder or FakeEncoder(labels)
        return ReferenceComputing(*write_model_files(tmp_path, model, encoder))

    return make


def recognise(engine, samples):
    """Push every row and run a cycle after each; yields (result, gest_ut) per segment."""
    for row in samples:
        engine.push_data(list(row))
        result = engine.run()
        if result[0] is not None:
            yield result, engine.gest_ut.copy()


def test_filter_designs_match_butterworth_figures():
    b_acc, a_acc = ReferenceComputing._design_filter(5.9, 4, 25.0)
    b_veltot, a_veltot = ReferenceComputing._design_filter(1, 1.3, 25.0)
    np.testing.assert_allclose(b_acc[[0, 1, 2]], [0.000489436, 0.00244718, 0.00489436], rtol=5e-6)
    np.testing.assert_allclose(a_acc, [1, -3.37801, 4.75178, -3.43971, 1.274, -0.192389], rtol=5e-6)
    np.testing.assert_allclose([b_veltot[0], a_veltot[1]], [0.075669, -0.848662], rtol=5e-6)


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("step", [1, 10])
def test_every_stroke_gives_one_segment_around_it(seed, step):
    samples, strokes = gesture_stream(8, seed)
    vectors, bounds = reference_extract_segments(samples, step)
    assert vectors.shape == (len(strokes), 301)
    assert np.all(vectors[:, 0] == 1.0)
    for (start, end), stroke in zip(bounds, strokes, strict=True):
        # The causal filters lag: the segment opens inside the stroke and closes near its end.
        assert stroke.start < start < stroke.end and abs(end - stroke.end) <= 10


def test_engine_features_equal_shaper_vectors_and_carry_the_fake_label(make_engine):
    samples, strokes = gesture_stream(5, seed=3)
    found = list(recognise(make_engine(), samples))
    vectors, _ = reference_extract_segments(samples)
    assert len(found) == len(strokes)
    for (result, gest_ut), vector in zip(found, vectors, strict=True):
        assert np.array_equal(gest_ut, vector[1:])
        assert result[:3] == ("up", 0.75, 6)


@pytest.mark.parametrize(
    ("probabilities", "labels", "expected"),
    [
        ([0.2, 0.7, 0.1], LABELS, ("up", 0.7, 3)),
        ([0.4, 0.4, 0.2], LABELS, ("left", 0.4, 1)),
        ([0.55, 0.45], ["push", "up"], ("push", 0.55, 1)),
        ([0.8, 0.2], ["up"], ("up", 0.8, 4)),
        ([0.3, 0.7], ["up"], ("up", 0, 0)),
    ],
)
def test_classification_through_fakes(make_engine, probabilities, labels, expected):
    samples, _ = gesture_stream(1, seed=4, labels=("up", "down"))
    (result, _), *_ = recognise(make_engine(probabilities, labels), samples)
    assert result[:3] == expected
    assert type(result[2]) is int


def test_displacement_integrates_the_named_axis(make_engine):
    assert ReferenceComputing.calc_displacement([100, 100, 100]) == 0.08
    assert ReferenceComputing.calc_displacement([0, 50, 100, 50, 0]) == 0.16
    assert ReferenceComputing.calc_displacement([5.0]) == 0
    samples, strokes = gesture_stream(3, seed=5, labels=("up", "down"))
    displacements = [result[3] for result, _ in recognise(make_engine(), samples)]
    assert np.sign(displacements) == pytest.approx([np.sign(s.signed_distance) for s in strokes])
    pushes = [result[3] for result, _ in recognise(make_engine(labels=["x", "push", "y"]), samples)]
    assert pushes == [0, 0, 0]


def test_tiny_sklearn_model_recognises_strokes_end_to_end(make_engine):
    train, train_strokes = gesture_stream(60, seed=6)
    vectors, _ = reference_extract_segments(train)
    model, encoder = train_tiny_sklearn_model(vectors[:, 1:], [s.label for s in train_strokes])
    samples, strokes = gesture_stream(6, seed=7)
    found = recognise(make_engine(model=model, encoder=encoder), samples)
    assert [result[0] for result, _ in found] == [s.label for s in strokes]
