// Forward real-input FFT plans of any length, and the process-wide cache that
// keeps the 16 most recently used ones.
//
// Plans come from FFTW, always made with FFTW_ESTIMATE: an estimated plan is
// a deterministic function of the length (and buffer alignment), so a plan
// rebuilt after an eviction rounds exactly like the one it replaces. FFTW's
// planner and plan destruction are not thread-safe; both run under one
// process-wide planner lock. Executing a plan is thread-safe, so one plan is
// shared by every thread that transforms that length, each with its own
// buffers. A plan is reference-counted: an evicted plan lives on until the
// last thread using it lets go.
#pragma once

#include <complex>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "fork_hooks.hpp"

namespace qm {

// An immutable forward real-to-complex plan of one length (opaque; FFTW's).
struct RealFftPlan;

// Builds a plan for length n >= 1 under the planner lock. Throws
// ValueError("real FFT failed: ...") when FFTW cannot plan the length.
std::shared_ptr<const RealFftPlan> build_real_fft_plan(std::size_t n);

std::size_t real_fft_length(const RealFftPlan& plan) noexcept;

// X[k] = sum_j input[j] * exp(-2 pi i j k / n) for k = 0 .. n / 2, not
// normalised. `input` must hold n values and `output` n / 2 + 1 (a mismatch
// is a fault). Safe to call from many threads on one plan at once.
void real_fft_forward(const RealFftPlan& plan, std::span<const double> input,
                      std::span<std::complex<double>> output);

inline constexpr std::size_t kFftPlanCacheCapacity = 16;

// Plans by length with their recency order. `plans` and `recency` always
// hold the same lengths; recency.front() is the least recently used.
struct FftPlanCache {
    std::mutex mutex;
    std::unordered_map<std::size_t, std::shared_ptr<const RealFftPlan>> plans;
    std::deque<std::size_t> recency;
};

// The process-wide cache, created on first use and never destroyed.
FftPlanCache& fft_plan_cache();

// The cached plan for n (moved to the most recent place), or a new one
// inserted as most recent, evicting the least recent plan when the cache is
// full. The cache lock is held only for the map and queue work, never while
// planning, so two threads missing the same length may both plan; the first
// to insert wins and the other adopts its plan.
std::shared_ptr<const RealFftPlan> get_or_build_plan(FftPlanCache& cache, std::size_t n);

// Cached lengths from least to most recently used.
std::vector<std::size_t> cached_plan_lengths(FftPlanCache& cache);

// Creates the planner lock and the cache, and returns what a fork must do
// with their locks.
ForkHooks fft_plan_fork_hooks();

}  // namespace qm
