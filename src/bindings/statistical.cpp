// Python-facing functions of the `statistical` submodule.
#include "bindings/bindings.hpp"

namespace qm::bindings {

const py::FunctionTable statistical_functions = {};

}  // namespace qm::bindings
