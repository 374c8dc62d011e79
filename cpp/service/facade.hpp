// VelmoraGesture: the application's gesture service. It owns the result queue and the worker
// process, starts and stops the worker, and hands out the latest result without blocking.
#pragma once

#include <Python.h>

namespace service {

// The class, a plain class without a base of its own. New reference, or nullptr.
PyObject* build_facade_class();

}  // namespace service
