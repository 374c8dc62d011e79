"""`velmorakit train`: choose and fit a classifier, recommend thresholds, write a bundle."""

import argparse
import math

import numpy as np

from ...models.rejection import NO_GESTURE

DEFAULT_BUNDLE = "model"
DEFAULT_TARGET_PRECISION = 0.98  # for thresholds chosen on segments


class _Retired(argparse.Action):
    """An option that no longer exists: a usage error that says what replaced it."""

    def __init__(self, option_strings, dest, replacement, **kwargs):
        self.replacement = replacement
        super().__init__(option_strings, dest, help=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        parser.error(f"{option_string} is no longer an option: {self.replacement}")


def _scores_line(score) -> str:
    cost = "     -   " if math.isnan(score.cost_ms) else f"{score.cost_ms:6.2f} ms"
    if score.over_budget:
        return f"  {score.name:<14} {'left out':>16}  {cost}  over the budget"
    if score.unfit:
        return f"  {score.name:<14} {'left out':>16}  {cost}  {score.unfit}"
    if not score.fold_accuracies:
        return f"  {score.name:<14} {'no figure':>16}  {cost}"
    accuracy = f"{score.accuracy:.1%} ± {score.accuracy_sd:.1%}"
    return f"  {score.name:<14} {accuracy:>16}  {cost}"


def _number(value: float) -> float | None:
    """`value` for JSON, which has no NaN: None where there is no figure."""
    return None if math.isnan(value) else float(value)


def _point(point) -> str:
    if not point.accepted:
        return "no result accepted"
    return f"precision {point.precision:.1%}, recall {point.recall:.1%}, spurious {point.spurious}"


def summary(report, unlabelled: int) -> list[str]:
    if report.unscored:
        lines = [
            f"warning: {report.unscored}",
            f"chosen: {report.chosen}, the first candidate within the budget (no figures to "
            f"choose by), fitted on all {report.segments} segments",
        ]
    else:
        lines = [f"chosen: {report.chosen}, refitted on all {report.segments} segments"]
    for s in report.scores:
        if s.unconverged:
            lines.append(
                f"note: {s.unconverged} of {s.fits} {s.name} fits stopped at their iteration "
                "limit before converging (ConvergenceWarning)"
            )
    if report.unconverged:
        lines.append("note: the final fit stopped at its iteration limit before converging")
    if report.unscored:
        confidence_th, gesture_prob_th = report.thresholds
        lines.append(
            f"the bundle keeps the default thresholds (confidence_th {confidence_th:g}, "
            f"gesture_prob_th {gesture_prob_th:g}): without out-of-fold figures there is "
            "nothing to choose them by"
        )
    else:
        lines += _out_of_fold_lines(report, unlabelled)
    return lines + [f"warning: {note}" for note in report.notes]


def _out_of_fold_lines(report, unlabelled: int) -> list[str]:
    """The chosen classifier's out-of-fold confusion, and what became of no-gesture motion."""
    from ..assessment.reports import confusion_table

    lines = ["out-of-fold confusion of the chosen classifier (segments):"]
    lines.append(confusion_table(report.confusion, report.classes))
    if NO_GESTURE in report.classes:
        lines.append(
            f"learnt {unlabelled} segment(s) of motion that is no gesture as {NO_GESTURE}: "
            "the service drops such results"
        )
    elif unlabelled:
        lines.append(f"thresholds weigh {unlabelled} segment(s) of no gesture as spurious")
    return lines


def segment_threshold_lines(report) -> list[str]:
    """The thresholds recommended for a target precision from out-of-fold segments."""
    target_precision = report.recommended.target_precision
    rec, default = report.recommended.point, report.at_defaults
    lines = []
    lines.append(
        f"at the default thresholds (confidence_th {default.confidence_th:g}, gesture_prob_th "
        f"{default.gesture_prob_th:g}): {_point(default)}"
    )
    if report.recommended.reached:
        lines.append(
            f"recommended for precision {target_precision:.0%}: confidence_th "
            f"{rec.confidence_th:g}, gesture_prob_th {rec.gesture_prob_th:.2f}: {_point(rec)} "
            "(out of fold)"
        )
    else:
        best = report.recommended.most_precise
        lines.append(
            f"warning: no thresholds reach precision {target_precision:.0%} (at best "
            f"{best.precision:.1%}, recall {best.recall:.1%}, with confidence_th "
            f"{best.confidence_th:g} and gesture_prob_th {best.gesture_prob_th:.2f}); the bundle "
            "keeps the default thresholds: record more or cleaner gestures"
        )
    return lines


def end_to_end_lines(choice) -> list[str]:
    from ..assessment.reports import sweep_table
    from ..learning.thresholds import DEFAULT_CONFIDENCE_TH, DEFAULT_PROB_TH

    def figures(result) -> str:
        delays = np.percentile(result.delays_s, [50, 90]) if result.delays_s else (np.nan,) * 2
        rejected = result.rejected_on_gestures + result.rejected_elsewhere
        return (
            f"recognised {result.recognition_rate or 0:.1%} of {result.gestures} gestures, "
            f"spurious {result.spurious_rate or 0:.1%} of {result.results} results, "
            f"{rejected} rejected as no gesture, delay median {delays[0]:.2f} s "
            f"(90th percentile {delays[1]:.2f} s)"
        )

    th, chosen, default = choice.chosen, choice.at_chosen, choice.at_defaults
    lines = [
        "end to end, on the training recordings replayed through the engine, each segment "
        "judged by a model that did not learn from it:",
        sweep_table(choice.sweep, (th.confidence, th.probability)),
        f"{'chosen' if choice.within else 'kept'} (at most {choice.max_spurious:.0%} spurious): "
        f"confidence_th {th.confidence:g}, "
        f"gesture_prob_th {th.probability:g}: {figures(chosen)}",
        f"at the defaults (confidence_th {DEFAULT_CONFIDENCE_TH:g}, gesture_prob_th "
        f"{DEFAULT_PROB_TH:g}): {figures(default)}",
    ]
    if not choice.within:
        fewest = np.nanmin(choice.sweep.spurious) if np.isfinite(choice.sweep.spurious).any() else 0
        lines.append(
            f"warning: no thresholds keep the spurious results within {choice.max_spurious:.0%} "
            f"(the fewest: {fewest:.0%}), so the bundle keeps the defaults; spurious results "
            "here are mostly second results within one gesture or motion between gestures: "
            "record strokes that fit the 2 s window, with rest between them"
        )
    elif (chosen.recognition_rate or 0) < (default.recognition_rate or 0) - 0.05:
        lines.append(
            f"note: the defaults recognise more, but {default.spurious_rate or 0:.1%} of their "
            f"results are spurious, above --max-spurious {choice.max_spurious:.0%}"
        )
    return lines


def _replay_bar(total: int):
    from contextlib import contextmanager

    from ..progress import progress

    @contextmanager
    def bar():
        with progress(
            total=total, desc="replaying", unit="sample", unit_scale=True, disable=None
        ) as b:
            yield b.update

    return bar()


def run_train(args) -> None:
    from ...middleware.utilities.dataset_shaper import DatasetShaper
    from ..assessment.end_to_end import for_training
    from ..learning.augmentation import Rotations
    from ..learning.bundle import write_bundle
    from ..learning.forecast import duration
    from ..learning.segments import concatenate, load_segments
    from ..learning.training import no_gesture_groups, train_model
    from ..progress import progress
    from .shape import WORKER_NUM_SAMPLE

    segments = concatenate([load_segments(path) for path in args.segments])
    names = [n.strip() for n in args.classifiers.split(",") if n.strip()] or None
    augment = Rotations(args.turned_copies, args.turn_deg, args.seed)
    learnt = f", each also learnt as {augment.describe()}" if augment.copies else ""
    no_gesture = 0 if args.no_rejection else len(segments.unlabelled)
    others = f" and {no_gesture} of no gesture" if no_gesture else ""
    print(
        f"cross-validating on {len(segments)} segments of {len(set(segments.groups()))} "
        f"gestures{others} (copies of one gesture in one fold{learnt})",
        flush=True,
    )
    layout = "{desc}: {n_fmt}/{total_fmt} [{elapsed}{postfix}]"
    with progress(total=1, bar_format=layout, leave=False, disable=None) as bar:
        bar.set_description("timing each candidate on a sample")

        def announce(forecast):
            each = ", ".join(
                f"{name} {duration(s * forecast.folds)}" for name, s in forecast.per_fold.items()
            )
            bar.write(
                f"estimated time: about {duration(forecast.total())} for {forecast.folds} folds "
                f"({each}); --classifiers leaves slow ones out"
            )
            bar.write(f"  {'classifier':<14} {'accuracy':>16}  one predict_proba")

        def advance(done, total, what, seconds_left):
            bar.total = total
            bar.n = done
            bar.set_description(what)
            left = f"about {duration(seconds_left)} left" if math.isfinite(seconds_left) else ""
            bar.set_postfix_str(left)

        placed = len(segments.unlabelled_bounds) == len(segments.unlabelled) > 0
        unlabelled_groups = (
            no_gesture_groups(
                segments.unlabelled_bounds,
                segments.unlabelled_sources,
                segments.bounds,
                segments.sources,
                segments.groups(),
            )
            if placed
            else None
        )
        model, encoder, report = train_model(
            segments.features,
            segments.labels,
            segments.groups(),
            None if args.no_rejection else segments.unlabelled,
            unlabelled_groups=unlabelled_groups,
            candidates=names,
            folds=args.folds,
            budget_ms=args.budget_ms,
            target_precision=args.target_precision or DEFAULT_TARGET_PRECISION,
            hidden=args.hidden,
            seed=args.seed,
            augment=augment,
            progress=advance,
            on_score=lambda score: bar.write(_scores_line(score)),
            on_estimate=announce,
        )
    print(f"({report.folds} folds; budget {args.budget_ms:g} ms per predict_proba)")
    for line in summary(report, len(segments.unlabelled)):
        print(line)
    num_sample = segments.step or WORKER_NUM_SAMPLE
    confidence_th, gesture_prob_th = report.thresholds
    rec = report.recommended.point if report.recommended else None
    choice, lines = None, []
    if args.target_precision is None and not report.unscored:
        choice, why = for_training(
            segments, model, encoder, report, args.max_spurious, 0.1, num_sample, _replay_bar
        )
        if choice is None:
            print(f"note: {why}: thresholds chosen on the segments")
    if choice is not None:
        lines = end_to_end_lines(choice)
        confidence_th, gesture_prob_th = choice.chosen.confidence, choice.chosen.probability
    elif not report.unscored:
        lines = segment_threshold_lines(report)
    for line in lines:
        print(line)
    write_bundle(
        args.output,
        model,
        encoder,
        rate_hz=DatasetShaper.F_SAMP,
        confidence_th=confidence_th,
        gesture_prob_th=gesture_prob_th,
        num_sample=num_sample,
        details={
            "chosen": report.chosen,
            "folds": report.folds,
            "segments": report.segments,
            "gestures": report.gestures,
            "augmentation": augment.describe(),
            "target_precision": args.target_precision or DEFAULT_TARGET_PRECISION,
            "target_reached": bool(report.recommended and report.recommended.reached),
            "out_of_fold_precision": _number(rec.precision) if rec else None,
            "out_of_fold_recall": _number(rec.recall) if rec else None,
            "end_to_end": _end_to_end_details(choice),
            "candidates": {
                s.name: {
                    "accuracy": _number(s.accuracy),
                    "accuracy_sd": _number(s.accuracy_sd),
                    "predict_proba_ms": _number(s.cost_ms),
                    "left_out": s.unfit or ("over the budget" if s.over_budget else None),
                }
                for s in report.scores
            },
        },
    )
    print(
        f"wrote the bundle {args.output}/ (model.pkl, encoder.pkl, bundle.json; "
        f"classes: {', '.join(report.classes)})"
    )


def _end_to_end_details(choice) -> dict | None:
    if choice is None:
        return None
    result = choice.at_chosen
    return {
        "max_spurious": choice.max_spurious,
        "within": choice.within,
        "recognised": _number(result.recognition_rate or 0.0),
        "spurious": _number(result.spurious_rate or 0.0),
        "gestures": result.gestures,
        "median_delay_s": _number(float(np.median(result.delays_s))) if result.delays_s else None,
    }


def register(commands) -> None:
    from ..learning.candidates import CANDIDATES
    from .options import fraction, positive, seed, within

    p = commands.add_parser("train", help="choose, fit and bundle a classifier from segments")
    p.add_argument("segments", nargs="+", help="segment files written by `shape`")
    p.add_argument(
        "-o", "--output", default=DEFAULT_BUNDLE, help=f"bundle directory ({DEFAULT_BUNDLE})"
    )
    p.add_argument(
        "--classifiers",
        default=",".join(CANDIDATES),
        help=f"comma-separated candidates ({','.join(CANDIDATES)})",
    )
    p.add_argument("--folds", type=positive(int), default=5, help="cross-validation folds (5)")
    p.add_argument(
        "--budget-ms",
        type=positive(float),
        default=2.0,
        help="most time one predict_proba may take on this machine (2)",
    )
    p.add_argument(
        "--max-spurious",
        type=fraction,
        default=0.03,
        help="most share of the results that may be spurious when the thresholds are chosen "
        "end to end, on the training recordings replayed through the engine (0.03)",
    )
    p.add_argument(
        "--target-precision",
        type=fraction,
        help="choose the thresholds on the segments instead, for this share of accepted "
        "results that are right (e.g. 0.98)",
    )
    p.add_argument(
        "--no-rejection",
        action="store_true",
        help="do not learn the motion between gestures as a class of its own (no gesture)",
    )
    p.add_argument(
        "--turned-copies",
        type=within(0, 20, int),
        default=2,
        help="also learn each segment turned about a random axis, as a sensor held otherwise "
        "records it: this many copies, 0 for none (2)",
    )
    p.add_argument(
        "--turn-deg",
        type=within(0, 180, float),
        default=30.0,
        help="most angle of those turns, degrees (30)",
    )
    p.add_argument(
        "--hidden", type=within(1, 4096, int), default=64, help="MLP hidden units, 1 to 4096 (64)"
    )
    p.add_argument("--seed", type=seed, default=0, help="random seed (0)")
    p.add_argument(
        "--test-size",
        action=_Retired,
        replacement="every candidate is scored by cross-validation (--folds) and the chosen "
        "one refitted on all segments",
    )
    for option in ("--model", "--encoder"):
        p.add_argument(
            option,
            action=_Retired,
            replacement="train writes a bundle directory (-o DIR) holding model.pkl and "
            "encoder.pkl",
        )
    p.set_defaults(handler=run_train)
