// Argument binding and conversion with the system's own error messages.
#pragma once

#include <Python.h>

#include <initializer_list>

namespace py {

// Binds fast-call arguments to `names` (positional or keyword); the first `required` are
// mandatory, the rest stay as given in `out` (defaults are the caller's). Raises TypeError.
bool bind_arguments(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::initializer_list<const char*> names, Py_ssize_t required, PyObject** out);

// TypeError "Argument '<name>' has incorrect type (expected <expected>, got <type>)".
void raise_incorrect_type(const char* name, const char* expected, PyObject* got);

// True if `obj` is of the exact built-in str type; raises the incorrect-type error otherwise.
bool require_exact_str(PyObject* obj, const char* name);

// Integer argument: an exact int as it is, another number through int(); anything else
// raises the incorrect-type error. Returns a new reference to an int, or nullptr.
PyObject* integer_argument(PyObject* obj, const char* name);

// The same, converted to a C long long.
bool integer_argument(PyObject* obj, const char* name, long long* out);

}  // namespace py
