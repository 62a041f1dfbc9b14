// Raw engine output and the hottest law draws, in ns per value.
// Build: g++ -std=c++20 -O2 -ffp-contract=off -Isrc benchmarks/bench_rng.cpp
//        src/rng/*.cpp src/fault.cpp -lbenchmark -pthread
#include <benchmark/benchmark.h>

#include <vector>

#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace {

void BM_NextU64(benchmark::State& state) {
    qm::Mt64 rng(1);
    for (auto _ : state) benchmark::DoNotOptimize(qm::next_u64(rng));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NextU64);

void BM_StandardNormal(benchmark::State& state) {
    qm::Mt64 rng(1);
    for (auto _ : state) benchmark::DoNotOptimize(qm::standard_normal(rng));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StandardNormal);

void BM_StandardExponential(benchmark::State& state) {
    qm::Mt64 rng(1);
    for (auto _ : state) benchmark::DoNotOptimize(qm::standard_exponential(rng));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StandardExponential);

void BM_Gamma(benchmark::State& state) {
    qm::Mt64 rng(1);
    const double shape = static_cast<double>(state.range(0)) / 10.0;
    for (auto _ : state) benchmark::DoNotOptimize(qm::sample_gamma(rng, shape, 1.0));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Gamma)->Arg(5)->Arg(75);

void BM_Poisson(benchmark::State& state) {
    qm::Mt64 rng(1);
    const double lambda = static_cast<double>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(qm::sample_poisson(rng, lambda));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Poisson)->Arg(3)->Arg(40);

void BM_Binomial(benchmark::State& state) {
    qm::Mt64 rng(1);
    const auto n = static_cast<int32_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(qm::sample_binomial(rng, n, 0.3));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Binomial)->Arg(10)->Arg(1000);

// Per value, over a 4096-value buffer.
void BM_FillInnovations(benchmark::State& state) {
    qm::Mt64 rng(1);
    const auto code = static_cast<int32_t>(state.range(0));
    std::vector<double> buf(4096);
    for (auto _ : state) {
        qm::fill_innovations(rng, code, 1.0, code == 1 ? 5.0 : 2.0, buf);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(buf.size()));
}
BENCHMARK(BM_FillInnovations)->DenseRange(0, 4);

}  // namespace

BENCHMARK_MAIN();
