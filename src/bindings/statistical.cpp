// Python-facing functions of the `statistical` submodule. Each checks its
// arguments, fills its generator's parameter record and runs the same core as
// the batch dispatcher.
#include "bindings/bindings.hpp"
#include "generators/ets.hpp"
#include "generators/inar.hpp"
#include "generators/sarima.hpp"
#include "generators/statistical.hpp"

namespace qm::bindings {
namespace {

constexpr char kRandomWalkSignature[] = "length, drift, volatility, start_value, seed, innov_dist, innov_param";
static_assert(slots_follow(kRandomWalkSignature, kRandomWalkSlots));

PyObject* py_random_walk(int32_t length, double drift, double volatility, double start_value, uint64_t seed,
                         int32_t innov_dist, double innov_param) {
    check_length(length);
    const RandomWalkParams p{.drift = drift,
                             .volatility = volatility,
                             .start_value = start_value,
                             .innov_dist = innov_dist,
                             .innov_param = innov_param};
    return series(length, [&](std::span<double> out) { gen_random_walk(out, seed, p); });
}

constexpr char kSeasonalSignature[] =
    "length, seasonality_period, seasonality_amplitude, trend, noise_level, base_level, seed, innov_dist=0, "
    "innov_param=0.0";
static_assert(slots_follow(kSeasonalSignature, kSeasonalSlots));

PyObject* py_seasonal(int32_t length, int32_t seasonality_period, double seasonality_amplitude, double trend,
                      double noise_level, double base_level, uint64_t seed, int32_t innov_dist, double innov_param) {
    check_seasonal_args(length, seasonality_period);
    const SeasonalParams p{.seasonality_period = seasonality_period,
                           .seasonality_amplitude = seasonality_amplitude,
                           .trend = trend,
                           .noise_level = noise_level,
                           .base_level = base_level,
                           .innov_dist = innov_dist,
                           .innov_param = innov_param};
    return series(length, [&](std::span<double> out) { gen_seasonal(out, seed, p); });
}

constexpr char kSarimaSignature[] =
    "length, full_ar_poly, full_ma_poly, d, seasonal_d, seasonal_period, mean, drift_val, noise_std, burn_in, seed, "
    "innov_dist, innov_param";
static_assert(slots_follow(kSarimaSignature, kSarimaSlots, {"full_ar_poly", "full_ma_poly"}));

PyObject* py_sarima(int32_t length, py::ArrayIn<double> full_ar_poly, py::ArrayIn<double> full_ma_poly, int32_t d,
                    int32_t seasonal_d, int32_t seasonal_period, double mean, double drift_val, double noise_std,
                    int32_t burn_in, uint64_t seed, int32_t innov_dist, double innov_param) {
    check_length(length);
    const std::vector<double> ar = full_ar_poly.to_vector();
    const std::vector<double> ma = full_ma_poly.to_vector();
    const SarimaParams p{.d = d,
                         .seasonal_d = seasonal_d,
                         .seasonal_period = seasonal_period,
                         .mean = mean,
                         .drift_val = drift_val,
                         .noise_std = noise_std,
                         .burn_in = burn_in,
                         .innov_dist = innov_dist,
                         .innov_param = innov_param};
    return series(length, [&](std::span<double> out) { gen_sarima(out, seed, p, ar, ma); });
}

constexpr char kEtsSignature[] =
    "length, error_type, trend_type, seasonal_type, seasonal_period, level, trend_init, seasonal_init, alpha, "
    "beta_param, gamma, phi, damped, noise_std, seed, innov_dist, innov_param";
static_assert(slots_follow(kEtsSignature, kEtsSlots, {"seasonal_init"}));

PyObject* py_ets(int32_t length, int32_t error_type, int32_t trend_type, int32_t seasonal_type, int32_t seasonal_period,
                 double level, double trend_init, py::ArrayIn<double> seasonal_init, double alpha, double beta_param,
                 double gamma, double phi, bool damped, double noise_std, uint64_t seed, int32_t innov_dist,
                 double innov_param) {
    check_ets_args(length, seasonal_period);
    const std::vector<double> init = seasonal_init.to_vector();
    const EtsParams p{.error_type = error_type,
                      .trend_type = trend_type,
                      .seasonal_type = seasonal_type,
                      .seasonal_period = seasonal_period,
                      .level = level,
                      .trend_init = trend_init,
                      .alpha = alpha,
                      .beta_param = beta_param,
                      .gamma = gamma,
                      .phi = phi,
                      .damped = damped,
                      .noise_std = noise_std,
                      .innov_dist = innov_dist,
                      .innov_param = innov_param};
    return series(length, [&](std::span<double> out) { gen_ets(out, seed, p, init); });
}

constexpr char kInarSignature[] = "length, p, alpha_arr, innov_type, innov_mean, innov_dispersion, seed";
static_assert(slots_follow(kInarSignature, kInarSlots, {"alpha_arr"}));

PyObject* py_inar(int32_t length, int32_t p, py::ArrayIn<double> alpha_arr, int32_t innov_type, double innov_mean,
                  double innov_dispersion, uint64_t seed) {
    check_inar_args(length, p);
    const std::vector<double> alpha = alpha_arr.to_vector();
    const InarParams params{
        .p = p, .innov_type = innov_type, .innov_mean = innov_mean, .innov_dispersion = innov_dispersion};
    return series(length, [&](std::span<double> out) { gen_inar(out, seed, params, alpha); });
}

}  // namespace

const py::FunctionTable statistical_functions = {
    py::define<py_random_walk>("random_walk", kRandomWalkSignature),
    py::define<py_seasonal>("seasonal", kSeasonalSignature),
    py::define<py_sarima>("sarima", kSarimaSignature),
    py::define<py_ets>("ets", kEtsSignature),
    py::define<py_inar>("inar", kInarSignature),
};

}  // namespace qm::bindings
