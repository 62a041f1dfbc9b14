#include "generators/state_space.hpp"

#include <cstddef>
#include <vector>

#include "fault.hpp"
#include "generators/covariance.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

void check_state_space_args(int32_t length, int32_t state_dim, int32_t obs_dim) {
    check_length(length);
    if (state_dim <= 0) value_error("state_dim must be > 0");
    if (obs_dim <= 0) value_error("obs_dim must be > 0");
}

void gen_state_space(std::span<double> out, uint64_t seed, const StateSpaceParams& p, const StateSpaceArrays& a) {
    Mt64 rng(seed);
    const uint64_t n = p.state_dim;
    const uint64_t m = p.obs_dim;
    check_matrix_slice(a.f_mat, n, n);
    check_matrix_slice(a.h_mat, m, n);
    check_matrix_slice(a.q_mat, n, n);
    check_matrix_slice(a.r_mat, m, m);
    check_matrix_slice(a.initial_state_cov, n, n);
    // From here n and m are bounded by the arrays (n * n and m * m values).
    const Matrix f = matrix_from_rows(a.f_mat, n, n);
    const Matrix h = matrix_from_rows(a.h_mat, m, n);
    const Matrix l_q = covariance_factor(matrix_from_rows(a.q_mat, n, n));
    const Matrix l_r = covariance_factor(matrix_from_rows(a.r_mat, m, m));
    const Matrix l_p = covariance_factor(matrix_from_rows(a.initial_state_cov, n, n));

    std::vector<double> z(n), x(n), w(n), fx(n), qw(n), e(m);
    for (double& v : z) v = standard_normal(rng);
    mat_vec(l_p, z, x);
    if (a.initial_state.size() != n) fault(kMatrixAddFault);
    for (std::size_t i = 0; i < n; ++i) x[i] = x[i] + a.initial_state[i];

    // The law is checked at its first draw, as sample_innovation would.
    InnovationLaw law;
    bool law_ready = false;
    for (double& slot : out) {
        for (double& v : e) v = standard_normal(rng);
        if (m == 0) fault("Matrix index out of bounds.");
        // Only component 0 of y = L_R e + H x is kept; the others have no effect.
        slot = mat_vec_row(l_r, 0, e) + mat_vec_row(h, 0, x);
        if (n != 0 && !law_ready) {
            law = prepare_innovation(p.innov_dist, 1.0, p.innov_param);
            law_ready = true;
        }
        for (double& v : w) v = draw_innovation(rng, law);
        mat_vec(l_q, w, qw);
        mat_vec(f, x, fx);
        for (std::size_t i = 0; i < n; ++i) x[i] = qw[i] + fx[i];
    }
}

}  // namespace qm
