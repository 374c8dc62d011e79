"""The exception type for inputs that cannot be used as given."""


class InputError(ValueError):
    """A file, its columns, a sensor stream, a model or an option that cannot be used as given.

    Raised like any `ValueError`; the command line prints its message as one line without a
    traceback.
    """
