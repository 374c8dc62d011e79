// The segmentation stage: one gesture's peak and bounds in the filtered window, and the
// segment's rows of the filtered buffers.
#pragma once

#include "stages/fields.hpp"
#include "stages/tuning.hpp"

namespace stages {

// The engine also stores time_duration; the shaper stores left and right instead.
enum class SegmentFields { engine, shaper };

// 1 when a segment was accepted and stored, 0 when not, -1 on error.
// With a quiet `cycle`, veltot_filt_a and time_a are taken from it rather than read again;
// `cycle->quiet` says on return whether no Python code can have run yet.
int segmentation_stage(PyObject* self, Constants k, SegmentFields fields,
                       CycleState* cycle = nullptr);

}  // namespace stages
