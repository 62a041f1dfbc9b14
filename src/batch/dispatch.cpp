#include "batch/dispatch.hpp"

#include <array>
#include <string>

#include "fault.hpp"
#include "generators/bounded.hpp"
#include "generators/chaotic.hpp"
#include "generators/clickstream.hpp"
#include "generators/cyclic.hpp"
#include "generators/diffusion.hpp"
#include "generators/energy_load.hpp"
#include "generators/ets.hpp"
#include "generators/fbm.hpp"
#include "generators/garch.hpp"
#include "generators/gaussian_process.hpp"
#include "generators/inar.hpp"
#include "generators/intermittent.hpp"
#include "generators/levy.hpp"
#include "generators/mar.hpp"
#include "generators/point_process.hpp"
#include "generators/sarima.hpp"
#include "generators/state_space.hpp"
#include "generators/statistical.hpp"
#include "generators/tcm.hpp"
#include "generators/tsi.hpp"
#include "generators/vital_signs.hpp"
#include "generators/volatility.hpp"

namespace qm {

namespace {

using Scalars = std::span<const double>;
using Arrays = std::span<const std::vector<double>>;

// A core whose record comes from its slot table alone (counts already
// checked); the record is read afresh for every series.
template <auto& Slots, auto Core>
void run_record(std::span<double> out, Scalars s, Arrays, uint64_t seed) {
    Core(out, seed, record_from_slots(Slots, s));
}

template <auto& Slots, auto Core>
constexpr GenTypeRow record_row(const char* name, std::size_t min_arrays = 0) {
    return {name, Slots.size(), min_arrays, run_record<Slots, Core>};
}

void run_garch(std::span<double> out, Scalars s, Arrays a, uint64_t seed) {
    gen_garch(out, seed, record_from_slots(kGarchSlots, s), a[0], a[1]);
}

// Array 0, when given, is the holiday list (slot conversion per element).
void run_energy_load(std::span<double> out, Scalars s, Arrays a, uint64_t seed) {
    const std::vector<int32_t> holidays = a.empty() ? std::vector<int32_t>{} : saturating_i32_values(a[0]);
    gen_energy_load(out, seed, record_from_slots(kEnergyLoadSlots, s), holidays);
}

// The six state-space matrices and vectors, in table order.
void run_state_space(std::span<double> out, Scalars s, Arrays a, uint64_t seed) {
    gen_state_space(out, seed, record_from_slots(kStateSpaceSlots, s), {a[0], a[1], a[2], a[3], a[4], a[5]});
}

void run_sarima(std::span<double> out, Scalars s, Arrays a, uint64_t seed) {
    gen_sarima(out, seed, record_from_slots(kSarimaSlots, s), a[0], a[1]);
}

void run_ets(std::span<double> out, Scalars s, Arrays a, uint64_t seed) {
    gen_ets(out, seed, record_from_slots(kEtsSlots, s), a[0]);
}

void run_inar(std::span<double> out, Scalars s, Arrays a, uint64_t seed) {
    gen_inar(out, seed, record_from_slots(kInarSlots, s), a[0]);
}

void run_regime_switching(std::span<double> out, Scalars s, Arrays a, uint64_t seed) {
    gen_regime_switching(out, seed, record_from_slots(kRegimeSwitchingSlots, s), {a[0], a[1], a[2], a[3], a[4]});
}

// MAR takes the whole scalar vector and array list and checks them itself.
void run_mar(std::span<double> out, Scalars s, Arrays a, uint64_t seed) { gen_mar(out, seed, mar_params(s), a); }

// TSI reads its three pools (trend kinds, seasonal periods, irregular kinds).
void run_tsi(std::span<double> out, Scalars s, Arrays a, uint64_t seed) {
    gen_tsi(out, seed, record_from_slots(kTsiSlots, s), a[0], a[1], a[2]);
}

// TCM reads its two pools (edge kinds, noise laws).
void run_tcm(std::span<double> out, Scalars s, Arrays a, uint64_t seed) {
    gen_tcm(out, seed, record_from_slots(kTcmSlots, s), a[0], a[1]);
}

// Indexed by code. A row without a name is an unused code; every named row has a core.
constexpr std::array<GenTypeRow, kMaxGenType + 1> kGenTypes{{
    /*  0 */ record_row<kRandomWalkSlots, gen_random_walk>("random_walk"),
    /*  1 */ record_row<kSeasonalSlots, gen_seasonal>("seasonal"),
    /*  2 */ {"sarima", kSarimaSlots.size(), 2, run_sarima},
    /*  3 */ {"ets", kEtsSlots.size(), 1, run_ets},
    /*  4 */ {"inar", kInarSlots.size(), 1, run_inar},
    /*  5 */ record_row<kOrnsteinUhlenbeckSlots, gen_ornstein_uhlenbeck>("ornstein_uhlenbeck"),
    /*  6 */ record_row<kGeometricBrownianMotionSlots, gen_geometric_brownian_motion>("geometric_brownian_motion"),
    /*  7 */ record_row<kJumpDiffusionSlots, gen_jump_diffusion>("jump_diffusion"),
    /*  8 */ record_row<kPoissonProcessSlots, gen_poisson_process>("poisson_process"),
    /*  9 */ record_row<kCyclicSlots, gen_cyclic>("cyclic"),
    /* 10 */ {"garch", kGarchSlots.size(), 2, run_garch},
    /* 11 */ record_row<kHawkesProcessSlots, gen_hawkes_process>("hawkes_process"),
    /* 12 */ record_row<kChaoticSystemSlots, gen_chaotic_system>("chaotic_system"),
    /* 13 */ record_row<kBoundedProcessSlots, gen_bounded_process>("bounded_process"),
    /* 14 */ record_row<kLevyProcessSlots, gen_levy_process>("levy_process"),
    /* 15 */ record_row<kStochasticVolatilitySlots, gen_stochastic_volatility>("stochastic_volatility"),
    /* 16 */ {"regime_switching", kRegimeSwitchingSlots.size(), 5, run_regime_switching},
    /* 17 */ {nullptr, 0, 0, nullptr},
    /* 18 */ {nullptr, 0, 0, nullptr},
    /* 19 */ {"state_space", kStateSpaceSlots.size(), 6, run_state_space},
    /* 20 */ record_row<kFbmSlots, gen_fbm>("fbm"),
    /* 21 */ record_row<kGaussianProcessSlots, gen_gaussian_process>("gaussian_process"),
    /* 22 */ record_row<kIntermittentDemandSlots, gen_intermittent_demand>("intermittent_demand"),
    /* 23 */ {nullptr, 0, 0, nullptr},
    /* 24 */ {"energy_load", kEnergyLoadSlots.size(), 0, run_energy_load},
    /* 25 */ record_row<kVitalSignsSlots, gen_vital_signs>("vital_signs"),
    /* 26 */ {nullptr, 0, 0, nullptr},
    /* 27 */ record_row<kClickstreamSlots, gen_clickstream>("clickstream"),
    /* 28 */ {"tsi", kTsiSlots.size(), 3, run_tsi},
    /* 29 */ {"tcm", kTcmSlots.size(), 2, run_tcm},
    /* 30 */ {"mar", kMarSlots.size(), 0, run_mar},  // checks its own arrays
}};

}  // namespace

const GenTypeRow* gen_type_row(int32_t gen_type) noexcept {
    if (gen_type < 0 || gen_type > kMaxGenType) return nullptr;
    const GenTypeRow& row = kGenTypes[static_cast<std::size_t>(gen_type)];
    return row.name != nullptr ? &row : nullptr;
}

void check_param_counts(const GenTypeRow& row, std::size_t n_scalars, std::size_t n_arrays) {
    if (n_scalars < row.min_scalars)
        value_error(std::string(row.name) + ": expected >= " + std::to_string(row.min_scalars) +
                    " scalar params, got " + std::to_string(n_scalars));
    if (n_arrays < row.min_arrays)
        value_error(std::string(row.name) + ": expected >= " + std::to_string(row.min_arrays) +
                    " array params, got " + std::to_string(n_arrays));
}

void generate_series(int32_t gen_type, std::span<double> values, std::span<const double> scalar_params,
                     std::span<const std::vector<double>> array_params, uint64_t seed) {
    const GenTypeRow* row = gen_type_row(gen_type);
    if (row == nullptr) value_error("unknown generator type: " + std::to_string(gen_type));
    check_param_counts(*row, scalar_params.size(), array_params.size());
    row->core(values, scalar_params, array_params, seed);
}

}  // namespace qm
