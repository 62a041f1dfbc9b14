#include "generators/copula.hpp"

#include <cmath>
#include <vector>

#include "clamp.hpp"
#include "fault.hpp"
#include "generators/covariance.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"
#include "special.hpp"

namespace qm {

namespace {

constexpr double kLow = 1e-15;
constexpr double kHigh = 0.999999999999999;

double marginal_value(const CopulaParams& p, double v) {
    const double p1 = p.marginal_param1;
    const double p2 = p.marginal_param2;
    switch (p.marginal_distribution) {
        case 0:
            return norm_ppf_scalar(v) * p2 + p1;
        case 1:
            return lognorm_ppf_scalar(v, p1, p2);
        case 2:
            return expon_ppf_scalar(v, p1);
        case 3:
            return uniform_ppf_scalar(v, p1, p2);
        case 4:
            return gamma_ppf_scalar(v, p1, p2);
        default:
            return norm_ppf_scalar(v);
    }
}

}  // namespace

void check_copula_args(int32_t length, int32_t n_variables) {
    check_length(length);
    if (n_variables <= 0) value_error("n_variables must be > 0");
}

void gen_copula(std::span<double> out, uint64_t seed, const CopulaParams& p, std::span<const double> correlation) {
    if (p.n_variables <= 0) fault("copula: n_variables must be > 0");
    Mt64 rng(seed);
    const auto n = static_cast<uint64_t>(p.n_variables);
    const Matrix l = covariance_factor(matrix_from_rows(correlation, n, n));
    const bool gaussian = p.copula_type == kCopulaGaussian;
    const double df = p.df;
    std::vector<double> z(n);
    for (double& slot : out) {
        for (double& v : z) v = standard_normal(rng);
        // Only the first component reaches the output.
        const double y0 = mat_vec_row(l, 0, z);
        double u0;
        if (gaussian) {
            u0 = norm_cdf_scalar(y0);
        } else {
            // A chi-square with df degrees of freedom; df / 2 not > 0 is the gamma fault.
            const double w = sample_gamma(rng, df * 0.5, 2.0);
            const double s = std::sqrt(df / w);
            u0 = t_cdf_scalar(y0 * s, df);
        }
        const double v = clamp_nan_passes(u0, kLow, kHigh);
        slot = marginal_value(p, v);
    }
}

}  // namespace qm
