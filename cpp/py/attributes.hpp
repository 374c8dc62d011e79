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

// Whether attribute `name` of `obj` is a plain instance attribute: generic attribute access
// and nothing of that name on the type, so that reading or assigning it runs no Python code of
// a property, __getattr__ or __setattr__ (dropping the value it replaces still may).
bool plain_attr(PyObject* obj, PyObject* name);

// The value of plain attribute `name` of `obj` when changing it in place cannot be seen
// through any other reference: the instance holds the only reference besides the one returned,
// and no weak reference points to it. An empty Ref otherwise, with no exception set, and
// always on a free-threaded build, where another thread may take a reference at any moment.
Ref sole_attr(PyObject* obj, PyObject* name);

// Interns each text into its slot. The interpreter keeps interned strings for its lifetime,
// so the slots hold valid references from then on. False with an exception set if any fails.
bool intern_all(std::initializer_list<std::pair<PyObject**, const char*>> names);

}  // namespace py
