#include "service/facade.hpp"

#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/class_builder.hpp"
#include "service/calls.hpp"
#include "service/module_state.hpp"

namespace service {

namespace {

using py::Ref;

// The worker takes only the logger's numeric level; the logger itself is not kept.
PyObject* init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3] = {nullptr, nullptr, nullptr};
  if (!py::bind_arguments("__init__", args, nargs, kwnames,
                          {"gesture_model", "sensor_pipe", "logger"}, 3, bound)) {
    return nullptr;
  }
  const ModuleState& s = state();
  const Names& n = names();
  Ref capacity = Ref::steal(PyLong_FromLong(1));
  if (!capacity || PyObject_SetAttr(self, n.gesture_model, bound[0]) < 0 ||
      PyObject_SetAttr(self, n.sensor_pipe, bound[1]) < 0 ||
      !set_attr(self, n.data_queue, call(s.latest_queue, capacity.get()).release())) {
    return nullptr;
  }
  Ref model = get_attr(self, n.gesture_model);
  Ref pipe = model ? get_attr(self, n.sensor_pipe) : Ref();
  Ref queue = pipe ? get_attr(self, n.data_queue) : Ref();
  Ref level = queue ? get_attr(bound[2], n.level) : Ref();
  if (!level ||
      !set_attr(self, n.process,
                call(s.worker, model.get(), pipe.get(), queue.get(), level.get()).release())) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// self.process.<name>(), returning None.
PyObject* call_process(PyObject* self, PyObject* name) {
  Ref process = get_attr(self, names().process);
  if (!process || !call_method(process.get(), name)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* start(PyObject* self, PyObject*) { return call_process(self, names().start); }

PyObject* terminate(PyObject* self, PyObject*) { return call_process(self, names().stop); }

// The queued result as a Gesture, or None when there is none; never blocks.
PyObject* gesture(PyObject* self, PyObject*) {
  Ref queue = get_attr(self, names().data_queue);
  Ref entry = queue ? call_method(queue.get(), names().get_nowait) : Ref();
  if (!entry) {
    if (!queue || !py::clear_if({state().empty})) return nullptr;
    Py_RETURN_NONE;
  }
  Ref values = Ref::steal(PySequence_Tuple(entry.get()));
  return values ? PyObject_Call(state().gesture, values.get(), nullptr) : nullptr;
}

PyMethodDef methods[] = {
    py::fast_keywords<init>("__init__",
                            "__init__($self, gesture_model, sensor_pipe, logger)\n--\n\n"),
    py::no_args<start>("start", "start($self, /)\n--\n\nStart the worker process."),
    py::no_args<terminate>(
        "terminate",
        "terminate($self, /)\n--\n\n"
        "Stop the worker: wait up to 2 s for it to finish its cycle, then terminate it."),
    py::no_args<gesture>("gesture",
                         "gesture($self, /)\n--\n\n"
                         "The latest recognised Gesture not yet returned, or None; never blocks."),
    py::kEndOfMethods};

}  // namespace

PyObject* build_facade_class() {
  const py::ClassDefinition definition{
      "VelmoraGesture",
      kModule,
      "Gesture recognition service: runs a VGesture worker on a sensor pipe "
      "and hands out the latest recognised gesture.",
      nullptr,
      nullptr,
      methods,
      nullptr};
  return py::build_class(definition);
}

}  // namespace service
