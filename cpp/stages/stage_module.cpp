#include "stages/stage_module.hpp"

#include "stages/fields.hpp"
#include "stages/interpolation.hpp"

namespace stages {

bool prepare_stages(dsp::LinearFormula* formula) {
  return py::import_numpy() && load_names() && import_linear_formula(formula);
}

PyObject* create_stage_module(PyModuleDef* module_def, const py::ClassDefinition& definition,
                              ClassConstants* constants) {
  py::Ref module = py::Ref::steal(PyModule_Create(module_def));
  py::Ref cls = module ? py::Ref::steal(py::build_class(definition)) : py::Ref();
  if (!cls || !py::add_class(module.get(), cls.get())) return nullptr;
  constants->bind(cls.get());
  return module.release();
}

}  // namespace stages
