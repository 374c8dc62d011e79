"""The `simulate` and `evaluate` commands: their options and handlers."""

from pathlib import Path

from .command_options import (
    MAX_SIMULATED_S,
    add_engine_options,
    engine_passes,
    load_model,
    png_output,
    scorable,
    seconds,
)
from .errors import WorkbenchError
from .plot_command import register as register_plot

CONFIDENCE_GRID = (1, 2, 3, 4, 6, 10)
PROBABILITY_GRID = (0.4, 0.5, 0.6, 0.7, 0.8, 0.9)


def cmd_simulate(args) -> None:
    from .recordings import truth_path, write_recording, write_truth
    from .synthetic import simulate_session

    session = simulate_session(args.seconds, args.seed)
    Path(args.output).parent.mkdir(parents=True, exist_ok=True)
    write_recording(args.output, session.samples, session.labels)
    write_truth(truth_path(args.output), session.events)
    print(
        f"wrote {args.output}: {len(session.samples)} samples, {len(session.events)} gestures; "
        f"ground truth in {truth_path(args.output)}"
    )


def cmd_evaluate(args) -> None:
    from .reports import evaluation_summary, sweep_table, write_outcomes
    from .scoring import Thresholds, score, sweep

    pngs = [png_output(p) if p else None for p in (args.confusion_png, args.sweep_png)]
    model, config = load_model(args)
    classes = [str(c) for c in model.classes_]
    inputs = scorable("evaluate", args.recordings, classes)
    if not inputs:
        raise WorkbenchError("none of the recordings can be scored")
    parts = engine_passes(inputs, config, classes, "evaluating")
    chosen = Thresholds(args.confidence_th, args.prob_th, args.poll_interval)
    result = score(parts, classes, chosen)
    print(
        f"batches of {args.num_sample} samples, confidence >= {args.confidence_th:g}, "
        f"probability >= {args.prob_th:g}, application polling every {args.poll_interval:g} s"
    )
    print(evaluation_summary(result))
    confidences = sorted({*CONFIDENCE_GRID, args.confidence_th})
    probabilities = sorted({*PROBABILITY_GRID, args.prob_th})
    grid = sweep(parts, classes, confidences, probabilities, args.poll_interval)
    print(sweep_table(grid))
    if args.outcomes_csv:
        Path(args.outcomes_csv).parent.mkdir(parents=True, exist_ok=True)
        write_outcomes(args.outcomes_csv, result)
        print(f"wrote {args.outcomes_csv}")
    confusion_png, sweep_png = pngs
    if confusion_png or sweep_png:
        import numpy as np

        from .plotting import plot_confusion, plot_sweep

        if confusion_png:
            rate = f"{result.recognition_rate:.1%}" if result.gestures else "no gestures"
            title = f"{rate} recognised, {result.spurious} spurious"
            plot_confusion(confusion_png, result.confusion, result.classes, title)
            print(f"wrote {confusion_png}")
        if sweep_png:
            # Finer than the printed table: the pass is done, each point only re-scores it.
            fine = sorted({*np.round(np.arange(0.3, 0.96, 0.05), 2).tolist(), args.prob_th})
            curves = sweep(parts, classes, confidences, fine, args.poll_interval)
            title = f"{result.gestures} gestures in {len(parts)} recording(s), threshold sweep"
            plot_sweep(sweep_png, curves, (args.confidence_th, args.prob_th), title)
            print(f"wrote {sweep_png}")


def register(commands) -> None:
    """Add `simulate`, `evaluate` and `plot` to the command line's subcommands."""
    p = commands.add_parser("simulate", help="write a simulated, labelled recording (CSV)")
    p.add_argument("output", help="recording to write; the ground truth goes to *.truth.csv")
    p.add_argument(
        "--seconds", type=seconds, default=120.0, help=f"length, at most {MAX_SIMULATED_S:g} (120)"
    )
    p.add_argument("--seed", type=int, default=0, help="random seed (0)")
    p.set_defaults(handler=cmd_simulate)

    p = commands.add_parser("evaluate", help="score the engine on labelled recordings")
    p.add_argument("recordings", nargs="+", help="CSV recordings (truth from *.truth.csv)")
    add_engine_options(p, model_required=True)
    p.add_argument("--outcomes-csv", help="write what happened to every true gesture here")
    p.add_argument("--confusion-png", help="draw the confusion matrix into this PNG")
    p.add_argument("--sweep-png", help="draw recall and spurious share over the thresholds")
    p.set_defaults(handler=cmd_evaluate)
    register_plot(commands)
