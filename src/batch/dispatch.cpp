#include "batch/dispatch.hpp"

#include <array>
#include <string>

#include "fault.hpp"
#include "generators/ets.hpp"
#include "generators/inar.hpp"
#include "generators/mar.hpp"
#include "generators/sarima.hpp"
#include "generators/statistical.hpp"
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

// Indexed by code. A row without a name is an unused code; a named row
// without a core reports "unknown generator type" until its core exists.
constexpr std::array<GenTypeRow, kMaxGenType + 1> kGenTypes{{
    /*  0 */ record_row<kRandomWalkSlots, gen_random_walk>("random_walk"),
    /*  1 */ record_row<kSeasonalSlots, gen_seasonal>("seasonal"),
    /*  2 */ {"sarima", kSarimaSlots.size(), 2, run_sarima},
    /*  3 */ {"ets", kEtsSlots.size(), 1, run_ets},
    /*  4 */ {"inar", kInarSlots.size(), 1, run_inar},
    /*  5 */ {"ornstein_uhlenbeck", 7, 0, nullptr},
    /*  6 */ {"geometric_brownian_motion", 6, 0, nullptr},
    /*  7 */ {"jump_diffusion", 9, 0, nullptr},
    /*  8 */ {"poisson_process", 2, 0, nullptr},
    /*  9 */ {"cyclic", 10, 0, nullptr},
    /* 10 */ {"garch", 7, 2, nullptr},
    /* 11 */ {"hawkes_process", 7, 0, nullptr},
    /* 12 */ {"chaotic_system", 12, 0, nullptr},
    /* 13 */ {"bounded_process", 8, 0, nullptr},
    /* 14 */ {"levy_process", 6, 0, nullptr},
    /* 15 */ record_row<kStochasticVolatilitySlots, gen_stochastic_volatility>("stochastic_volatility"),
    /* 16 */ {"regime_switching", kRegimeSwitchingSlots.size(), 5, run_regime_switching},
    /* 17 */ {nullptr, 0, 0, nullptr},
    /* 18 */ {nullptr, 0, 0, nullptr},
    /* 19 */ {"state_space", 4, 6, nullptr},
    /* 20 */ {"fbm", 5, 0, nullptr},
    /* 21 */ {"gaussian_process", 6, 0, nullptr},
    /* 22 */ {"intermittent_demand", 9, 0, nullptr},
    /* 23 */ {nullptr, 0, 0, nullptr},
    /* 24 */ {"energy_load", 19, 0, nullptr},  // array 0, when given, is the holiday list
    /* 25 */ {"vital_signs", 10, 0, nullptr},
    /* 26 */ {nullptr, 0, 0, nullptr},
    /* 27 */ {"clickstream", 12, 0, nullptr},
    /* 28 */ {"tsi", 23, 3, nullptr},
    /* 29 */ {"tcm", 13, 2, nullptr},
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
    if (row == nullptr || row->core == nullptr) value_error("unknown generator type: " + std::to_string(gen_type));
    check_param_counts(*row, scalar_params.size(), array_params.size());
    row->core(values, scalar_params, array_params, seed);
}

}  // namespace qm
