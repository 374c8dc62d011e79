"""The workbench's exception type for problems the user can act on."""

from ..conditioning.time_units import TimeUnitError
from ..errors import InputError


class WorkbenchError(InputError):
    """A file, its columns, a model, a data set or an option that cannot be used as given.

    Library functions raise it like any `ValueError`; the command line prints its message as one
    line without a traceback.
    """


def time_unit_problem(err: TimeUnitError) -> WorkbenchError:
    """A refused time unit, with the option that sets the unit the stamps look like."""
    if err.likely:
        return WorkbenchError(f"{err} (--time-unit {err.likely})")
    return WorkbenchError(f"{err}; give --time-unit")
