"""Shared fixtures: a small scikit-learn model trained on simulated strokes."""

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
