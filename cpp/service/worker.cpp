#include "service/worker.hpp"

#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/class_builder.hpp"
#include "service/calls.hpp"
#include "service/module_state.hpp"

namespace service {

namespace {

using py::Ref;

constexpr double kDefaultStopTimeoutSec = 2.0;

// Runs in the parent: no engine is built here, the model files are opened only in the child.
PyObject* init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[4] = {nullptr, nullptr, nullptr, nullptr};
  if (!py::bind_arguments("__init__", args, nargs, kwnames,
                          {"gesture_model", "sensor_pipe", "data_queue", "logger_level"}, 4,
                          bound)) {
    return nullptr;
  }
  Ref level = Ref::steal(py::integer_argument(bound[3], "logger_level"));
  if (!level) return nullptr;
  const ModuleState& s = state();
  const Names& n = names();
  if (!call_base(s.process_base, n.init, self) ||
      !set_attr(self, n.stop_event, call(s.make_event).release())) {
    return nullptr;
  }
  Ref logger = call(s.log_to_stderr, level.get());
  double now = 0.0;
  if (!logger || PyObject_SetAttr(self, n.logger, logger.get()) < 0 ||
      PyObject_SetAttr(self, n.gesture_model, bound[0]) < 0 ||
      PyObject_SetAttr(self, n.sensor_pipe, bound[1]) < 0 ||
      PyObject_SetAttr(self, n.data_queue, bound[2]) < 0 || !perf_counter(&now) ||
      !set_attr(self, n.timer, PyFloat_FromDouble(now))) {
    return nullptr;
  }
  Ref message = Ref::steal(PyUnicode_FromString("[VGesture] Velmora gesture object created."));
  if (!message || !call_method(logger.get(), n.debug, message.get())) return nullptr;
  Py_RETURN_NONE;
}

// Sets the stop event, waits up to `timeout` seconds for the child and terminates it if it is
// still running.
PyObject* stop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given = nullptr;
  if (!py::bind_arguments("stop", args, nargs, kwnames, {"timeout"}, 0, &given)) return nullptr;
  const double seconds = given ? PyFloat_AsDouble(given) : kDefaultStopTimeoutSec;
  if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
  const ModuleState& s = state();
  const Names& n = names();
  Ref event = get_attr(self, n.stop_event);
  Ref timeout = Ref::steal(PyFloat_FromDouble(seconds));
  if (!event || !timeout || !call_method(event.get(), n.set) ||
      !call_base(s.process_base, n.join, self, timeout.get())) {
    return nullptr;
  }
  Ref exitcode = get_attr(self, n.exitcode);
  if (!exitcode) return nullptr;
  if (exitcode.get() == Py_None && !call_base(s.process_base, n.terminate, self)) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    py::fast_keywords<init>(
        "__init__",
        "__init__($self, gesture_model, sensor_pipe, data_queue, logger_level)\n--\n\n"),
    py::no_args<worker_run>(
        "run",
        "run($self, /)\n--\n\n"
        "Recognition loop of the child process: one engine cycle per batch of samples."),
    py::fast_keywords<stop>(
        "stop",
        "stop($self, timeout=2.0)\n--\n\n"
        "Ask the worker to stop, wait up to timeout seconds, then terminate it if still alive."),
    py::kEndOfMethods};

}  // namespace

PyObject* build_worker_class() {
  Ref bases = Ref::steal(PyTuple_Pack(1, state().process_base));
  Ref attributes = Ref::steal(PyDict_New());
  Ref margin = Ref::steal(PyLong_FromLong(1));
  if (!bases || !attributes || !margin ||
      PyDict_SetItem(attributes.get(), names().tsample_margin_sec, margin.get()) < 0) {
    return nullptr;
  }
  const py::ClassDefinition definition{
      "VGesture",
      kModule,
      "Gesture recognition worker process: reads sensor samples from a "
      "pipe, runs the computing engine and queues accepted results.",
      bases.get(),
      attributes.get(),
      methods,
      nullptr};
  return py::build_class(definition);
}

}  // namespace service
