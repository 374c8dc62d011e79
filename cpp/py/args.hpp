// Argument binding and conversion with the system's own error messages.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "py/ref.hpp"

namespace py {

// Binds fast-call arguments to `names` (positional or keyword); the first `required` are
// mandatory, the rest stay as given in `out` (defaults are the caller's). Raises TypeError.
bool bind_arguments(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::initializer_list<const char*> names, Py_ssize_t required, PyObject** out);

// True if the pending exception is one of `types`, which is then cleared. Any other exception
// stays pending and the result is false: a caller that replaces a conversion's TypeError with
// a clearer message lets MemoryError, KeyboardInterrupt or OverflowError through.
bool clear_if(std::initializer_list<PyObject*> types);

// TypeError "Argument '<name>' has incorrect type (expected <expected>, got <type>)".
void raise_incorrect_type(const char* name, const char* expected, PyObject* got);

// True if `obj` is of the exact built-in str type; raises the incorrect-type error otherwise.
bool require_exact_str(PyObject* obj, const char* name);

// Integer argument: an exact int as it is, another number through int(); anything else
// raises the incorrect-type error. Returns a new reference to an int, or nullptr.
PyObject* integer_argument(PyObject* obj, const char* name);

// The same as a Py_ssize_t, the range of sizes and indices on this build (32 or 64 bits);
// a value outside it raises OverflowError.
bool size_argument(PyObject* obj, const char* name, Py_ssize_t* out);

// Unpacks an iterable into exactly `count` values, as `a, b = obj` does, with the
// interpreter's own errors. `out` receives new references.
bool unpack(PyObject* obj, Py_ssize_t count, Ref* out);

}  // namespace py
