// The filtering stage: the window's acceleration and velocity through their low-pass filters
// and the filtered velocity magnitude, each from rest at the oldest row.
#pragma once

#include "stages/tuning.hpp"

namespace stages {

// Reads data_m and the coefficient fields; assigns acc_filt_m, vel_filt_m, veltot_filt_a and
// time_a (a view of data_m's time column, as slicing data_m[:, 6] gives it).
bool filter_stage(PyObject* self, Constants k);

}  // namespace stages
