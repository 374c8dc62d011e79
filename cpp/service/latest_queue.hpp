// VelmoraQueue: a process-shared queue that never refuses a new entry; when it is full, the
// oldest entry gives way. With capacity 1 it holds only the latest result nobody has taken.
#pragma once

#include <Python.h>

namespace service {

// The class, derived from multiprocessing.queues.Queue. New reference, or nullptr.
PyObject* build_latest_queue_class();

}  // namespace service
