// VGesture: the recognition worker process. It reads sensor samples from a pipe in batches,
// runs the computing engine once per batch and queues every accepted result.
#pragma once

#include <Python.h>

namespace service {

// The class, derived from multiprocessing.Process. New reference, or nullptr.
PyObject* build_worker_class();

// VGesture.run: the body of the child process (run_loop.cpp).
PyObject* worker_run(PyObject* self, PyObject*);

}  // namespace service
