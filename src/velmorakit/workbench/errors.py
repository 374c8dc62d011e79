"""The one error type that the command line reports as a single line, without a traceback."""


class CommandError(Exception):
    """A problem the user can act on: a file, its columns, a model, an option, a missing build."""
