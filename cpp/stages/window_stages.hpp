// The stages shared by VelmoraComputing and DatasetShaper: each reads its input fields from
// the instance, runs the numeric core, and writes its output fields back.
#pragma once

#include "dsp/segmentation.hpp"
#include "py/arrays.hpp"
#include "py/class_constants.hpp"
#include "py/fields.hpp"

namespace stages {

// Interned names of the instance fields.
struct Names {
  PyObject *data_m, *data_counter, *last_max_time, *time_duration;
  PyObject *acc_filt_m, *vel_filt_m, *veltot_filt_a, *time_a;
  PyObject *b_acc, *a_acc, *b_vel, *a_vel, *b_veltot, *a_veltot;
  PyObject *min_time_a, *min_index_a, *seg_time_a, *seg_acc_m, *seg_vel_m;
  PyObject *acc_int, *vel_int, *left, *right;
};
const Names& names();

// Tuning constants of a class, read through the class. Stages take them by value: a Python
// callback inside a stage (a field's __array__, a model method) may reload the class's
// constants, and a stage must keep using the sizes that it checked.
struct Constants {
  npy_intp rows;  // DATA_DIM
  double dt;      // NEW_DATA_INT_SEC
  dsp::SegmentTuning segment;
  long long disp_delay;
};

// Puts the tuning constants into a class namespace. The engine keeps its filter
// specifications in tuples and states the sample interval as 0.02; the shaper keeps lists and
// computes the interval as 1 / F_SAMP, which is the same double.
enum class SpecificationStyle { tuples, lists };
bool put_tuning_constants(PyObject* ns, SpecificationStyle style);

class ClassConstants {
 public:
  void bind(PyObject* cls) { cls_ = cls; }
  PyObject* cls() const { return cls_; }
  // The current values, re-read after the class was modified; nullptr with an exception set.
  const Constants* get();

 private:
  bool load();
  PyObject* cls_ = nullptr;
  py::ClassVersion version_;
  Constants values_{};
};

// The static _design_filter(order, cutoff, f_nyq): scipy.signal.butter(order, cutoff / f_nyq,
// 'lowpass').
PyObject* design_filter(PyObject* order, PyObject* cutoff, PyObject* f_nyq);

// The same as a static method taking its arguments by position or keyword.
PyObject* design_filter_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// The three filter designs of the constructor: the specifications read through the instance,
// the Nyquist frequency F_SAMP / 2 through the class.
bool design_filters(PyObject* self, PyObject* cls);

// Fresh zero buffers: data_m (rows x 7), acc_filt_m, vel_filt_m (rows x 3), veltot_filt_a,
// time_a (rows).
bool reset_buffers(PyObject* self, Constants k);

// One sample of six numbers: a sequence of numbers, or (when `any_shape`) anything NumPy
// turns into six values. Raises ValueError or TypeError; nothing else is touched.
bool read_sample(PyObject* sample, bool any_shape, double out[6]);

// A push in two steps, so that a caller can act between the checks and the change.
struct Push {
  py::Fields fields;
  py::Ref data_m;
  double* rows = nullptr;
  npy_intp row_count = 0;  // rows of data_m as checked
  long long counter = 0;   // after the push
  double stamp = 0.0;      // counter * NEW_DATA_INT_SEC
};
bool prepare_push(PyObject* self, Constants k, Push* push);
bool commit_push(const Push& push, const double sample[6]);

bool filter_stage(PyObject* self, Constants k);
bool filter_stage(const py::Fields& self, Constants k);

enum class SegmentFields { engine, shaper };
// 1 when a segment was accepted and stored, 0 when not, -1 on error.
int segmentation_stage(PyObject* self, Constants k, SegmentFields fields);
int segmentation_stage(PyObject* self, const py::Fields& instance, Constants k,
                       SegmentFields fields);

// Resamples the stored segment, stores acc_int and vel_int, and returns a new array of
// `leading_one` (0 or 1) times 1.0 followed by the 300 features.
PyObject* interpolation_stage(PyObject* self, bool leading_one);

}  // namespace stages
