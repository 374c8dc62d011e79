// VGesture.run: the recognition loop of the worker process.
//
// Each cycle reads num_sample samples from the sensor pipe with blocking receives and pushes
// them into the engine, then runs one engine cycle, unless the batch took longer than the
// stall threshold: the stream had a gap, and the engine's window is cleared instead. Accepted
// results go into the latest-result queue without blocking.
#include <cmath>

#include "py/args.hpp"
#include "service/calls.hpp"
#include "service/module_state.hpp"
#include "service/worker.hpp"

namespace service {

namespace {

using py::Ref;

struct Messages {
  PyObject *started, *accepted, *dropped, *dropped_more, *dropped_unreported, *end_of_stream;
};

const Messages& messages() {
  static const Messages m{
      PyUnicode_FromString("[VGesture] Velmora gesture object started."),
      PyUnicode_FromString(
          "[VGesture] Gesture: %s | Probability: %f | Confidence: %f | Displacement: %f"),
      PyUnicode_FromString("[VGesture] Dropped a malformed sample %.100r: %s"),
      PyUnicode_FromString(
          "[VGesture] Dropped a malformed sample %.100r: %s (and %d more since the last report)"),
      PyUnicode_FromString("[VGesture] Dropped %d more malformed samples since the last report."),
      PyUnicode_FromString("[VGesture] The sensor pipe was closed by the producer; stopping.")};
  return m;
}

// self.logger.<level>(message, args...), through the logger's own level check.
template <typename... Args>
bool log(PyObject* self, PyObject* level, PyObject* message, Args... args) {
  Ref logger = get_attr(self, names().logger);
  return logger && call_method(logger.get(), level, message, args...);
}

// self.gesture_model.<name>, read anew at every use.
Ref config_value(PyObject* self, PyObject* name) {
  Ref model = get_attr(self, names().gesture_model);
  return model ? get_attr(model.get(), name) : Ref();
}

Ref build_engine(PyObject* self) {
  Ref model_path = config_value(self, names().model_path);
  Ref encoder_path = model_path ? config_value(self, names().encoder_path) : Ref();
  return encoder_path ? call(state().computing, model_path.get(), encoder_path.get()) : Ref();
}

// 1 when the stop event is set, 0 when not, -1 on error.
int stop_requested(PyObject* self) {
  Ref event = get_attr(self, names().stop_event);
  Ref set = event ? call_method(event.get(), names().is_set) : Ref();
  return set ? PyObject_IsTrue(set.get()) : -1;
}

// The engine raises one of these for a row that is not six numbers (or holds an integer too
// large for a float), and then has changed nothing: the sample is dropped and recognition
// goes on.
bool malformed_sample_error() {
  return PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
         PyErr_ExceptionMatches(PyExc_AttributeError) ||
         PyErr_ExceptionMatches(PyExc_OverflowError);
}

// A producer that sends nothing but bad samples would fill the log with 50 warnings a second:
// a dropped sample is logged when none was in the last kDropReportSeconds, and those in
// between are counted into the next report, or into a last line when the worker ends.
constexpr double kDropReportSeconds = 10.0;

struct DropReport {
  long long unreported = 0;
  double last = -INFINITY;  // perf_counter time of the last report
};

bool drop_sample(PyObject* self, PyObject* sample, DropReport& drops) {
  Ref error = Ref::steal(PyErr_GetRaisedException());
  double now = 0.0;
  if (!perf_counter(&now)) return false;
  if (now - drops.last < kDropReportSeconds) {
    ++drops.unreported;
    return true;
  }
  drops.last = now;
  if (drops.unreported == 0) {
    return log(self, names().warning, messages().dropped, sample, error.get());
  }
  Ref more = Ref::steal(PyLong_FromLongLong(drops.unreported));
  drops.unreported = 0;
  return more &&
         log(self, names().warning, messages().dropped_more, sample, error.get(), more.get());
}

// The count of dropped samples that no report has told yet, when the worker ends.
bool report_unreported(PyObject* self, const DropReport& drops) {
  if (drops.unreported == 0) return true;
  Ref more = Ref::steal(PyLong_FromLongLong(drops.unreported));
  return more && log(self, names().warning, messages().dropped_unreported, more.get());
}

// How a batch or a cycle ended.
enum class Step { next_cycle, end_of_stream, failed };

// Receives num_sample samples and pushes each into the engine as it arrives; every receive
// counts, a dropped sample included.
Step receive_batch(PyObject* self, PyObject* engine, DropReport& drops) {
  const Names& n = names();
  Ref count_obj = config_value(self, n.num_sample);
  Ref pipe = count_obj ? get_attr(self, n.sensor_pipe) : Ref();
  if (!pipe) return Step::failed;
  const Py_ssize_t count = PyNumber_AsSsize_t(count_obj.get(), PyExc_OverflowError);
  if (count == -1 && PyErr_Occurred()) return Step::failed;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref sample = call_method(pipe.get(), n.recv);
    if (!sample) {
      if (!py::clear_if({PyExc_EOFError})) return Step::failed;
      return log(self, n.info, messages().end_of_stream) ? Step::end_of_stream : Step::failed;
    }
    if (call_method(engine, n.push_data, sample.get())) continue;
    if (!malformed_sample_error() || !drop_sample(self, sample.get(), drops)) return Step::failed;
  }
  return Step::next_cycle;
}

// VelmoraComputing.NEW_DATA_INT_SEC + VGesture.TSAMPLE_MARGIN_SEC, read through the classes.
bool stall_threshold(double* out) {
  const ModuleState& s = state();
  Ref interval = get_attr(s.computing, names().new_data_int_sec);
  Ref margin = interval ? get_attr(s.worker, names().tsample_margin_sec) : Ref();
  if (!margin) return false;
  const double interval_sec = PyFloat_AsDouble(interval.get());
  if (interval_sec == -1.0 && PyErr_Occurred()) return false;
  const double margin_sec = PyFloat_AsDouble(margin.get());
  if (margin_sec == -1.0 && PyErr_Occurred()) return false;
  *out = interval_sec + margin_sec;
  return true;
}

// Confidence first, then probability; both thresholds inclusive. 1, 0, or -1 on error.
int accepted(PyObject* self, PyObject* probability, PyObject* confidence) {
  Ref confidence_th = config_value(self, names().confidence_th);
  if (!confidence_th) return -1;
  const int confident = PyObject_RichCompareBool(confidence, confidence_th.get(), Py_GE);
  if (confident != 1) return confident;
  Ref probability_th = config_value(self, names().gesture_prob_th);
  return probability_th ? PyObject_RichCompareBool(probability, probability_th.get(), Py_GE) : -1;
}

// Logs an accepted result and inserts it into the queue, replacing an uncollected one.
bool publish(PyObject* self, Ref (&result)[4]) {
  if (!log(self, names().debug, messages().accepted, result[0].get(), result[1].get(),
           result[2].get(), result[3].get())) {
    return false;
  }
  Ref entry = Ref::steal(
      PyTuple_Pack(4, result[0].get(), result[1].get(), result[2].get(), result[3].get()));
  Ref queue = entry ? get_attr(self, names().data_queue) : Ref();
  return queue && call_method(queue.get(), names().put_nowait, entry.get());
}

// One cycle: the batch, then the stall test, then the engine cycle and the acceptance test.
Step run_cycle(PyObject* self, PyObject* engine, DropReport& drops) {
  const Names& n = names();
  double timer = 0.0;
  if (!perf_counter(&timer) || !set_attr(self, n.timer, PyFloat_FromDouble(timer))) {
    return Step::failed;
  }
  const Step batch = receive_batch(self, engine, drops);
  if (batch != Step::next_cycle) return batch;
  double now = 0.0;
  double threshold = 0.0;
  if (!perf_counter(&now) || !stall_threshold(&threshold)) return Step::failed;
  if (now - timer > threshold) {
    return call_method(engine, n.data_init) ? Step::next_cycle : Step::failed;
  }
  Ref cycle = call_method(engine, n.run);
  Ref result[4];
  if (!cycle || !py::unpack(cycle.get(), 4, result)) return Step::failed;
  if (result[0].get() == Py_None) return Step::next_cycle;
  const int accept = accepted(self, result[1].get(), result[2].get());
  if (accept < 0) return Step::failed;
  if (accept == 0 || publish(self, result)) return Step::next_cycle;
  return Step::failed;
}

}  // namespace

PyObject* worker_run(PyObject* self, PyObject*) {
  if (!log(self, names().debug, messages().started)) return nullptr;
  Ref engine = build_engine(self);
  if (!engine) return nullptr;
  DropReport drops;
  for (;;) {
    const int stop = stop_requested(self);
    if (stop < 0) return nullptr;
    if (stop) break;
    const Step step = run_cycle(self, engine.get(), drops);
    if (step == Step::failed) return nullptr;
    if (step == Step::end_of_stream) break;
  }
  if (!report_unreported(self, drops)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace service
