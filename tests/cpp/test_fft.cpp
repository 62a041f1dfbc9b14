#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <vector>

#include "fft/fft.hpp"
#include "generators/covariance.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"
#include "test_util.hpp"

namespace {

using qm::Complex;
using qm::Matrix;
using qm_test::fault_text;
using qm_test::same_position;

std::vector<double> sample_values(std::size_t n, uint64_t seed) {
    qm::Mt64 rng(seed);
    std::vector<double> x(n);
    for (double& v : x) v = qm::standard_normal(rng);
    return x;
}

// ---------------------------------------------------------------------------
// FFT against a direct DFT in long double (radix-2 and Bluestein lengths)

class FftAgainstDft : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FftAgainstDft, MatchesToRounding) {
    const std::size_t n = GetParam();
    const std::vector<double> x = sample_values(n, n);
    const std::vector<Complex> got = qm::fft_any_length(x);
    ASSERT_EQ(got.size(), n);
    const long double pi = 3.141592653589793238462643383279502884L;
    double scale = 0.0;
    for (double v : x) scale += std::fabs(v);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<long double> want = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const long double t = -2 * pi * static_cast<long double>((j * k) % n) / n;
            want += static_cast<long double>(x[j]) * std::complex<long double>(std::cos(t), std::sin(t));
        }
        const double tol = 1e-14 * scale * std::log2(2.0 * n);
        EXPECT_NEAR(got[k].re, static_cast<double>(want.real()), tol) << "n=" << n << " k=" << k;
        EXPECT_NEAR(got[k].im, static_cast<double>(want.imag()), tol) << "n=" << n << " k=" << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, FftAgainstDft, ::testing::Values(2, 4, 16, 1024, 3, 5, 6, 12, 100, 1000));

TEST(Fft, ShortInputsAndRoundTrip) {
    EXPECT_TRUE(qm::fft_any_length({}).empty());
    const std::vector<Complex> one = qm::fft_any_length(std::vector<double>{-2.5});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(qm_test::same_bits(one[0].re, -2.5) && one[0].im == 0.0);

    const std::vector<double> x = sample_values(512, 7);
    std::vector<Complex> buf(512);
    for (std::size_t i = 0; i < x.size(); ++i) buf[i] = {x[i], x[511 - i]};
    qm::fft_radix2_in_place(buf, false);
    qm::fft_radix2_in_place(buf, true);
    for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_NEAR(buf[i].re, x[i], 1e-13);
        EXPECT_NEAR(buf[i].im, x[511 - i], 1e-13);
    }
    std::vector<Complex> three(3);
    EXPECT_EQ(fault_text([&] { qm::fft_radix2_in_place(three, false); }),
              "fft_radix2_in_place: size is not a power of two");
}

// ---------------------------------------------------------------------------
// Circulant embedding: sizes, draw counts, and the one-value closed form

TEST(CirculantEmbedding, SizesAndDraws) {
    const std::vector<std::pair<uint64_t, uint64_t>> sizes{
        {0, 2}, {1, 2}, {2, 4}, {3, 8}, {4, 8}, {5, 16}, {8, 16}, {9, 32}, {(1u << 30) + 1, uint64_t{1} << 32}};
    for (auto [n, m] : sizes) EXPECT_EQ(qm::embedding_size(n), m) << n;
    EXPECT_EQ(qm::embedding_size(uint64_t{2147483647}), uint64_t{1} << 32);

    for (std::size_t n : {0, 1, 5, 8, 9}) {
        const uint64_t m = qm::embedding_size(n);
        std::vector<double> half(m / 2 + 1, 0.0);
        half[0] = 1.0;
        qm::Mt64 rng(3), ref(3);
        std::vector<double> out(n);
        qm::circulant_embedding_sample(rng, out, half);
        for (uint64_t i = 0; i < m; ++i) qm::standard_normal(ref);
        EXPECT_TRUE(same_position(rng, ref)) << n;
    }
    std::vector<double> out(5);
    qm::Mt64 rng(1);
    EXPECT_EQ(fault_text([&] { qm::circulant_embedding_sample(rng, out, std::vector<double>(8)); }),
              "circulant embedding: fewer autocovariances than the embedding needs");
}

TEST(CirculantEmbedding, OneValue) {
    const double c0 = 1.5, c1 = 0.4;
    qm::Mt64 rng(11), ref(11);
    std::vector<double> out(1);
    qm::circulant_embedding_sample(rng, out, std::vector<double>{c0, c1});
    const double z1 = qm::standard_normal(ref), z2 = qm::standard_normal(ref);
    EXPECT_NEAR(out[0], (std::sqrt(c0 + c1) * z1 + std::sqrt(c0 - c1) * z2) / std::sqrt(2.0), 1e-15);

    // Negative eigenvalues are clipped, not reported.
    std::vector<double> many(3);
    qm::circulant_embedding_sample(rng, many, std::vector<double>{1.0, 2.0, 0.0, 0.0, 0.0});
    for (double v : many) EXPECT_TRUE(std::isfinite(v));
}

// ---------------------------------------------------------------------------
// Covariance factor

Matrix product_with_transpose(const Matrix& l) { return l * l.transpose(); }

TEST(CovarianceFactor, CholeskyPath) {
    Matrix s(2, 2);
    s << 4, 2, 2, 3;
    const Matrix l = qm::covariance_factor(s);
    EXPECT_EQ(l(0, 0), 2.0);
    EXPECT_EQ(l(0, 1), 0.0);
    EXPECT_EQ(l(1, 0), 1.0);
    EXPECT_EQ(l(1, 1), std::sqrt(2.0));

    // A random SPD matrix: L lower triangular, L L^T = S, the upper triangle unread.
    for (Eigen::Index n : {1, 7, 40}) {
        const std::vector<double> g = sample_values(static_cast<std::size_t>(n * n), 5);
        const Matrix a = Eigen::Map<const Matrix>(g.data(), n, n);
        Matrix spd = a * a.transpose() + Matrix::Identity(n, n);
        const Matrix f = qm::covariance_factor(spd);
        EXPECT_TRUE(f.isLowerTriangular(0.0));
        EXPECT_LT((product_with_transpose(f) - spd).cwiseAbs().maxCoeff(), 1e-12 * spd.cwiseAbs().maxCoeff());
        spd.triangularView<Eigen::StrictlyUpper>().setConstant(std::nan(""));
        EXPECT_TRUE(qm_test::same_bits(std::vector<double>(f.data(), f.data() + f.size()),
                                       [&] {
                                           const Matrix f2 = qm::covariance_factor(spd);
                                           return std::vector<double>(f2.data(), f2.data() + f2.size());
                                       }()));
    }
    EXPECT_EQ(qm::covariance_factor(Matrix(0, 0)).size(), 0);
    EXPECT_EQ(qm::covariance_factor(Matrix::Constant(1, 1, 1e-300))(0, 0), std::sqrt(1e-300));
}

TEST(CovarianceFactor, EigenFallback) {
    for (double v : {0.0, -3.0, std::nan("")}) EXPECT_EQ(qm::covariance_factor(Matrix::Constant(1, 1, v))(0, 0), 1e-5);

    Matrix ones = Matrix::Ones(2, 2);  // singular: the second pivot is 0
    const Matrix l = qm::covariance_factor(ones);
    EXPECT_FALSE(l.isLowerTriangular(0.0));
    EXPECT_LT((product_with_transpose(l) - ones).cwiseAbs().maxCoeff(), 1e-9);

    EXPECT_EQ(fault_text([] { qm::covariance_factor(Matrix(2, 3)); }), "The input matrix must be square.");
    Matrix bad = Matrix::Identity(3, 3);
    bad(2, 0) = std::numeric_limits<double>::infinity();
    bad(1, 1) = -1.0;
    EXPECT_EQ(fault_text([&] { qm::covariance_factor(bad); }),
              "covariance_factor: the eigendecomposition of a matrix that is not positive definite did not converge");
}

TEST(CovarianceFactor, MatrixSlices) {
    const std::vector<double> d{1, 2, 3, 4, 5, 6};
    const Matrix m = qm::matrix_from_rows(d, 2, 3);
    EXPECT_EQ(m(1, 0), 4.0);
    EXPECT_EQ(m(0, 2), 3.0);
    for (auto [r, c] : std::vector<std::pair<uint64_t, uint64_t>>{{3, 3}, {1, 5}, {uint64_t{1} << 32, uint64_t{1} << 32}})
        EXPECT_EQ(fault_text([&] { qm::matrix_from_rows(d, r, c); }), qm::kMatrixInitFault);
    EXPECT_EQ(qm::matrix_from_rows({}, 5, 0).rows(), 5);
}

}  // namespace
