// Builds ordinary Python classes (as `class` statements make them) from C++ functions.
//
// The class is made by calling type(name, bases, namespace), so it may derive from Python
// classes, has an instance __dict__ and class-level attributes. Instance methods are attached
// as method descriptors (they bind `self` like Python methods), static methods as
// staticmethod objects. __module__ and __qualname__ are set explicitly so instances pickle.
#pragma once

#include <Python.h>

namespace py {

struct ClassDefinition {
  const char* name;
  const char* module;
  const char* doc;              // may be nullptr
  PyObject* bases;              // a tuple; nullptr for (object,)
  PyObject* attributes;         // dict of class attributes; may be nullptr
  PyMethodDef* methods;         // instance methods, terminated by a zeroed entry; may be nullptr
  PyMethodDef* static_methods;  // terminated by a zeroed entry; may be nullptr
};

// Returns a new reference to the class, or nullptr with an exception set.
PyObject* build_class(const ClassDefinition& definition);

// dict[key] = value, taking over the reference to `value` (which may be nullptr after a failed
// call, to chain creation and insertion). Returns false on error.
bool put_item(PyObject* dict, const char* key, PyObject* value);

// Adds `cls` to `module` under its own name (steals nothing). Returns false on error.
bool add_class(PyObject* module, PyObject* cls);

}  // namespace py
