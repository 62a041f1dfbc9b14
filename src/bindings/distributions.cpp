// Python-facing functions of the `distributions` submodule: elementwise
// distribution and quantile functions over a float64 array.
#include "bindings/bindings.hpp"
#include "distributions.hpp"

namespace qm::bindings {
namespace {

using py::ArrayIn;

// Copies the input under the lock (another thread may change the caller's
// array while ours is released), fills a new array of the same length. The
// loop stays on the calling thread: callers that run these functions from
// their own workers count on one call being one thread.
template <class Fill>
PyObject* elementwise(const ArrayIn<double>& input, Fill fill) {
    std::vector<double> in = input.to_vector();
    std::vector<double> out(in.size());
    py::nogil([&] { fill(std::span<const double>(in), std::span<double>(out)); });
    return py::to_array(std::move(out));
}

PyObject* py_norm_cdf(ArrayIn<double> x) { return elementwise(x, norm_cdf_fill); }
PyObject* py_norm_ppf(ArrayIn<double> p) { return elementwise(p, norm_ppf_fill); }
PyObject* py_t_cdf(ArrayIn<double> x, double df) {
    return elementwise(x, [df](std::span<const double> in, std::span<double> out) { t_cdf_fill(in, df, out); });
}
PyObject* py_gamma_ppf(ArrayIn<double> u, double a, double scale) {
    return elementwise(u, [=](std::span<const double> in, std::span<double> out) { gamma_ppf_fill(in, a, scale, out); });
}
PyObject* py_expon_ppf(ArrayIn<double> u, double scale) {
    return elementwise(u, [=](std::span<const double> in, std::span<double> out) { expon_ppf_fill(in, scale, out); });
}
PyObject* py_lognorm_ppf(ArrayIn<double> u, double s, double scale) {
    return elementwise(u, [=](std::span<const double> in, std::span<double> out) { lognorm_ppf_fill(in, s, scale, out); });
}
PyObject* py_uniform_ppf(ArrayIn<double> u, double loc, double scale) {
    return elementwise(u, [=](std::span<const double> in, std::span<double> out) { uniform_ppf_fill(in, loc, scale, out); });
}

}  // namespace

const py::FunctionTable distributions_functions = {
    py::define<py_norm_cdf>("norm_cdf", "x"),
    py::define<py_norm_ppf>("norm_ppf", "p"),
    py::define<py_t_cdf>("t_cdf", "x, df"),
    py::define<py_gamma_ppf>("gamma_ppf", "u, a, scale"),
    py::define<py_expon_ppf>("expon_ppf", "u, scale"),
    py::define<py_lognorm_ppf>("lognorm_ppf", "u, s, scale"),
    py::define<py_uniform_ppf>("uniform_ppf", "u, loc, scale"),
};

}  // namespace qm::bindings
