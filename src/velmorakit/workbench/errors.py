"""The workbench's exception type for problems the user can act on."""

from ..errors import InputError


class WorkbenchError(InputError):
    """A file, its columns, a model, a data set or an option that cannot be used as given.

    Library functions raise it like any `ValueError`; the command line prints its message as one
    line without a traceback.
    """
