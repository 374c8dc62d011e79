// The sample window: data_m, rows x 7 (six sensor values and a time stamp per row), oldest row
// first. Samples are checked before anything changes, then slid in at the bottom.
#pragma once

#include "stages/tuning.hpp"

namespace stages {

// One sample of six numbers: a sequence of numbers, or (when `any_shape`) anything NumPy
// turns into six values. Raises ValueError or TypeError for a sample that is none, and lets
// any other error of a value's conversion through; nothing else is touched.
bool read_sample(PyObject* sample, bool any_shape, double out[6]);

// Counts the sample (data_counter + 1), hands its time stamp data_counter * NEW_DATA_INT_SEC to
// `stamp_sink` (if given: a list is appended to, anything else called), then slides the sample
// and its stamp into data_m. The counter assignment and the call may run Python code that
// replaces data_counter or data_m, so data_m is read again after them, as Python code doing the
// same steps would read it, unless neither can run any.
bool push_sample(PyObject* self, Constants k, const double sample[6], PyObject* stamp_sink);

// Fresh zero buffers: data_m (rows x 7), acc_filt_m, vel_filt_m (rows x 3), veltot_filt_a,
// time_a (rows).
bool reset_buffers(PyObject* self, Constants k);

}  // namespace stages
