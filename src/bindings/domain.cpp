// Python-facing functions of the `domain` submodule.
#include "bindings/bindings.hpp"
#include "generators/intermittent.hpp"

namespace qm::bindings {
namespace {

constexpr char kIntermittentDemandSignature[] =
    "length, demand_probability, demand_distribution, demand_mean, demand_std, intermittent_pattern, cluster_size, "
    "seasonal_period, seasonal_peak_prob, min_demand, seed";
static_assert(slots_follow(kIntermittentDemandSignature, kIntermittentDemandSlots));

PyObject* py_intermittent_demand(int32_t length, double demand_probability, int32_t demand_distribution,
                                 double demand_mean, double demand_std, int32_t intermittent_pattern,
                                 int32_t cluster_size, int32_t seasonal_period, double seasonal_peak_prob,
                                 double min_demand, uint64_t seed) {
    if (length <= 0) value_error("length must be > 0");
    const IntermittentDemandParams p{.demand_probability = demand_probability,
                                     .demand_distribution = demand_distribution,
                                     .demand_mean = demand_mean,
                                     .demand_std = demand_std,
                                     .intermittent_pattern = intermittent_pattern,
                                     .cluster_size = cluster_size,
                                     .seasonal_period = seasonal_period,
                                     .seasonal_peak_prob = seasonal_peak_prob,
                                     .min_demand = min_demand};
    return series(length, [&](std::span<double> out) { gen_intermittent_demand(out, seed, p); });
}

}  // namespace

const py::FunctionTable domain_functions = {
    py::define<py_intermittent_demand>("intermittent_demand", kIntermittentDemandSignature),
};

}  // namespace qm::bindings
