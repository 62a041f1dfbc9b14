#include "augmentation/fft_plan_cache.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

#include "fault.hpp"

namespace qm {

namespace {

// The planner lock and the cache, created on first use and never destroyed:
// plans may still be released while the process exits.
struct PlanState {
    std::mutex planner;
    FftPlanCache cache;
};

PlanState& plan_state();

// fork: neither lock may stay held by a thread that the child does not have.
// The two are never held together, so the order taken here is free.
void before_fork() noexcept {
    plan_state().planner.lock();
    plan_state().cache.mutex.lock();
}

void after_fork_parent() noexcept {
    plan_state().cache.mutex.unlock();
    plan_state().planner.unlock();
}

void after_fork_child() noexcept {
    new (&plan_state().cache.mutex) std::mutex;
    new (&plan_state().planner) std::mutex;
}

PlanState& plan_state() {
    static PlanState* const state = new PlanState;
    return *state;
}

std::mutex& planner_mutex() { return plan_state().planner; }

std::unique_lock<std::mutex> lock_or_fault(std::mutex& m) {
    try {
        return std::unique_lock<std::mutex>(m);
    } catch (const std::system_error& e) {
        fault(std::string("FFT plan cache lock failed: ") + e.what());
    }
}

struct FftwFree {
    void operator()(void* p) const noexcept { fftw_free(p); }
};
using RealBuffer = std::unique_ptr<double, FftwFree>;
using ComplexBuffer = std::unique_ptr<fftw_complex, FftwFree>;

// fftw_malloc'd buffers: the plan assumes the alignment fftw_malloc gives,
// so every execution must use buffers allocated the same way.
RealBuffer alloc_real(std::size_t n) {
    RealBuffer p(fftw_alloc_real(n));
    if (!p) throw std::bad_alloc();
    return p;
}

ComplexBuffer alloc_complex(std::size_t n) {
    ComplexBuffer p(fftw_alloc_complex(n));
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

struct RealFftPlan {
    std::size_t n = 0;
    fftw_plan plan = nullptr;

    RealFftPlan(std::size_t length, fftw_plan p) : n(length), plan(p) {}
    RealFftPlan(const RealFftPlan&) = delete;
    RealFftPlan& operator=(const RealFftPlan&) = delete;
    ~RealFftPlan() {
        std::unique_lock<std::mutex> lock = lock_or_fault(planner_mutex());
        fftw_destroy_plan(plan);
    }
};

std::shared_ptr<const RealFftPlan> build_real_fft_plan(std::size_t n) {
    if (n == 0 || n > static_cast<std::size_t>(PTRDIFF_MAX) / 2) {
        value_error("real FFT failed: unsupported length " + std::to_string(n));
    }
    RealBuffer in = alloc_real(n);
    ComplexBuffer out = alloc_complex(n / 2 + 1);
    fftw_iodim64 dim;
    dim.n = static_cast<std::ptrdiff_t>(n);
    dim.is = 1;
    dim.os = 1;
    fftw_plan plan = nullptr;
    {
        std::unique_lock<std::mutex> lock = lock_or_fault(planner_mutex());
        // ESTIMATE never touches the buffers; they only tell FFTW the alignment.
        plan = fftw_plan_guru64_dft_r2c(1, &dim, 0, nullptr, in.get(), out.get(), FFTW_ESTIMATE);
    }
    if (plan == nullptr) {
        value_error("real FFT failed: no plan for length " + std::to_string(n));
    }
    try {
        return std::make_shared<const RealFftPlan>(n, plan);
    } catch (...) {
        std::unique_lock<std::mutex> lock = lock_or_fault(planner_mutex());
        fftw_destroy_plan(plan);
        throw;
    }
}

std::size_t real_fft_length(const RealFftPlan& plan) noexcept { return plan.n; }

void real_fft_forward(const RealFftPlan& plan, std::span<const double> input,
                      std::span<std::complex<double>> output) {
    const std::size_t n = plan.n;
    const std::size_t bins = n / 2 + 1;
    if (input.size() != n || output.size() != bins) {
        fault("real FFT: buffer sizes do not match the plan of length " + std::to_string(n));
    }
    RealBuffer in = alloc_real(n);
    ComplexBuffer out = alloc_complex(bins);
    std::memcpy(in.get(), input.data(), n * sizeof(double));
    fftw_execute_dft_r2c(plan.plan, in.get(), out.get());
    const fftw_complex* o = out.get();
    for (std::size_t k = 0; k < bins; ++k) output[k] = std::complex<double>(o[k][0], o[k][1]);
}

FftPlanCache& fft_plan_cache() { return plan_state().cache; }

ForkHooks fft_plan_fork_hooks() {
    plan_state();
    return {before_fork, after_fork_parent, after_fork_child};
}

std::shared_ptr<const RealFftPlan> get_or_build_plan(FftPlanCache& cache, std::size_t n) {
    {
        std::unique_lock<std::mutex> lock = lock_or_fault(cache.mutex);
        auto hit = cache.plans.find(n);
        if (hit != cache.plans.end()) {
            std::shared_ptr<const RealFftPlan> plan = hit->second;
            auto pos = std::find(cache.recency.begin(), cache.recency.end(), n);
            if (pos != cache.recency.end()) cache.recency.erase(pos);
            cache.recency.push_back(n);
            return plan;
        }
    }

    // Declared before the second lock so that a discarded or evicted plan is
    // destroyed (under the planner lock) only after the cache lock is released.
    std::shared_ptr<const RealFftPlan> built = build_real_fft_plan(n);
    std::shared_ptr<const RealFftPlan> evicted;
    std::shared_ptr<const RealFftPlan> result;
    {
        std::unique_lock<std::mutex> lock = lock_or_fault(cache.mutex);
        auto raced = cache.plans.find(n);
        if (raced != cache.plans.end()) {
            result = raced->second;
        } else {
            if (cache.plans.size() >= kFftPlanCacheCapacity && !cache.recency.empty()) {
                const std::size_t oldest = cache.recency.front();
                cache.recency.pop_front();
                auto old = cache.plans.find(oldest);
                if (old != cache.plans.end()) {
                    evicted = std::move(old->second);
                    cache.plans.erase(old);
                }
            }
            cache.recency.push_back(n);
            try {
                cache.plans.emplace(n, built);
            } catch (...) {
                cache.recency.pop_back();
                throw;
            }
            result = built;
        }
    }
    return result;
}

std::vector<std::size_t> cached_plan_lengths(FftPlanCache& cache) {
    std::unique_lock<std::mutex> lock = lock_or_fault(cache.mutex);
    return std::vector<std::size_t>(cache.recency.begin(), cache.recency.end());
}

}  // namespace qm
