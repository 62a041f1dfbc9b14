// The system's own small Fourier transform and the circulant-embedding
// sampler built on it (fBm by Davies-Harte, the stationary Gaussian-process
// kernels). Seeded outputs pass through these transforms, so their
// operation order (bit reversal, one sine-cosine per stage, the twiddle
// advanced by a running product, 1/n applied last) is fixed; a library FFT
// would give other bits. The feature code's real FFTs are a library's and
// never meet these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rng/mt64.hpp"

namespace qm {

struct Complex {
    double re = 0.0;
    double im = 0.0;
};

// (a, b)(c, d) = (ac - bd, ad + bc), spelled out so no library rule for
// infinities changes a bit.
inline Complex cmul(Complex p, Complex q) { return {p.re * q.re - p.im * q.im, p.re * q.im + p.im * q.re}; }

// Iterative radix-2 transform of buf (size a power of two) in place.
// Forward: X_k = sum_j x_j e^(-2 pi i jk/n), unscaled; inverse: the 1/n
// included. Fewer than 2 values are left as they are; any other size that is
// not a power of two is a fault.
void fft_radix2_in_place(std::span<Complex> buf, bool inverse);

// Unscaled forward transform of a real sequence: radix-2 for power-of-two
// lengths, Bluestein's chirp-z otherwise. Fewer than 2 values come back as
// they are (as complex values).
std::vector<Complex> fft_any_length(std::span<const double> x);

// 2 for n <= 1, else twice the smallest power of two >= n (64-bit; a length
// whose embedding does not fit is a fault).
uint64_t embedding_size(uint64_t n);

// out.size() values of a stationary Gaussian sequence with autocovariances
// half[0..m/2] (m = embedding_size(out.size())), by circulant embedding.
// Negative circulant eigenvalues are clipped to 0. Draws exactly m standard
// normals from rng. `half` shorter than m/2 + 1 is a fault; an embedding
// this machine cannot hold is MemoryError (std::bad_alloc).
void circulant_embedding_sample(Mt64& rng, std::span<double> out, std::span<const double> half);

}  // namespace qm
