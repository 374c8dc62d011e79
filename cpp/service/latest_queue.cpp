#include "service/latest_queue.hpp"

#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/class_builder.hpp"
#include "service/calls.hpp"
#include "service/module_state.hpp"

namespace service {

namespace {

using py::Ref;

// How long a put waits for the slot when the replacement found nothing to remove.
constexpr double kSlotWaitSec = 0.005;

PyObject* init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* maxsize = nullptr;
  if (!py::bind_arguments("__init__", args, nargs, kwnames, {"maxsize"}, 0, &maxsize)) {
    return nullptr;
  }
  Ref size = Ref::steal(maxsize ? py::integer_argument(maxsize, "maxsize") : PyLong_FromLong(0));
  if (!size) return nullptr;
  const ModuleState& s = state();
  Ref ctx = call(s.get_context);
  Ref base_init = ctx ? get_attr(s.queue_base, names().init) : Ref();
  if (!base_init) return nullptr;
  PyObject* argv[] = {nullptr, self, size.get(), ctx.get()};
  Ref kwnames_ctx = Ref::steal(PyTuple_Pack(1, names().ctx));
  if (!kwnames_ctx) return nullptr;
  Ref done = Ref::steal(PyObject_Vectorcall(base_init.get(), argv + 1,
                                            2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_ctx.get()));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

// The base insert; when it finds the queue full, the oldest entry is removed and the insert
// retried, for as long as it takes. The removal can find nothing to take: a reader took the
// entry first, or the feeder thread has not yet written it to the pipe. The new entry then
// waits briefly for the slot with a blocking insert, which succeeds as soon as a reader frees
// it; otherwise the round starts again, without spinning.
PyObject* put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3] = {nullptr, nullptr, nullptr};
  if (!py::bind_arguments("put", args, nargs, kwnames, {"obj", "block", "timeout"}, 1, bound)) {
    return nullptr;
  }
  if (!bound[1]) bound[1] = Py_True;
  if (!bound[2]) bound[2] = Py_None;
  const ModuleState& s = state();
  const Names& n = names();
  Ref slot_wait = Ref::steal(PyFloat_FromDouble(kSlotWaitSec));
  if (!slot_wait) return nullptr;
  for (;;) {
    if (call_base(s.queue_base, n.put, self, bound[0], bound[1], bound[2])) Py_RETURN_NONE;
    if (!py::clear_if({s.full})) return nullptr;
    if (call_base(s.queue_base, n.get_nowait, self)) continue;
    if (!py::clear_if({s.empty})) return nullptr;
    if (call_base(s.queue_base, n.put, self, bound[0], Py_True, slot_wait.get())) Py_RETURN_NONE;
    if (!py::clear_if({s.full})) return nullptr;
  }
}

PyMethodDef methods[] = {
    py::fast_keywords<init>("__init__", "__init__($self, maxsize=0)\n--\n\n"),
    py::fast_keywords<put>(
        "put",
        "put($self, obj, block=True, timeout=None)\n--\n\n"
        "Insert obj; if the queue stays full, discard the oldest entry and insert again."),
    py::kEndOfMethods};

}  // namespace

PyObject* build_latest_queue_class() {
  Ref bases = Ref::steal(PyTuple_Pack(1, state().queue_base));
  if (!bases) return nullptr;
  const py::ClassDefinition definition{
      "VelmoraQueue",
      kModule,
      "Process-shared queue that always takes a new entry: when it is full, "
      "the oldest entry gives way.",
      bases.get(),
      nullptr,
      methods,
      nullptr};
  return py::build_class(definition);
}

}  // namespace service
