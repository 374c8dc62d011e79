// The filtering stage: the window's acceleration and velocity through their low-pass filters
// and the filtered velocity magnitude, each from rest at the oldest row.
#pragma once

#include "stages/fields.hpp"
#include "stages/tuning.hpp"

namespace stages {

// Reads data_m and the coefficient fields; assigns acc_filt_m, vel_filt_m, veltot_filt_a and
// time_a (a view of data_m's time column, as slicing data_m[:, 6] gives it).
// With `cycle` (quiet on entry when no Python code has run in the cycle), `cycle->quiet` says
// on return whether that still holds, and then veltot_filt_a and time_a are given in it.
bool filter_stage(PyObject* self, Constants k, CycleState* cycle = nullptr);

}  // namespace stages
