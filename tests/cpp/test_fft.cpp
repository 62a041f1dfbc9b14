#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Eigenvalues>

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
// FFT against a direct DFT in long double

class FftAgainstDft : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FftAgainstDft, MatchesToRounding) {
    const std::size_t n = GetParam();
    const std::vector<double> x = sample_values(n, n);
    const std::vector<Complex> got = qm::fft_any_length(x);
    ASSERT_EQ(got.size(), n);
    const long double pi = 3.141592653589793238462643383279502884L;
    std::vector<std::complex<long double>> roots(n);
    for (std::size_t r = 0; r < n; ++r) roots[r] = std::polar(1.0L, -2 * pi * static_cast<long double>(r) / n);
    double scale = 0.0;
    for (double v : x) scale += std::fabs(v);
    const double tol = 1e-14 * scale * std::log2(2.0 * n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<long double> want = 0;
        for (std::size_t j = 0; j < n; ++j) want += static_cast<long double>(x[j]) * roots[(j * k) % n];
        EXPECT_NEAR(got[k].re, static_cast<double>(want.real()), tol) << "n=" << n << " k=" << k;
        EXPECT_NEAR(got[k].im, static_cast<double>(want.imag()), tol) << "n=" << n << " k=" << k;
    }
}

// Radix-2 (4096 crosses the cache-blocked stages) and Bluestein lengths.
INSTANTIATE_TEST_SUITE_P(Lengths, FftAgainstDft, ::testing::Values(2, 4, 16, 4096, 3, 5, 6, 12, 1000));

TEST(Fft, ShortInputs) {
    EXPECT_TRUE(qm::fft_any_length({}).empty());
    EXPECT_EQ(qm::fft_any_length(std::vector<double>{-2.5})[0].re, -2.5);
}

// ---------------------------------------------------------------------------
// Circulant embedding: sizes, draw counts, and the one-value closed form

TEST(CirculantEmbedding, SizesAndDraws) {
    const std::vector<std::pair<uint64_t, uint64_t>> sizes{
        {0, 2}, {1, 2}, {2, 4}, {3, 8}, {4, 8}, {5, 16}, {9, 32}, {2147483647, uint64_t{1} << 32}};
    for (auto [n, m] : sizes) EXPECT_EQ(qm::embedding_size(n), m) << n;
    for (std::size_t n : {0, 1, 5, 9}) {
        const uint64_t m = qm::embedding_size(n);
        std::vector<double> half(m / 2 + 1, 0.0), out(n);
        half[0] = 1.0;
        qm::Mt64 rng(3), ref(3);
        qm::circulant_embedding_sample(rng, out, half);
        for (uint64_t i = 0; i < m; ++i) qm::standard_normal(ref);
        EXPECT_TRUE(same_position(rng, ref)) << n;
    }
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
        EXPECT_TRUE((qm::covariance_factor(spd).array() == f.array()).all());
    }
    EXPECT_EQ(qm::covariance_factor(Matrix(0, 0)).size(), 0);
    EXPECT_EQ(qm::covariance_factor(Matrix::Constant(1, 1, 1e-300))(0, 0), std::sqrt(1e-300));
}

TEST(CovarianceFactor, EigenFallback) {
    for (double v : {0.0, -3.0, std::nan("")}) EXPECT_EQ(qm::covariance_factor(Matrix::Constant(1, 1, v))(0, 0), 1e-5);
    const Matrix ones = Matrix::Ones(2, 2);  // singular: the second pivot is 0
    const Matrix l = qm::covariance_factor(ones);
    EXPECT_FALSE(l.isLowerTriangular(0.0));
    EXPECT_LT((product_with_transpose(l) - ones).cwiseAbs().maxCoeff(), 1e-9);
    EXPECT_EQ(fault_text([] { qm::covariance_factor(Matrix(2, 3)); }), "The input matrix must be square.");
}

// Non-finite entries reach the eigen fallback: where the solver cannot
// converge the fault comes first (decided before the solver runs), where it
// can its factor stands. The
// solver's own verdict is checked too, so the cases stay true to the library.
TEST(CovarianceFactor, NonFiniteEntries) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    auto eye_with = [](Eigen::Index n, Eigen::Index i, Eigen::Index j, double v) {
        Matrix s = Matrix::Identity(n, n);
        s(i, j) = v;
        return s;
    };
    // (matrix, L * L^T when it converges: the NaN eigenvalues floored; else empty)
    const std::vector<std::pair<Matrix, Matrix>> cases = {
        {eye_with(2, 1, 1, nan), Eigen::Vector2d(1.0, 1e-10).asDiagonal()},
        {eye_with(3, 0, 0, -inf), 1e-10 * Matrix::Identity(3, 3)},  // scaled by inf: all eigenvalues NaN
        {eye_with(2, 1, 0, nan), Matrix()},
        {eye_with(3, 0, 0, nan), Matrix()},  // the scale is NaN
        {eye_with(3, 2, 2, nan), Matrix()},
        {eye_with(3, 2, 0, inf), Matrix()},
        {Matrix::Constant(300, 300, nan), Matrix()},
    };
    for (std::size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE(c);
        const auto& [s, want] = cases[c];
        EXPECT_EQ(Eigen::SelfAdjointEigenSolver<Matrix>(s, Eigen::EigenvaluesOnly).info() == Eigen::Success,
                  want.size() > 0);
        // The early fault itself: without it the solver would give the same
        // text, only after its full count of sweeps.
        EXPECT_EQ(qm::eigensolver_cannot_converge(s), want.size() == 0);
        Matrix l;
        const std::string text = fault_text([&] { l = qm::covariance_factor(s); });
        if (want.size() == 0) {
            EXPECT_EQ(text, "covariance_factor: the eigendecomposition of a matrix that is not positive definite did "
                            "not converge");
        } else {
            ASSERT_EQ(text, qm_test::kNoFault);
            const Eigen::ArrayXXd error = (product_with_transpose(l) - want).array().abs();
            EXPECT_TRUE((error <= 1e-6 * want.array().abs() + 1e-20).all()) << product_with_transpose(l);
        }
    }
}

}  // namespace
