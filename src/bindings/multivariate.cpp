// Python-facing functions of the `multivariate` submodule.
#include "bindings/bindings.hpp"

namespace qm::bindings {

const py::FunctionTable multivariate_functions = {};

}  // namespace qm::bindings
