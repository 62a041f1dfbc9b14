#include "generators/var_process.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "fault.hpp"
#include "generators/covariance.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"

namespace qm {

void check_var_process_args(int32_t length, int32_t n_variables, int32_t order) {
    check_length(length);
    if (n_variables <= 0) value_error("n_variables must be > 0");
    if (order <= 0) value_error("order must be > 0");
}

void gen_var_process(std::span<double> out, uint64_t seed, const VarProcessParams& p,
                     std::span<const double> coef_matrices, std::span<const double> intercept,
                     std::span<const double> innovation_cov) {
    if (p.n_variables <= 0 || p.order <= 0) fault("var_process: n_variables and order must be > 0");
    Mt64 rng(seed);
    const auto n = static_cast<uint64_t>(p.n_variables);
    const auto order = static_cast<uint64_t>(p.order);
    const uint64_t block = n * n;  // n < 2^31: no overflow
    uint64_t needed = 0;
    if (__builtin_mul_overflow(order, block, &needed) || coef_matrices.size() < needed)
        fault("var_process: coef_matrices holds " + std::to_string(coef_matrices.size()) +
              " values, fewer than order * n_variables^2");
    const Matrix l = covariance_factor(matrix_from_rows(innovation_cov, n, n));

    // Only the states the lags reach are kept: a ring of min(order, steps)
    // states, state t in slot t mod ring. Output value i is component 0 of
    // state i + 100.
    const uint64_t steps = out.size() + kVarBurnIn;
    const uint64_t ring = std::min(order, steps);
    check_allocation(ring, n * sizeof(double));
    std::vector<double> history(ring * n);
    std::vector<double> x(n), e(n), q(n);
    const std::size_t nn = n;
    InnovationLaw law;
    for (uint64_t t = 0; t < steps; ++t) {
        x.assign(intercept.begin(), intercept.end());
        // Lag k + 1 reaches state t - 1 - k; lags before t = 0 are skipped.
        const uint64_t lags = std::min(order, t);
        for (uint64_t k = 0; k < lags; ++k) {
            const double* a = coef_matrices.data() + k * block;
            const double* prev = history.data() + ((t - 1 - k) % ring) * n;
            for (std::size_t i = 0; i < nn; ++i) {
                const double* row = a + i * nn;
                double v = row[0] * prev[0];
                for (std::size_t j = 1; j < nn; ++j) v = v + row[j] * prev[j];
                x[i] = v + x[i];
            }
        }
        // The law is checked at its first draw, as sample_innovation would.
        if (t == 0) law = prepare_innovation(p.innov_dist, 1.0, p.innov_param);
        for (double& v : e) v = draw_innovation(rng, law);
        mat_vec(l, e, q);
        // x always has the intercept's length: checked once, before any lag
        // reads past it (step 0 has none).
        if (t == 0 && x.size() != n) fault(kMatrixAddFault);
        double* state = history.data() + (t % ring) * n;
        for (std::size_t i = 0; i < nn; ++i) state[i] = q[i] + x[i];
        if (t >= kVarBurnIn) out[t - kVarBurnIn] = state[0];
    }
}

}  // namespace qm
