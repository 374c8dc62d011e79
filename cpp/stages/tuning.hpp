// The tuning constants of the engine and the shaper: class attributes, read through the
// class and cached until the class is modified.
#pragma once

#include "dsp/segmentation.hpp"
#include "py/arrays.hpp"
#include "py/class_constants.hpp"

namespace stages {

// Stages take the constants by value: a Python callback inside a stage (a field's __array__,
// a model method) may reload the class's constants, and a stage must keep using the sizes
// that it checked.
struct Constants {
  npy_intp rows;  // DATA_DIM
  double dt;      // NEW_DATA_INT_SEC
  dsp::SegmentTuning segment;
  long long disp_delay;
};

// Puts the tuning constants into a class namespace. The engine keeps its filter designs in
// tuples and states the sample interval as 0.02; the shaper keeps lists and computes the
// interval as 1 / F_SAMP, which is the same double.
enum class FilterDesignStyle { tuples, lists };
bool put_tuning_constants(PyObject* ns, FilterDesignStyle style);

class ClassConstants {
 public:
  // Takes a strong reference to the class, kept for the life of the process (never released
  // by a destructor, which would run after the interpreter has finalised).
  void bind(PyObject* cls) { cls_ = Py_NewRef(cls); }
  PyObject* cls() const { return cls_; }
  // Whether get() will return the values it holds without reading the class again (a read may
  // run Python code).
  bool cached() const { return version_.current(cls_); }
  // The current values, re-read after the class was modified; nullptr with an exception set.
  const Constants* get();

 private:
  bool load();
  PyObject* cls_ = nullptr;
  py::ClassVersion version_;
  Constants values_{};
};

}  // namespace stages
