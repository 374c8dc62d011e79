// The Python methods that the engine and the shaper share, bound to the tuning constants of
// their module, with their method table entries.
#pragma once

#include "py/boundary.hpp"
#include "stages/filter_design.hpp"
#include "stages/filtering.hpp"
#include "stages/segmentation.hpp"

namespace stages {

template <ClassConstants& Class>
PyObject* data_filter_method(PyObject* self, PyObject*) {
  const Constants* k = Class.get();
  if (!k || !filter_stage(self, *k)) return nullptr;
  Py_RETURN_NONE;
}

// 1 when a segment was accepted and stored, 0 when not, -1 on error.
template <ClassConstants& Class, SegmentFields Fields>
int segment(PyObject* self, CycleState* cycle = nullptr) {
  if (cycle && !Class.cached()) cycle->quiet = false;
  const Constants* k = Class.get();
  return k ? segmentation_stage(self, *k, Fields, cycle) : -1;
}

template <ClassConstants& Class, SegmentFields Fields>
PyObject* data_segmentation_method(PyObject* self, PyObject*) {
  const int found = segment<Class, Fields>(self);
  if (found < 0) return nullptr;
  return PyBool_FromLong(found);
}

// Instance methods.
template <py::NoArgsFunction PushData>
PyMethodDef push_data_entry() {
  return py::one_arg<PushData>(
      "push_data",
      "push_data($self, data, /)\n--\n\npush new data into data matrix, push new data from the "
      "bottom");
}

template <ClassConstants& Class>
PyMethodDef data_filter_entry() {
  return py::no_args<data_filter_method<Class>>("data_filter", "data_filter($self, /)\n--\n\n");
}

template <ClassConstants& Class, SegmentFields Fields>
PyMethodDef data_segmentation_entry() {
  return py::no_args<data_segmentation_method<Class, Fields>>(
      "data_segmentation", "data_segmentation($self, /)\n--\n\nsegment veltot");
}

template <py::NoArgsFunction Interpolation>
PyMethodDef data_interpolation_entry() {
  return py::no_args<Interpolation>("data_interpolation",
                                    "data_interpolation($self, /)\n--\n\ndata interpolation");
}

// The static method.
inline PyMethodDef design_filter_entry() {
  return py::fast_keywords<design_filter_method>("_design_filter",
                                                 "_design_filter(order, cutoff, f_nyq)\n--\n\n");
}

}  // namespace stages
