"""Acceptance thresholds chosen end to end, on what an application would receive.

The training recordings are replayed through the engine as the worker feeds it; every
segment the engine cuts is classified by the model of the cross-validation fold that held
that stretch of the recording out, so no segment is judged by a model that learnt from it.
The passes are then scored exactly as `evaluate` scores a live run (the one-slot queue,
second results for one gesture, motion between gestures, "no gesture" rejections) over a grid
of thresholds, and the cell that recognises the most gestures while at most a given share of
the results are spurious is chosen.
"""

import pickle
import tempfile
from collections import defaultdict
from collections.abc import Callable
from dataclasses import dataclass, replace
from pathlib import Path

import numpy as np

from ...middleware.utilities.velmora_computing import VelmoraComputing
from ...models.gesture import GestureConfig
from ...models.rejection import NO_GESTURE
from ..learning.thresholds import DEFAULT_CONFIDENCE_TH, DEFAULT_PROB_TH
from ..simulation.synthetic import GestureEvent
from .attribution import Attributed, attribute
from .evaluation import EnginePass, run_engine
from .scoring import Evaluation, Sweep, Thresholds, score, sweep

CONFIDENCES = (1, 2, 3, 4, 5, 6, 8, 10, 14, 20)
PROBABILITIES = (0.0, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9)
DEFAULTS = (DEFAULT_CONFIDENCE_TH, DEFAULT_PROB_TH)  # the gesture service's own thresholds


@dataclass
class FoldMap:
    """Where each training segment lies in its recording, and which fold held it out."""

    bounds: dict[str, np.ndarray]  # recording name -> k x 2 first and last row
    folds: dict[str, np.ndarray]  # recording name -> k fold numbers

    @classmethod
    def build(cls, sources, bounds, splits) -> "FoldMap":
        """From the training rows' recordings and bounds (None where unknown) and the
        cross-validation's (train, test) splits over the same rows."""
        fold = np.full(len(sources), -1)
        for k, (_, test) in enumerate(splits):
            fold[test] = k
        by_name_bounds, by_name_folds = defaultdict(list), defaultdict(list)
        for source, bound, f in zip(sources, bounds, fold, strict=True):
            if bound is not None and f >= 0:
                by_name_bounds[source].append(bound)
                by_name_folds[source].append(f)
        return cls(
            {n: np.array(b).reshape(-1, 2) for n, b in by_name_bounds.items()},
            {n: np.array(f) for n, f in by_name_folds.items()},
        )

    def fold_of(self, name: str, start: int, end: int) -> int:
        """The fold of the training segment that overlaps rows start..end most (the nearest
        one if none overlaps); fold 0 for a recording no training segment came from."""
        bounds = self.bounds.get(name)
        if bounds is None:
            return 0
        overlap = np.minimum(bounds[:, 1], end) - np.maximum(bounds[:, 0], start)
        if overlap.max() >= 0:
            return int(self.folds[name][overlap.argmax()])
        middles = bounds.mean(axis=1)
        return int(self.folds[name][np.abs(middles - (start + end) / 2).argmin()])


def out_of_fold(engine_pass: EnginePass, name: str, fold_map: FoldMap, models, classes):
    """The pass with every segment classified again by the model of its own fold."""
    from ..learning.selection import fold_probabilities
    from ..learning.thresholds import engine_figures

    segments = engine_pass.segments
    by_fold = defaultdict(list)
    for k, seg in enumerate(segments):
        by_fold[fold_map.fold_of(name, seg.start, seg.end)].append(k)
    classes = np.array(classes)
    relabelled = {}
    for fold, ks in by_fold.items():
        model = models[fold]
        x = np.stack([segments[k].features for k in ks])
        if model is None:  # a fold that had one class to learn predicts that class
            probabilities = np.zeros((len(ks), len(classes)))
            probabilities[:, 0] = 1.0
        else:
            probabilities = fold_probabilities(model, x, classes)
        winner, best, confidence = engine_figures(probabilities)
        for k, w, p, c in zip(ks, winner, best, confidence, strict=True):
            rejected = classes[w] == NO_GESTURE
            relabelled[id(segments[k])] = replace(
                segments[k],
                label=None if rejected else str(classes[w]),
                probability=float(p),
                confidence=float(c),
                rejected=bool(rejected),
            )
    cycles = [relabelled.get(id(c), c) for c in engine_pass.cycles]
    return replace(engine_pass, cycles=cycles)


@dataclass
class Choice:
    sweep: Sweep
    chosen: Thresholds
    at_chosen: Evaluation
    at_defaults: Evaluation
    max_spurious: float
    within: bool  # some cell kept the spurious share within max_spurious


def choose(parts: list[Attributed], classes, max_spurious: float, poll_s: float) -> Choice:
    """The cell of the grid that recognises the most gestures with at most `max_spurious` of
    the results spurious; among equals the one with fewer spurious results, then the one
    nearest the service's defaults. When no cell keeps within `max_spurious`, the defaults:
    thresholds that only trade recognised gestures for spurious ones are no better."""
    grid = sweep(parts, classes, CONFIDENCES, PROBABILITIES, poll_s)
    recall = np.nan_to_num(grid.recall, nan=0.0)
    spurious = np.nan_to_num(grid.spurious, nan=0.0)
    best_key, best_cell = None, DEFAULTS
    for i, c in enumerate(CONFIDENCES):
        for j, p in enumerate(PROBABILITIES):
            if spurious[i, j] > max_spurious + 1e-12:
                continue
            distance = abs(c - DEFAULTS[0]) / max(CONFIDENCES) + abs(p - DEFAULTS[1])
            key = (recall[i, j], -spurious[i, j], -distance)
            if best_key is None or key > best_key:
                best_key, best_cell = key, (c, p)
    chosen = Thresholds(*best_cell, poll_s)
    return Choice(
        grid,
        chosen,
        score(parts, classes, chosen),
        score(parts, classes, Thresholds(*DEFAULTS, poll_s)),
        max_spurious,
        best_key is not None,
    )


def replay(
    recordings: list[tuple[str, np.ndarray, list[GestureEvent], dict[int, float]]],
    model,
    encoder,
    num_sample: int,
    progress: Callable[[int], None] | None = None,
) -> list[tuple[str, EnginePass, list[GestureEvent]]]:
    """One engine pass over each recording (name, rows, true gestures, gaps), keeping each
    segment's feature vector. The vectors do not depend on the model; it only has to be
    loadable by the engine."""
    passes = []
    with tempfile.TemporaryDirectory(prefix="velmorakit-replay-") as folder:
        paths = [Path(folder) / "model.pkl", Path(folder) / "encoder.pkl"]
        for path, obj in zip(paths, (model, encoder), strict=True):
            path.write_bytes(pickle.dumps(obj))
        config = GestureConfig(str(paths[0]), str(paths[1]), num_sample)
        for name, samples, events, gaps in recordings:
            engine = VelmoraComputing(config.model_path, config.encoder_path)
            engine_pass = run_engine(engine, samples, config, progress, gaps, keep_features=True)
            passes.append((name, engine_pass, events))
    return passes


def end_to_end(passes, fold_map: FoldMap, models, classes, max_spurious, poll_s) -> Choice:
    """Thresholds chosen on the replayed passes, each segment judged out of fold."""
    known = [c for c in classes if c != NO_GESTURE]
    parts = [
        attribute(name, out_of_fold(engine_pass, name, fold_map, models, classes), events, known)
        for name, engine_pass, events in passes
    ]
    return choose(parts, known, max_spurious, poll_s)


def for_training(segments, model, encoder, report, max_spurious, poll_s, num_sample, progress):
    """(Choice, None) for a model just trained on `segments`, or (None, why) when the
    recordings they were cut from are not at hand."""
    from ..recordings.groundtruth import load_scorable_events, without_rest_markers
    from ..recordings.recording import read_recording

    found = {n: p for n, p in segments.recordings.items() if Path(p).is_file()}
    if not found:
        missing = ", ".join(segments.recordings.values()) or "not recorded in the segment file"
        return None, f"the recordings the segments were cut from are not at hand ({missing})"
    known = [c for c in report.classes if c != NO_GESTURE]
    recordings = []
    for name, path in found.items():
        recording = read_recording(path)
        events = load_scorable_events(path, recording)
        if events is not None:
            events = without_rest_markers(events, known)
            recordings.append((name, recording.samples, events, recording.gaps))
    if not recordings:
        return None, "the recordings the segments were cut from have no ground truth"
    with progress(sum(len(r[1]) for r in recordings)) as advance:
        passes = replay(recordings, model, encoder, num_sample, advance)
    placed = len(segments.unlabelled_bounds) == len(segments.unlabelled)
    rows = len(report.splits[0][0]) + len(report.splits[0][1])
    sources = list(segments.sources) + list(segments.unlabelled_sources if placed else [])
    bounds = list(segments.bounds) + list(segments.unlabelled_bounds if placed else [])
    sources += [""] * (rows - len(sources))  # rows whose place is unknown
    bounds += [None] * (rows - len(bounds))
    fold_map = FoldMap.build(sources[:rows], bounds[:rows], report.splits)
    models = report.chosen_score.fold_models
    return end_to_end(passes, fold_map, models, report.classes, max_spurious, poll_s), None
