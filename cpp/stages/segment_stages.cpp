// The segmentation and resampling stages and the fields they store.

#include "dsp/displacement.hpp"
#include "dsp/resample.hpp"
#include "dsp/segmentation.hpp"
#include "dsp/window_filter.hpp"
#include "py/fields.hpp"
#include "stages/field_access.hpp"
#include "stages/window_stages.hpp"

namespace stages {

using py::Ref;

int segmentation_stage(PyObject* self, Constants k, SegmentFields fields) {
  const py::Fields instance(self);
  return instance.ok() ? segmentation_stage(self, instance, k, fields) : -1;
}

int segmentation_stage(PyObject* self, const py::Fields& instance, Constants k,
                       SegmentFields fields) {
  const Names& n = names();
  py::Float64View veltot, time, acc, vel;
  if (!read_field(instance, n.veltot_filt_a, 1, k.rows, -1, &veltot) ||
      !read_field(instance, n.time_a, 1, k.rows, -1, &time)) {
    return -1;
  }
  Ref last = field(instance, n.last_max_time);
  if (!last) return -1;
  const double last_time = PyFloat_AsDouble(last.get());
  if (last_time == -1.0 && PyErr_Occurred()) return -1;

  dsp::FilteredWindow w{static_cast<std::size_t>(k.rows), strided(veltot), strided(time), {}, {}};
  dsp::Segment s;
  if (!dsp::find_segment(w, last_time, k.segment, &s)) return 0;
  if (!read_field(instance, n.acc_filt_m, 2, k.rows, 3, &acc) ||
      !read_field(instance, n.vel_filt_m, 2, k.rows, 3, &vel)) {
    return -1;
  }
  w.acc = strided(acc);
  w.vel = strided(vel);
  if (!dsp::window_finite(w)) return 0;

  const npy_intp first = static_cast<npy_intp>(s.left);
  const npy_intp count = static_cast<npy_intp>(s.right - s.left + 1);
  Ref left_time = Ref::steal(py::float64_scalar(s.left_time));
  Ref right_time = Ref::steal(py::float64_scalar(s.right_time));
  Ref left = Ref::steal(PyLong_FromSize_t(s.left));
  Ref right = Ref::steal(PyLong_FromSize_t(s.right));
  if (!left_time || !right_time || !left || !right) return -1;
  const bool stored =
      set_field(self, n.last_max_time, py::float64_scalar(s.peak_time)) &&
      set_field(self, n.min_time_a, pair_list(left_time.get(), right_time.get())) &&
      set_field(self, n.min_index_a, pair_list(left.get(), right.get())) &&
      (fields == SegmentFields::shaper ||
       set_field(self, n.time_duration,
                 py::float64_scalar(dsp::round_thousandths(s.right_time - s.left_time)))) &&
      set_field(self, n.seg_time_a, copy_rows(time, first, count, -1)) &&
      set_field(self, n.seg_acc_m, copy_rows(acc, first, count, 3)) &&
      set_field(self, n.seg_vel_m, copy_rows(vel, first, count, 3)) &&
      (fields == SegmentFields::engine || (PyObject_SetAttr(self, n.left, left.get()) == 0 &&
                                           PyObject_SetAttr(self, n.right, right.get()) == 0));
  return stored ? 1 : -1;
}

PyObject* interpolation_stage(PyObject* self, bool leading_one) {
  const Names& n = names();
  Ref bounds = field(self, n.min_time_a);
  if (!bounds) return nullptr;
  Ref t0_obj = Ref::steal(PySequence_GetItem(bounds.get(), 0));
  Ref t1_obj = t0_obj ? Ref::steal(PySequence_GetItem(bounds.get(), 1)) : Ref();
  if (!t1_obj) return nullptr;
  const double t0 = PyFloat_AsDouble(t0_obj.get());
  if (t0 == -1.0 && PyErr_Occurred()) return nullptr;
  const double t1 = PyFloat_AsDouble(t1_obj.get());
  if (t1 == -1.0 && PyErr_Occurred()) return nullptr;

  const py::Fields instance(self);
  py::Float64View time, acc, vel;
  if (!instance.ok() || !read_field(instance, n.seg_time_a, 1, -1, -1, &time) ||
      !read_field(instance, n.seg_acc_m, 2, time.rows, 3, &acc) ||
      !read_field(instance, n.seg_vel_m, 2, time.rows, 3, &vel)) {
    return nullptr;
  }
  const npy_intp points = static_cast<npy_intp>(dsp::kResamplePoints);
  Ref acc_int = Ref::steal(py::new_float64(points, 3));
  Ref vel_int = Ref::steal(py::new_float64(points, 3));
  const npy_intp lead = leading_one ? 1 : 0;
  Ref features = Ref::steal(py::new_float64(lead + static_cast<npy_intp>(dsp::kFeatureLength)));
  if (!acc_int || !vel_int || !features) return nullptr;
  const dsp::ResampleResult r = dsp::resample_segment(
      strided(time), strided(acc), strided(vel), static_cast<std::size_t>(time.rows), t0, t1,
      py::float64_data(acc_int.get()), py::float64_data(vel_int.get()));
  switch (r.status) {
    case dsp::ResampleStatus::ok:
      break;
    case dsp::ResampleStatus::too_few_rows:
      PyErr_SetString(PyExc_ValueError, "x and y arrays must have at least 2 entries");
      return nullptr;
    case dsp::ResampleStatus::unsorted_time:
      PyErr_SetString(PyExc_ValueError, "seg_time_a must not decrease");
      return nullptr;
    case dsp::ResampleStatus::below_range:
    case dsp::ResampleStatus::above_range: {
      Ref value = Ref::steal(PyFloat_FromDouble(r.value));
      Ref bound = Ref::steal(PyFloat_FromDouble(r.bound));
      if (!value || !bound) return nullptr;
      const bool below = r.status == dsp::ResampleStatus::below_range;
      PyErr_Format(
          PyExc_ValueError, "A value (%R) in x_new is %s the interpolation range's %s value (%R).",
          value.get(), below ? "below" : "above", below ? "minimum" : "maximum", bound.get());
      return nullptr;
    }
  }
  double* out = py::float64_data(features.get());
  if (leading_one) out[0] = 1.0;
  dsp::feature_vector(py::float64_data(acc_int.get()), py::float64_data(vel_int.get()), out + lead);
  if (!set_field(self, n.acc_int, acc_int.release()) ||
      !set_field(self, n.vel_int, vel_int.release())) {
    return nullptr;
  }
  return features.release();
}

}  // namespace stages
