// Module velmorakit.middleware.utilities.dataset_shaper: the class DatasetShaper, which cuts
// recorded samples into segment vectors, and extract_segments for whole recordings.
#include <algorithm>
#include <vector>

#include "dsp/resample.hpp"
#include "dsp/stream_extractor.hpp"
#include "py/args.hpp"
#include "py/class_builder.hpp"
#include "stages/stage_methods.hpp"
#include "stages/window_stages.hpp"

namespace {

using py::Ref;

constexpr const char* kModule = "velmorakit.middleware.utilities.dataset_shaper";

stages::ClassConstants shaper_constants;

PyObject* init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::bind_arguments("__init__", args, nargs, kwnames, {}, 0, nullptr)) return nullptr;
  const stages::Constants* k = shaper_constants.get();
  if (!k || !py::set_int_attribute(self, "data_counter", 0) ||
      !py::set_int_attribute(self, "last_max_time", 0) ||
      !stages::design_filters(self, shaper_constants.cls()) || !stages::reset_buffers(self, *k) ||
      !py::set_int_attribute(self, "left", 0) || !py::set_int_attribute(self, "right", 98)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The caller's object is never changed; a bad sample changes nothing.
PyObject* push_data(PyObject* self, PyObject* data) {
  const stages::Constants* k = shaper_constants.get();
  double sample[6];
  stages::Push push;
  if (!k || !stages::read_sample(data, true, sample) || !stages::prepare_push(self, *k, &push) ||
      !stages::commit_push(push, sample)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* data_interpolation(PyObject* self, PyObject*) {
  return stages::interpolation_stage(self, true);
}

PyObject* run(PyObject* self, PyObject*) {
  const stages::Constants* k = shaper_constants.get();
  if (!k || !stages::filter_stage(self, *k)) return nullptr;
  const int found = stages::segment<shaper_constants, stages::SegmentFields::shaper>(self);
  if (found < 0) return nullptr;
  if (!found) Py_RETURN_FALSE;
  return stages::interpolation_stage(self, true);
}

// Filter designs and tuning of a fresh DatasetShaper, for extract_segments.
bool extractor_settings(dsp::ExtractorSettings* s) {
  const stages::Constants* k = shaper_constants.get();
  if (!k) return false;
  Ref probe = Ref::steal(PyObject_CallNoArgs(shaper_constants.cls()));
  if (!probe) return false;
  py::Float64View b, a;
  const char* fields[3][2] = {{"b_acc", "a_acc"}, {"b_vel", "a_vel"}, {"b_veltot", "a_veltot"}};
  dsp::Iir* targets[3] = {&s->filters.acc, &s->filters.vel, &s->filters.veltot};
  for (int i = 0; i < 3; ++i) {
    Ref bo = Ref::steal(PyObject_GetAttrString(probe.get(), fields[i][0]));
    Ref ao = bo ? Ref::steal(PyObject_GetAttrString(probe.get(), fields[i][1])) : Ref();
    if (!ao || !py::read_float64(bo.get(), fields[i][0], 1, -1, -1, &b) ||
        !py::read_float64(ao.get(), fields[i][1], 1, -1, -1, &a)) {
      return false;
    }
    if (dsp::make_iir({b.data, b.row_stride, 0}, static_cast<std::size_t>(b.rows),
                      {a.data, a.row_stride, 0}, static_cast<std::size_t>(a.rows),
                      targets[i]) != dsp::IirStatus::ok) {
      PyErr_Format(PyExc_ValueError, "unusable filter design %s/%s", fields[i][0], fields[i][1]);
      return false;
    }
  }
  s->segment = k->segment;
  s->rows = static_cast<std::size_t>(k->rows);
  s->dt = k->dt;
  return true;
}

PyObject* extract_segments(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2] = {nullptr, nullptr};
  if (!py::bind_arguments("extract_segments", args, nargs, kwnames, {"samples", "step"}, 1,
                          bound)) {
    return nullptr;
  }
  long long step = 1;
  if (bound[1] && !py::integer_argument(bound[1], "step", &step)) return nullptr;
  if (step < 1) {
    PyErr_Format(PyExc_ValueError, "step must be at least 1, not %lld", step);
    return nullptr;
  }
  Ref samples = Ref::steal(PyArray_FROMANY(bound[0], NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO));
  if (!samples) return nullptr;
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(samples.get());
  if (PyArray_NDIM(arr) != 2) {
    PyErr_Format(PyExc_ValueError, "samples must be two-dimensional (N x 6), not %d-dimensional",
                 PyArray_NDIM(arr));
    return nullptr;
  }
  if (PyArray_DIM(arr, 1) != 6) {
    PyErr_Format(PyExc_ValueError,
                 "samples must have 6 columns (acceleration x, y, z, velocity x, y, z), not %zd",
                 static_cast<Py_ssize_t>(PyArray_DIM(arr, 1)));
    return nullptr;
  }
  dsp::ExtractorSettings settings;
  if (!extractor_settings(&settings)) return nullptr;
  dsp::Extracted found;
  const double* data = static_cast<const double*>(PyArray_DATA(arr));
  const auto n = static_cast<std::size_t>(PyArray_DIM(arr, 0));
  Py_BEGIN_ALLOW_THREADS dsp::extract_segments(settings, data, n, static_cast<std::size_t>(step),
                                               &found);
  Py_END_ALLOW_THREADS

      const auto k = static_cast<npy_intp>(found.bounds.size() / 2);
  const auto width = static_cast<npy_intp>(dsp::kFeatureLength) + 1;
  npy_intp vector_dims[2] = {k, width};
  npy_intp bound_dims[2] = {k, 2};
  Ref vectors = Ref::steal(PyArray_SimpleNew(2, vector_dims, NPY_DOUBLE));
  Ref bounds = Ref::steal(PyArray_SimpleNew(2, bound_dims, NPY_INT64));
  if (!vectors || !bounds) return nullptr;
  double* v = py::float64_data(vectors.get());
  auto* b = static_cast<npy_int64*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(bounds.get())));
  for (npy_intp i = 0; i < k; ++i) {
    v[i * width] = 1.0;
    std::copy_n(found.features.data() + i * (width - 1), width - 1, v + i * width + 1);
    b[2 * i] = found.bounds[2 * i];
    b[2 * i + 1] = found.bounds[2 * i + 1];
  }
  return PyTuple_Pack(2, vectors.get(), bounds.get());
}

#define NOARGS(name, doc) {#name, name, METH_NOARGS, #name "($self, /)\n--\n\n" doc}
#define FASTKW(func) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(func))

PyMethodDef methods[] = {
    {"__init__", FASTKW(init), METH_FASTCALL | METH_KEYWORDS, "__init__($self, /)\n--\n\n"},
    {"push_data", push_data, METH_O,
     "push_data($self, data, /)\n--\n\npush new data into data matrix, push new data from the "
     "bottom"},
    {"data_filter", stages::data_filter_method<shaper_constants>, METH_NOARGS,
     "data_filter($self, /)\n--\n\n"},
    {"data_segmentation",
     stages::data_segmentation_method<shaper_constants, stages::SegmentFields::shaper>, METH_NOARGS,
     "data_segmentation($self, /)\n--\n\nsegment veltot"},
    NOARGS(data_interpolation, "data interpolation"),
    NOARGS(run, "run neural netwrok"),
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef static_methods[] = {
    {"_design_filter", FASTKW(stages::design_filter_method), METH_FASTCALL | METH_KEYWORDS,
     "_design_filter(order, cutoff, f_nyq)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef module_functions[] = {
    {"extract_segments", FASTKW(extract_segments), METH_FASTCALL | METH_KEYWORDS,
     "extract_segments(samples, step=1)\n--\n\n"
     "Cut a recording into segment vectors.\n\n"
     "Behaves like a fresh DatasetShaper fed every row of `samples` (N x 6: acceleration\n"
     "x, y, z, velocity x, y, z) in order, with run() after every `step`-th push. Returns\n"
     "(vectors, bounds): the (k, 301) segment vectors and the (k, 2) int64 start and end\n"
     "sample index of each segment (negative on the zero rows before the first sample).\n"
     "The loop runs without the GIL."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* class_attributes() {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return nullptr;
  const bool ok = stages::put_tuning_constants(ns.get(), stages::SpecificationStyle::lists);
  return ok ? ns.release() : nullptr;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "dataset_shaper",
                          "Offline segment extraction: recorded samples into segment vectors.",
                          -1,
                          module_functions,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_dataset_shaper() {
  if (!py::import_numpy()) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&module_def));
  Ref attributes = Ref::steal(class_attributes());
  if (!module || !attributes) return nullptr;
  const py::ClassDefinition definition{
      "DatasetShaper",
      kModule,
      "Cuts recorded sensor samples into fixed-length segment vectors.",
      nullptr,
      attributes.get(),
      methods,
      static_methods};
  Ref cls = Ref::steal(py::build_class(definition));
  if (!cls || !py::add_class(module.get(), cls.get())) return nullptr;
  shaper_constants.bind(cls.get());
  return module.release();
}
