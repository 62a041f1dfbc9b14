// Dense matrices of the multivariate generators and the square-root factor
// of a covariance matrix.
//
// Matrices arrive as flat row-major float64 arrays and are checked here,
// with fixed fault texts, before any dense-algebra routine sees them (Eigen
// asserts rather than reporting). Products are formed by hand so that every sum runs
// in ascending column order from the first product, whatever Eigen would do.
#pragma once

#include <Eigen/Core>

#include <cstdint>
#include <span>

#include "rng/mt64.hpp"

namespace qm {

using Matrix = Eigen::MatrixXd;  // column-major

inline constexpr const char* kMatrixInitFault =
    "Matrix init. error: the slice did not contain the right number of elements.";
inline constexpr const char* kMatrixAddFault = "Matrix addition/subtraction dimensions mismatch.";

// Faults with kMatrixInitFault unless `data` holds exactly rows x cols values;
// an overflowing product is such a mismatch.
void check_matrix_slice(std::span<const double> data, uint64_t rows, uint64_t cols);

// The rows x cols matrix whose element (i, j) is data[i * cols + j], after
// check_matrix_slice.
Matrix matrix_from_rows(std::span<const double> data, uint64_t rows, uint64_t cols);

// n * n for an n x n matrix that the caller fills itself (a Toeplitz or
// kernel matrix): MemoryError (std::bad_alloc) when this machine cannot hold
// `copies` such matrices.
uint64_t square_elements_or_bad_alloc(uint64_t n, unsigned copies);

// L with L * L^T = S for the symmetric matrix given by the lower triangle of
// `s`: the Cholesky factor when every pivot is positive, else the
// eigendecomposition V * diag(sqrt(max(lambda, 1e-10))) (a full matrix). A
// non-square matrix, or an eigensolver that does not converge (NaN or
// infinite entries), is a fault; where the entries make that certain, the
// fault comes before the solver runs.
Matrix covariance_factor(const Matrix& s);

// True when the symmetric eigensolver cannot converge on the matrix given by
// the lower triangle of `s` (NaN or infinite entries placed where they never
// deflate): covariance_factor's early fault.
bool eigensolver_cannot_converge(const Matrix& s);

// out = A * v, each element summed over the columns in ascending order
// starting from the first product (0.0 when A has no columns). v must hold
// one value per column and out one per row (a broken invariant faults).
void mat_vec(const Matrix& a, std::span<const double> v, std::span<double> out);

// Row `row` of A * v alone, summed the same way.
double mat_vec_row(const Matrix& a, Eigen::Index row, std::span<const double> v);

// out = L * z for the Toeplitz covariance T[r][c] = acov[|r - c|] (one value
// per element of out): T is factored by covariance_factor, then out.size()
// standard normals z are drawn. The caller checks the memory first
// (square_elements_or_bad_alloc with 3 copies).
void dense_toeplitz_sample(Mt64& rng, std::span<const double> acov, std::span<double> out);

}  // namespace qm
