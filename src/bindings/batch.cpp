// Python-facing functions of the `batch` submodule.
#include "bindings/bindings.hpp"

namespace qm::bindings {

const py::FunctionTable batch_functions = {};

}  // namespace qm::bindings
