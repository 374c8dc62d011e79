// Displacement of a classified gesture along the axis its label names.
#pragma once

#include <Python.h>

#include "stages/tuning.hpp"

namespace stages {

// Reads data_m, min_index_a and gesture; writes disp.
bool displacement_stage(PyObject* self, Constants k);

// The static calc_displacement(acc_a): the double trapezoidal integral rounded to 3 decimals,
// or the int 0 for fewer than two samples. NumPy input gives a NumPy float rounded as NumPy
// rounds; plain Python numbers give a float rounded as Python's round() does.
PyObject* calc_displacement(PyObject* samples, double dt);

}  // namespace stages
