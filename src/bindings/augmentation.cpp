// Python-facing functions of the `augmentation` submodule: DTW, DBA,
// decomposition, features and bootstrap.
#include "augmentation/decompose.hpp"
#include "bindings/bindings.hpp"

namespace qm::bindings {
namespace {

using py::ArrayIn;

PyObject* py_classical_decompose(ArrayIn<double> values, std::optional<uint64_t> period) {
    std::vector<double> x = values.to_vector();
    DecomposeResult r = py::nogil([&] { return classical_decompose_core(x, period); });
    if (!r.ok()) value_error(r.error);
    Decomposition& d = r.decomposition;
    return py::make_tuple({py::to_array(std::move(d.trend)), py::to_array(std::move(d.seasonal)),
                           py::to_array(std::move(d.residual))});
}

}  // namespace

const py::FunctionTable augmentation_functions = {
    py::define<py_classical_decompose>("classical_decompose", "values, period=None"),
};

}  // namespace qm::bindings
