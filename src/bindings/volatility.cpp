// Python-facing functions of the `volatility` submodule. Each checks its
// arguments, fills its generator's parameter record and runs the same core as
// the batch dispatcher.
#include "bindings/bindings.hpp"
#include "generators/volatility.hpp"

namespace qm::bindings {
namespace {

constexpr char kStochasticVolatilitySignature[] =
    "length, model_type, initial_price, initial_vol, drift, mean_vol, vol_mean_reversion, vol_of_vol, correlation, "
    "beta_param, dt, output_type, seed, innov_dist, innov_param";
static_assert(slots_follow(kStochasticVolatilitySignature, kStochasticVolatilitySlots));

PyObject* py_stochastic_volatility(int32_t length, int32_t model_type, double initial_price, double initial_vol,
                                   double drift, double mean_vol, double vol_mean_reversion, double vol_of_vol,
                                   double correlation, double beta_param, double dt, int32_t output_type,
                                   uint64_t seed, int32_t innov_dist, double innov_param) {
    check_length(length);
    const StochasticVolatilityParams p{.model_type = model_type,
                                       .initial_price = initial_price,
                                       .initial_vol = initial_vol,
                                       .drift = drift,
                                       .mean_vol = mean_vol,
                                       .vol_mean_reversion = vol_mean_reversion,
                                       .vol_of_vol = vol_of_vol,
                                       .correlation = correlation,
                                       .beta_param = beta_param,
                                       .dt = dt,
                                       .output_type = output_type,
                                       .innov_dist = innov_dist,
                                       .innov_param = innov_param};
    return series(length, [&](std::span<double> out) { gen_stochastic_volatility(out, seed, p); });
}

constexpr char kRegimeSwitchingSignature[] =
    "length, n_regimes, regime_means, regime_variances, regime_ar_coeffs, transition_matrix, stationary_probs, "
    "initial_regime, seed, innov_dist, innov_param";
static_assert(slots_follow(kRegimeSwitchingSignature, kRegimeSwitchingSlots,
                           {"regime_means", "regime_variances", "regime_ar_coeffs", "transition_matrix",
                            "stationary_probs"}));

PyObject* py_regime_switching(int32_t length, int32_t n_regimes, py::ArrayIn<double> regime_means,
                              py::ArrayIn<double> regime_variances, py::ArrayIn<double> regime_ar_coeffs,
                              py::ArrayIn<double> transition_matrix, py::ArrayIn<double> stationary_probs,
                              int32_t initial_regime, uint64_t seed, int32_t innov_dist, double innov_param) {
    check_regime_switching_args(length, n_regimes, initial_regime, stationary_probs.size());
    const std::vector<double> means = regime_means.to_vector();
    const std::vector<double> variances = regime_variances.to_vector();
    const std::vector<double> ar_coeffs = regime_ar_coeffs.to_vector();
    const std::vector<double> transition = transition_matrix.to_vector();
    const std::vector<double> stationary = stationary_probs.to_vector();
    const RegimeSwitchingParams p{
        .n_regimes = n_regimes, .initial_regime = initial_regime, .innov_dist = innov_dist, .innov_param = innov_param};
    const RegimeArrays arrays{means, variances, ar_coeffs, transition, stationary};
    return series(length, [&](std::span<double> out) { gen_regime_switching(out, seed, p, arrays); });
}

}  // namespace

const py::FunctionTable volatility_functions = {
    py::define<py_stochastic_volatility>("stochastic_volatility", kStochasticVolatilitySignature),
    py::define<py_regime_switching>("regime_switching", kRegimeSwitchingSignature,
                                    "`initial_regime < 0` draws the starting regime from `stationary_probs`\n"
                                    "(which must then have at least `n_regimes` entries)."),
};

}  // namespace qm::bindings
