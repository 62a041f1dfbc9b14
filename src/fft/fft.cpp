#include "fft/fft.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

#include "fault.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Values per cache-resident block of the early stages (32 KiB).
constexpr std::size_t kLocal = 2048;

inline Complex cadd(Complex p, Complex q) { return {p.re + q.re, p.im + q.im}; }
inline Complex csub(Complex p, Complex q) { return {p.re - q.re, p.im - q.im}; }
inline Complex conj(Complex p) { return {p.re, -p.im}; }

bool is_power_of_two(uint64_t n) { return (n & (n - 1)) == 0; }

}  // namespace

void fft_radix2_in_place(std::span<Complex> buf, bool inverse) {
    const std::size_t n = buf.size();
    if (n < 2) return;  // the transform of one value is itself
    if (!is_power_of_two(n)) fault("fft_radix2_in_place: size is not a power of two");

    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n;
        std::size_t j_old = 0;
        do {
            j_old = j;
            bit >>= 1;
            j ^= bit;
        } while ((j_old & bit) != 0);
        if (i < j) std::swap(buf[i], buf[j]);
    }

    // Every block of a stage walks the same twiddle sequence (1, then times
    // wlen at each step), so it is formed once per stage by that recurrence.
    // The stages up to kLocal run block by block while the block is in
    // cache; a butterfly reads the same two values either way, so the bits
    // are those of the plain stage-by-stage order.
    const std::size_t local = std::min(n, kLocal);
    std::vector<Complex> twiddle(local + n / 2);  // stages <= local at len/2 - 1; one larger stage after them
    Complex* data = buf.data();
    auto fill_twiddles = [inverse](Complex* tw, std::size_t len) {
        const double angle = (inverse ? kTwoPi : -kTwoPi) / static_cast<double>(len);
        const Complex wlen{std::cos(angle), std::sin(angle)};
        Complex w{1.0, 0.0};
        for (std::size_t t = 0; t < len / 2; ++t) {
            tw[t] = w;
            w = cmul(w, wlen);
        }
    };
    auto stage = [](Complex* first, std::size_t count, std::size_t len, const Complex* tw) {
        const std::size_t half = len / 2;
        for (std::size_t s = 0; s < count; s += len) {
            Complex* lo = first + s;
            Complex* hi = lo + half;
            for (std::size_t t = 0; t < half; ++t) {
                const Complex u = lo[t];
                const Complex v = cmul(hi[t], tw[t]);
                lo[t] = cadd(u, v);
                hi[t] = csub(u, v);
            }
        }
    };
    for (std::size_t len = 2; len <= local; len <<= 1) fill_twiddles(twiddle.data() + len / 2 - 1, len);
    for (std::size_t b = 0; b < n; b += local)
        for (std::size_t len = 2; len <= local; len <<= 1) stage(data + b, local, len, twiddle.data() + len / 2 - 1);
    Complex* big = twiddle.data() + local;
    for (std::size_t len = 2 * local; len <= n; len <<= 1) {
        fill_twiddles(big, len);
        stage(data, n, len, big);
    }

    if (inverse) {
        const double f = 1.0 / static_cast<double>(n);
        for (Complex& c : buf) {
            c.re = c.re * f;
            c.im = c.im * f;
        }
    }
}

std::vector<Complex> fft_any_length(std::span<const double> x) {
    const std::size_t n = x.size();
    std::vector<Complex> a(n);
    for (std::size_t k = 0; k < n; ++k) a[k] = {x[k], 0.0};
    if (n < 2) return a;
    if (is_power_of_two(n)) {
        fft_radix2_in_place(a, false);
        return a;
    }

    // Bluestein: X_k = w_k * sum_j (x_j w_j) conj(w_(k-j)) with the chirp
    // w_k = e^(-i pi k^2 / n), a convolution done at a power-of-two size.
    const uint64_t n64 = n;
    const uint64_t two_n = 2 * n64;
    std::vector<Complex> chirp(n);
    for (uint64_t k = 0; k < n64; ++k) {
        const uint64_t q = (k * k) % two_n;
        const double theta = (static_cast<double>(q) * -kPi) / static_cast<double>(n64);
        chirp[k] = {std::cos(theta), std::sin(theta)};
    }
    const std::size_t big = std::bit_ceil(2 * n - 1);
    check_allocation(big, 2 * sizeof(Complex));
    std::vector<Complex> fa(big), fb(big);
    for (std::size_t k = 0; k < n; ++k) fa[k] = cmul(a[k], chirp[k]);
    fb[0] = conj(chirp[0]);
    for (std::size_t k = 1; k < n; ++k) {
        fb[k] = conj(chirp[k]);
        fb[big - k] = conj(chirp[k]);
    }
    fft_radix2_in_place(fa, false);
    fft_radix2_in_place(fb, false);
    for (std::size_t i = 0; i < big; ++i) fa[i] = cmul(fa[i], fb[i]);
    fft_radix2_in_place(fa, true);
    for (std::size_t k = 0; k < n; ++k) a[k] = cmul(fa[k], chirp[k]);
    return a;
}

uint64_t embedding_size(uint64_t n) {
    if (n <= 1) return 2;
    if (n > (uint64_t{1} << 62)) fault("circulant embedding: series too long");
    return 2 * std::bit_ceil(n);
}

void circulant_embedding_sample(Mt64& rng, std::span<double> out, std::span<const double> half) {
    const uint64_t m = embedding_size(out.size());
    const uint64_t h = m / 2;
    if (half.size() <= h) fault("circulant embedding: fewer autocovariances than the embedding needs");
    check_allocation(m, sizeof(double) + 2 * sizeof(Complex));

    std::vector<double> c(m, 0.0);
    for (uint64_t d = 0; d <= h; ++d) c[d] = half[d];
    for (uint64_t d = 1; d < h; ++d) c[m - d] = c[d];

    std::vector<Complex> lambda = fft_any_length(c);
    std::vector<double>().swap(c);
    // Only the real parts are used; a negative one (strictly) is clipped.
    for (Complex& l : lambda)
        if (l.re < 0.0) l = {0.0, 0.0};

    std::vector<Complex> w(m);
    w[0] = {std::sqrt(lambda[0].re) * standard_normal(rng), 0.0};
    w[h] = {std::sqrt(lambda[h].re) * standard_normal(rng), 0.0};
    for (uint64_t k = 1; k < h; ++k) {
        const double a = standard_normal(rng);
        const double b = standard_normal(rng);
        const double s = std::sqrt(lambda[k].re * 0.5);
        w[k] = {a * s, b * s};
        w[m - k] = {a * s, -(b * s)};
    }
    fft_radix2_in_place(w, true);

    const double root_m = std::sqrt(static_cast<double>(m));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = w[i].re * root_m;
}

}  // namespace qm
