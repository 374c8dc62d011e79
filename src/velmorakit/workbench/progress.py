"""Progress bars of the workbench's long loops."""


def progress(*args, **options):
    """A `tqdm(*args, **options)` bar, without tqdm's monitor thread.

    tqdm starts the monitor with its first bar and keeps it until exit; it takes tqdm's locks
    every 10 s. The demo forks the gesture worker after training its model, and a thread alive
    at a fork may hold a lock that then stays locked in the child for ever. The monitor only
    hurries the refresh of stalled bars, so it is switched off. tqdm is imported here, on use,
    as it is an optional package.
    """
    from tqdm import tqdm

    tqdm.monitor_interval = 0
    return tqdm(*args, **options)
