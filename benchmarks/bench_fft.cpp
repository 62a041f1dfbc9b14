// The own FFT (fft_any_length, the transform behind circulant embedding), in
// seconds per transform: best of `repeat` runs for each length given.
// Build (from the repository root; bench_multivariate.py does this itself):
//   g++ -std=c++20 -O3 -DNDEBUG -ffp-contract=off -Isrc benchmarks/bench_fft.cpp
//       src/fft/fft.cpp src/fault.cpp src/rng/*.cpp -o /tmp/qm_bench_fft
// Run: /tmp/qm_bench_fft REPEAT N...   prints "N SECONDS" per line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fft/fft.hpp"
#include "rng/mt64.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s REPEAT N...\n", argv[0]);
        return 2;
    }
    const int repeat = std::atoi(argv[1]);
    for (int a = 2; a < argc; ++a) {
        const std::size_t n = std::strtoull(argv[a], nullptr, 10);
        qm::Mt64 rng(1);
        std::vector<double> x(n);
        for (double& v : x) v = static_cast<double>(qm::next_u64(rng) >> 11) * 0x1.0p-53;
        double best = 1e300, sink = 0.0;
        for (int r = 0; r < repeat; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            const std::vector<qm::Complex> y = qm::fft_any_length(x);
            const auto t1 = std::chrono::steady_clock::now();
            sink += y[n / 3].re;
            best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
        }
        std::printf("%zu %.9g\n", n, best);
        if (sink == 12345.678) std::puts("");
    }
    return 0;
}
