"""`velmorakit train`: choose and fit a classifier, recommend thresholds, write a bundle."""

import argparse
import math

DEFAULT_BUNDLE = "model"


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
    """The chosen classifier's out-of-fold confusion and the thresholds it recommends."""
    from ..assessment.reports import confusion_table

    target_precision = report.recommended.target_precision
    lines = ["out-of-fold confusion of the chosen classifier (segments):"]
    lines.append(confusion_table(report.confusion, report.classes))
    rec, default = report.recommended.point, report.at_defaults
    if unlabelled:
        lines.append(f"thresholds weigh {unlabelled} segment(s) of no gesture as spurious")
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


def run_train(args) -> None:
    from ...middleware.utilities.dataset_shaper import DatasetShaper
    from ..learning.bundle import write_bundle
    from ..learning.segments import concatenate, load_segments
    from ..learning.training import train_model
    from ..progress import progress
    from .shape import WORKER_NUM_SAMPLE

    segments = concatenate([load_segments(path) for path in args.segments])
    names = [n.strip() for n in args.classifiers.split(",") if n.strip()] or None
    print(
        f"cross-validating on {len(segments)} segments of {len(set(segments.groups()))} "
        "gestures (copies of one gesture in one fold)"
    )
    print(f"  {'classifier':<14} {'accuracy':>16}  one predict_proba")
    with progress(total=1, unit="fit", leave=False, disable=None) as bar:

        def advance(done, total, what):
            bar.total = total
            bar.n = done
            bar.set_description(what)

        model, encoder, report = train_model(
            segments.features,
            segments.labels,
            segments.groups(),
            segments.unlabelled,
            candidates=names,
            folds=args.folds,
            budget_ms=args.budget_ms,
            target_precision=args.target_precision,
            hidden=args.hidden,
            seed=args.seed,
            progress=advance,
            on_score=lambda score: bar.write(_scores_line(score)),
        )
    print(f"({report.folds} folds; budget {args.budget_ms:g} ms per predict_proba)")
    for line in summary(report, len(segments.unlabelled)):
        print(line)
    confidence_th, gesture_prob_th = report.thresholds
    rec = report.recommended.point if report.recommended else None
    write_bundle(
        args.output,
        model,
        encoder,
        rate_hz=DatasetShaper.F_SAMP,
        confidence_th=confidence_th,
        gesture_prob_th=gesture_prob_th,
        num_sample=segments.step or WORKER_NUM_SAMPLE,
        details={
            "chosen": report.chosen,
            "folds": report.folds,
            "segments": report.segments,
            "gestures": report.gestures,
            "target_precision": args.target_precision,
            "target_reached": bool(report.recommended and report.recommended.reached),
            "out_of_fold_precision": _number(rec.precision) if rec else None,
            "out_of_fold_recall": _number(rec.recall) if rec else None,
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


def register(commands) -> None:
    from ..learning.candidates import CANDIDATES
    from .options import fraction, positive

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
        "--target-precision",
        type=fraction,
        default=0.98,
        help="share of accepted results that should be right, for the thresholds (0.98)",
    )
    p.add_argument("--hidden", type=positive(int), default=64, help="MLP hidden units (64)")
    p.add_argument("--seed", type=int, default=0, help="random seed (0)")
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
