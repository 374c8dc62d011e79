"""`velmorakit evaluate`: the engine scored on labelled recordings, as the worker would run it."""

from ..errors import WorkbenchError
from .options import (
    add_engine_options,
    engine_passes,
    gesture_classes,
    load_model,
    model_files,
    png_output,
    recording_inputs,
    scorable,
)

CONFIDENCE_GRID = (1, 2, 3, 4, 6, 10)
PROBABILITY_GRID = (0.4, 0.5, 0.6, 0.7, 0.8, 0.9)


def cmd_evaluate(args) -> None:
    from ..assessment.reports import evaluation_summary, sweep_table, write_outcomes
    from ..assessment.scoring import Thresholds, score, sweep
    from ..outputs import refuse_inputs_as_outputs

    pngs = [png_output(p) if p else None for p in (args.confusion_png, args.sweep_png)]
    refuse_inputs_as_outputs(
        recording_inputs(args.recordings) + model_files(args), [args.outcomes_csv, *pngs]
    )
    model, config = load_model(args)
    classes = gesture_classes(model)
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
    stalls = sum(len(part.engine_pass.stalls) for part in parts)
    if stalls:
        print(
            f"the sensor's gaps stall the worker {stalls} time(s): the engine's window is "
            "cleared there, as in a live run"
        )
    print(evaluation_summary(result))
    confidences = sorted({*CONFIDENCE_GRID, args.confidence_th})
    probabilities = sorted({*PROBABILITY_GRID, args.prob_th})
    grid = sweep(parts, classes, confidences, probabilities, args.poll_interval)
    print(sweep_table(grid))
    if args.outcomes_csv:
        write_outcomes(args.outcomes_csv, result)
        print(f"wrote {args.outcomes_csv}")
    confusion_png, sweep_png = pngs
    if confusion_png or sweep_png:
        import numpy as np

        from ..assessment.plotting import plot_confusion, plot_sweep

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
    p = commands.add_parser("evaluate", help="score the engine on labelled recordings")
    p.add_argument("recordings", nargs="+", help="CSV recordings (truth from *.truth.csv)")
    add_engine_options(p, model_required=True)
    p.add_argument("--outcomes-csv", help="write what happened to every true gesture here")
    p.add_argument("--confusion-png", help="draw the confusion matrix into this PNG")
    p.add_argument("--sweep-png", help="draw recall and spurious share over the thresholds")
    p.set_defaults(handler=cmd_evaluate)
