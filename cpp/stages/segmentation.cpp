#include "stages/segmentation.hpp"

#include "dsp/displacement.hpp"
#include "dsp/segmentation.hpp"
#include "stages/fields.hpp"

namespace stages {

using py::Ref;

int segmentation_stage(PyObject* self, Constants k, SegmentFields fields, CycleState* cycle) {
  const Names& n = names();
  py::Float64View veltot, time, acc, vel;
  double last_time;
  const bool known = cycle && cycle->quiet && cycle->veltot && cycle->time;
  if (known) {
    if (!py::read_float64(cycle->veltot.get(), n.veltot_filt_a, 1, k.rows, -1, &veltot) ||
        !py::read_float64(cycle->time.get(), n.time_a, 1, k.rows, -1, &time)) {
      return -1;
    }
  } else if (!read_field(self, n.veltot_filt_a, 1, k.rows, -1, &veltot) ||
             !read_field(self, n.time_a, 1, k.rows, -1, &time)) {
    return -1;
  }
  if (cycle) {
    cycle->veltot.reset();
    cycle->time.reset();
  }
  bool quiet = known && !veltot.converted && !time.converted;
  // The dictionary is still current when the two arrays above were read without conversion.
  const py::Ref dict = cycle ? std::move(cycle->dict) : py::Ref();
  if (!read_double(self, n.last_max_time, &last_time, &quiet, quiet ? dict.get() : nullptr)) {
    return -1;
  }
  if (cycle) cycle->quiet = false;
  dsp::FilteredWindow w{static_cast<std::size_t>(k.rows), strided(veltot), strided(time), {}, {}};
  dsp::Segment s;
  if (!dsp::find_segment(w, last_time, k.segment, &s)) {
    if (cycle) cycle->quiet = quiet;
    return 0;
  }
  if (!read_field(self, n.acc_filt_m, 2, k.rows, 3, &acc) ||
      !read_field(self, n.vel_filt_m, 2, k.rows, 3, &vel)) {
    return -1;
  }
  w.acc = strided(acc);
  w.vel = strided(vel);
  if (!dsp::window_finite(w)) return 0;

  // Everything stored is built first: an assignment may run Python code that replaces the
  // buffers read above, and their views must not be used after it.
  const auto first = static_cast<npy_intp>(s.left);
  const auto count = static_cast<npy_intp>(s.right - s.left + 1);
  Ref left_time = Ref::steal(py::float64_scalar(s.left_time));
  Ref right_time = Ref::steal(py::float64_scalar(s.right_time));
  Ref left = Ref::steal(PyLong_FromSize_t(s.left));
  Ref right = Ref::steal(PyLong_FromSize_t(s.right));
  Ref peak_time = Ref::steal(py::float64_scalar(s.peak_time));
  Ref duration = Ref::steal(py::float64_scalar(dsp::round_thousandths(s.right_time - s.left_time)));
  Ref seg_time = Ref::steal(copy_rows(time, first, count, -1));
  Ref seg_acc = Ref::steal(copy_rows(acc, first, count, 3));
  Ref seg_vel = Ref::steal(copy_rows(vel, first, count, 3));
  if (!left_time || !right_time || !left || !right || !peak_time || !duration || !seg_time ||
      !seg_acc || !seg_vel) {
    return -1;
  }
  const bool stored =
      set_field(self, n.last_max_time, peak_time.release()) &&
      set_field(self, n.min_time_a, pair_list(left_time.get(), right_time.get())) &&
      set_field(self, n.min_index_a, pair_list(left.get(), right.get())) &&
      (fields == SegmentFields::shaper || set_field(self, n.time_duration, duration.release())) &&
      set_field(self, n.seg_time_a, seg_time.release()) &&
      set_field(self, n.seg_acc_m, seg_acc.release()) &&
      set_field(self, n.seg_vel_m, seg_vel.release()) &&
      (fields == SegmentFields::engine ||
       (set_field(self, n.left, left.release()) && set_field(self, n.right, right.release())));
  return stored ? 1 : -1;
}

}  // namespace stages
