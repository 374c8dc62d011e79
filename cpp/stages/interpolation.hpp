// The interpolation stage: the stored segment resampled at 50 evenly spaced times and laid
// out as the feature vector.
#pragma once

#include <Python.h>

#include "dsp/resample.hpp"

namespace stages {

// Resamples the stored segment, assigns acc_int and vel_int, and returns a new array of
// `leading_one` (0 or 1) times 1.0 followed by the 300 features.
PyObject* interpolation_stage(PyObject* self, bool leading_one, dsp::LinearFormula formula);

// The formula the stages compute with, chosen once at import: the one of the installed SciPy's
// linear interp1d, found by interpolating one value on which the two formulas differ, unless
// the environment variable VELMORA_LINEAR_FORMULA names one ("weighted" or "slope"), so that
// a test or a cross-CPU comparison can run the formula the installed SciPy does not use.
// False with an exception set if SciPy cannot be imported, follows neither formula, or the
// variable names neither.
bool import_linear_formula(dsp::LinearFormula* out);

}  // namespace stages
