// The interpolation stage: the stored segment resampled at 50 evenly spaced times and laid
// out as the feature vector.
#pragma once

#include <Python.h>

#include "dsp/resample.hpp"

namespace stages {

// Resamples the stored segment, assigns acc_int and vel_int, and returns a new array of
// `leading_one` (0 or 1) times 1.0 followed by the 300 features.
PyObject* interpolation_stage(PyObject* self, bool leading_one, dsp::LinearFormula formula);

// The formula of the installed SciPy's linear interp1d, found by interpolating one value on
// which the two formulas differ. False with an exception set if SciPy cannot be imported or
// follows neither.
bool installed_linear_formula(dsp::LinearFormula* out);

// The private _linear_formula(name=None) of a module: the name ("weighted" or "slope") of
// the formula in `formula`, after setting it to `name` when one is given.
PyObject* linear_formula_function(dsp::LinearFormula* formula, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames);

}  // namespace stages
