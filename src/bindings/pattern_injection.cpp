// Python-facing functions of the `pattern_injection` submodule.
#include "bindings/bindings.hpp"

namespace qm::bindings {

const py::FunctionTable pattern_injection_functions = {};

}  // namespace qm::bindings
