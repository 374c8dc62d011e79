// Attribute access and interned names.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <utility>

#include "py/ref.hpp"

namespace py {

inline Ref get_attr(PyObject* obj, PyObject* name) {
  return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj.name = value, taking over the new reference `value`, which may be nullptr after a failed
// call (so that creation and assignment chain). False with an exception set on failure.
bool set_attr(PyObject* obj, PyObject* name, PyObject* value);
bool set_attr(PyObject* obj, const char* name, PyObject* value);

// Interns each text into its slot. The interpreter keeps interned strings for its lifetime,
// so the slots hold valid references from then on. False with an exception set if any fails.
bool intern_all(std::initializer_list<std::pair<PyObject**, const char*>> names);

}  // namespace py
