// Numeric class attributes read through the class, cached until the class is modified.
#pragma once

#include <Python.h>

namespace py {

// Remembers the version tag of a class; CPython clears the tag whenever an attribute of the
// class (or of a base) is assigned, so a matching tag means the cached values still hold.
class ClassVersion {
 public:
  bool current(PyObject* cls) const {
    const unsigned int tag = reinterpret_cast<PyTypeObject*>(cls)->tp_version_tag;
    return tag != 0 && tag == tag_;
  }
  void remember(PyObject* cls) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    tag_ = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
  }

 private:
  unsigned int tag_ = 0;
};

bool class_long(PyObject* cls, const char* name, long long* out);
bool class_double(PyObject* cls, const char* name, double* out);

}  // namespace py
