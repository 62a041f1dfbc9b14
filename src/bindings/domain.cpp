// Python-facing functions of the `domain` submodule.
#include "bindings/bindings.hpp"

namespace qm::bindings {

const py::FunctionTable domain_functions = {};

}  // namespace qm::bindings
