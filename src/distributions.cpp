#include "distributions.hpp"

#include <cmath>
#include <cstddef>
#include <string>

#include "fault.hpp"
#include "special.hpp"

namespace qm {

namespace {

void check_sizes(const char* name, std::size_t in, std::size_t out) {
    if (in != out) {
        fault(std::string(name) + ": output length " + std::to_string(out) + " != input length " +
              std::to_string(in));
    }
}

template <class F>
void fill(const char* name, std::span<const double> in, std::span<double> out, F f) {
    check_sizes(name, in.size(), out.size());
    const std::size_t n = in.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = f(in[i]);
}

}  // namespace

void norm_cdf_fill(std::span<const double> x, std::span<double> out) {
    fill("norm_cdf", x, out, [](double v) { return norm_cdf_scalar(v); });
}

void norm_ppf_fill(std::span<const double> p, std::span<double> out) {
    fill("norm_ppf", p, out, [](double v) { return norm_ppf_scalar(v); });
}

void t_cdf_fill(std::span<const double> x, double df, std::span<double> out) {
    fill("t_cdf", x, out, [df](double v) { return t_cdf_scalar(v, df); });
}

void gamma_ppf_fill(std::span<const double> u, double a, double scale, std::span<double> out) {
    fill("gamma_ppf", u, out, [a, scale](double v) { return gamma_ppf_scalar(v, a, scale); });
}

void expon_ppf_fill(std::span<const double> u, double scale, std::span<double> out) {
    fill("expon_ppf", u, out, [scale](double v) { return expon_ppf_scalar(v, scale); });
}

void lognorm_ppf_fill(std::span<const double> u, double s, double scale, std::span<double> out) {
    fill("lognorm_ppf", u, out, [s, scale](double v) { return lognorm_ppf_scalar(v, s, scale); });
}

void uniform_ppf_fill(std::span<const double> u, double loc, double scale, std::span<double> out) {
    fill("uniform_ppf", u, out, [loc, scale](double v) { return uniform_ppf_scalar(v, loc, scale); });
}

}  // namespace qm
