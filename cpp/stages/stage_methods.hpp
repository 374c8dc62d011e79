// The Python methods that the engine and the shaper share, bound to the tuning constants of
// their class.
#pragma once

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
int segment(PyObject* self) {
  const Constants* k = Class.get();
  return k ? segmentation_stage(self, *k, Fields) : -1;
}

template <ClassConstants& Class, SegmentFields Fields>
PyObject* data_segmentation_method(PyObject* self, PyObject*) {
  const int found = segment<Class, Fields>(self);
  if (found < 0) return nullptr;
  return PyBool_FromLong(found);
}

}  // namespace stages
