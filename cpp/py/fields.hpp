// Fast access to the instance fields of objects of the classes built by build_class.
//
// The fields live in the instance __dict__; going to it directly skips the attribute
// protocol's type lookups on every access. A field missing from the dict is looked up the
// ordinary way (class-level defaults, AttributeError).
#pragma once

#include "py/ref.hpp"

namespace py {

class Fields {
 public:
  Fields() = default;
  explicit Fields(PyObject* self)
      : self_(self), dict_(Ref::steal(PyObject_GenericGetDict(self, nullptr))) {}
  bool ok() const { return static_cast<bool>(dict_); }

  // A new reference, or nullptr with AttributeError set.
  PyObject* get(PyObject* name) const {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict_.get(), name, &value) != 0) return value;
    return PyObject_GetAttr(self_, name);
  }
  bool set(PyObject* name, PyObject* value) const {
    return PyDict_SetItem(dict_.get(), name, value) == 0;
  }
  // Stores a new reference and releases it.
  bool put(PyObject* name, PyObject* value) const {
    if (!value) return false;
    const bool done = set(name, value);
    Py_DECREF(value);
    return done;
  }

 private:
  PyObject* self_ = nullptr;
  Ref dict_;
};

}  // namespace py
