// Python-facing functions of the `stochastic` submodule.
#include "bindings/bindings.hpp"

namespace qm::bindings {

const py::FunctionTable stochastic_functions = {};

}  // namespace qm::bindings
