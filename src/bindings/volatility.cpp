// Python-facing functions of the `volatility` submodule.
#include "bindings/bindings.hpp"

namespace qm::bindings {

const py::FunctionTable volatility_functions = {};

}  // namespace qm::bindings
