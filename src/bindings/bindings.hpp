// The function tables of the nine submodules, each in registration order.
#pragma once

#include "call.hpp"

namespace qm::bindings {

extern const py::FunctionTable augmentation_functions;
extern const py::FunctionTable pattern_injection_functions;
extern const py::FunctionTable distributions_functions;
extern const py::FunctionTable statistical_functions;
extern const py::FunctionTable stochastic_functions;
extern const py::FunctionTable volatility_functions;
extern const py::FunctionTable multivariate_functions;
extern const py::FunctionTable domain_functions;
extern const py::FunctionTable batch_functions;

}  // namespace qm::bindings
