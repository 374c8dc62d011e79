// What the gesture service module imports and defines, shared by its three classes.
#pragma once

#include <Python.h>

namespace service {

constexpr const char* kModule = "velmorakit.middleware.velmora_gesture";
constexpr const char* kPackage = "velmorakit.middleware";

// Strong references, taken at module initialisation and kept for the life of the process.
struct ModuleState {
  PyObject* time_module = nullptr;    // time: perf_counter is looked up at each reading
  PyObject* process_base = nullptr;   // multiprocessing.Process
  PyObject* make_event = nullptr;     // multiprocessing.Event
  PyObject* get_context = nullptr;    // multiprocessing.get_context
  PyObject* log_to_stderr = nullptr;  // multiprocessing.log_to_stderr
  PyObject* queue_base = nullptr;     // multiprocessing.queues.Queue
  PyObject* full = nullptr;           // queue.Full
  PyObject* empty = nullptr;          // queue.Empty
  PyObject* computing = nullptr;      // VelmoraComputing
  PyObject* gesture = nullptr;        // Gesture
  PyObject* latest_queue = nullptr;   // VelmoraQueue
  PyObject* worker = nullptr;         // VGesture
};
ModuleState& state();

// Interned attribute and method names.
struct Names {
  PyObject *init, *put, *get_nowait, *put_nowait, *join, *terminate, *exitcode, *start, *stop;
  PyObject *stop_event, *logger, *gesture_model, *sensor_pipe, *data_queue, *timer, *process;
  PyObject *model_path, *encoder_path, *num_sample, *confidence_th, *gesture_prob_th;
  PyObject *recv, *push_data, *data_init, *run, *is_set, *set, *perf_counter, *level;
  PyObject *debug, *info, *warning, *ctx;
  PyObject *new_data_int_sec, *tsample_margin_sec;
};
const Names& names();

// Runs the module's imports in their fixed order, binds every imported name in `module` as a
// Python module's import statements would, and fills state().
bool import_dependencies(PyObject* module);

// time.perf_counter(), looked up anew at each reading. False with an exception set.
bool perf_counter(double* out);

}  // namespace service
