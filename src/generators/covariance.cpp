#include "generators/covariance.hpp"

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <vector>

#include "fault.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

using Index = Eigen::Index;

constexpr uint64_t kMaxIndex = static_cast<uint64_t>(std::numeric_limits<Index>::max());

// Columns finished together: each earlier column is read once per block
// rather than once per column. Every element still takes its updates in
// ascending k, so the bits are those of the plain column-by-column order.
constexpr Index kBlock = 16;

// a(i, j) -= a(j, k) * a(i, k) for i >= j.
inline void update_column(double* cj, const double* ck, Index j, Index n) {
    const double ajk = ck[j];
    for (Index i = j; i < n; ++i) cj[i] = cj[i] - ajk * ck[i];
}

// Column-by-column Cholesky in place on the lower triangle; false at the
// first pivot that is not > 0 (NaN included).
bool cholesky_in_place(Matrix& a) {
    const Index n = a.rows();
    double* p = a.data();
    for (Index j0 = 0; j0 < n; j0 += kBlock) {
        const Index j1 = std::min(n, j0 + kBlock);
        for (Index k = 0; k < j0; ++k) {
            const double* ck = p + k * n;
            for (Index j = j0; j < j1; ++j) update_column(p + j * n, ck, j, n);
        }
        for (Index j = j0; j < j1; ++j) {
            double* cj = p + j * n;
            for (Index k = j0; k < j; ++k) update_column(cj, p + k * n, j, n);
            const double d = cj[j];
            if (!(d > 0.0)) return false;
            const double r = std::sqrt(d);
            cj[j] = r;
            for (Index i = j + 1; i < n; ++i) cj[i] = cj[i] / r;
        }
    }
    return true;
}

}  // namespace

// The solver would only report failing to converge after its cap of 30 * n
// QR sweeps (minutes for n in the thousands). It first divides the lower
// triangle by its largest magnitude, computed here by the same expression
// (an infinite entry then becomes NaN, and a NaN scale makes every entry NaN).
// A NaN below the diagonal of column 0 makes the first subdiagonal of the
// tridiagonal form NaN; a NaN in rows and columns 1.. (n >= 3) spreads through
// the first Householder update to the whole trailing block and so to the next
// subdiagonal. A NaN subdiagonal never deflates, since every QR update of it
// is a product with it. A NaN only at (0, 0), or at (1, 1) of a 2 x 2 matrix,
// can split off as an eigenvalue, so the solver decides those.
bool eigensolver_cannot_converge(const Matrix& s) {
    const Index n = s.rows();
    if (n < 2) return false;
    const Matrix lower = s.triangularView<Eigen::Lower>();
    double scale = lower.cwiseAbs().maxCoeff();
    if (scale == 0.0) scale = 1.0;
    for (Index j = 0; j < n; ++j) {
        const bool diagonal_may_split = j == 0 || n == 2;
        for (Index i = diagonal_may_split ? j + 1 : j; i < n; ++i)
            if (std::isnan(lower(i, j) / scale)) return true;
    }
    return false;
}

void check_matrix_slice(std::span<const double> data, uint64_t rows, uint64_t cols) {
    uint64_t elements = 0;
    if (__builtin_mul_overflow(rows, cols, &elements) || elements != data.size() || rows > kMaxIndex ||
        cols > kMaxIndex)
        fault(kMatrixInitFault);
}

Matrix matrix_from_rows(std::span<const double> data, uint64_t rows, uint64_t cols) {
    check_matrix_slice(data, rows, cols);
    const Index r = static_cast<Index>(rows);
    const Index c = static_cast<Index>(cols);
    Matrix m(r, c);
    for (Index i = 0; i < r; ++i)
        for (Index j = 0; j < c; ++j) m(i, j) = data[static_cast<std::size_t>(i * c + j)];
    return m;
}

uint64_t square_elements_or_bad_alloc(uint64_t n, unsigned copies) {
    uint64_t elements = 0;
    if (__builtin_mul_overflow(n, n, &elements) || n > kMaxIndex) throw std::bad_alloc();
    check_allocation(elements, sizeof(double) * copies);
    return elements;
}

Matrix covariance_factor(const Matrix& s) {
    if (s.rows() != s.cols()) fault("The input matrix must be square.");
    const Index n = s.rows();
    {
        Matrix a = s;
        if (cholesky_in_place(a)) {
            for (Index j = 1; j < n; ++j)
                for (Index i = 0; i < j; ++i) a(i, j) = 0.0;
            return a;
        }
    }
    // Not positive definite: the symmetric eigendecomposition (lower triangle)
    // with the eigenvalues lifted to the floor. The solver caps its own
    // iterations; NaN or infinite entries end there without convergence, and
    // where that is certain the fault comes before the solver runs.
    constexpr const char* kNoConvergence =
        "covariance_factor: the eigendecomposition of a matrix that is not positive definite did not converge";
    if (eigensolver_cannot_converge(s)) fault(kNoConvergence);
    Eigen::SelfAdjointEigenSolver<Matrix> solver(s, Eigen::ComputeEigenvectors);
    if (solver.info() != Eigen::Success) fault(kNoConvergence);
    Matrix l = solver.eigenvectors();
    const auto& lambda = solver.eigenvalues();
    constexpr double kFloor = 1e-10;
    for (Index k = 0; k < n; ++k) {
        const double v = lambda(k) > kFloor ? lambda(k) : kFloor;
        l.col(k) *= std::sqrt(v);
    }
    return l;
}

void mat_vec(const Matrix& a, std::span<const double> v, std::span<double> out) {
    const Index rows = a.rows();
    const Index cols = a.cols();
    if (v.size() != static_cast<std::size_t>(cols) || out.size() != static_cast<std::size_t>(rows))
        fault("matrix-vector product: sizes do not match");
    if (cols == 0) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    // Column by column, so the matrix is read in storage order; every element
    // still sums over the columns in ascending order.
    const double* p = a.data();
    const double v0 = v[0];
    for (Index i = 0; i < rows; ++i) out[static_cast<std::size_t>(i)] = p[i] * v0;
    for (Index j = 1; j < cols; ++j) {
        const double* cj = p + j * rows;
        const double vj = v[static_cast<std::size_t>(j)];
        for (Index i = 0; i < rows; ++i) out[static_cast<std::size_t>(i)] = out[static_cast<std::size_t>(i)] + cj[i] * vj;
    }
}

double mat_vec_row(const Matrix& a, Index row, std::span<const double> v) {
    const Index cols = a.cols();
    if (v.size() != static_cast<std::size_t>(cols) || row < 0 || row >= a.rows())
        fault("matrix-vector product: sizes do not match");
    if (cols == 0) return 0.0;
    double sum = a(row, 0) * v[0];
    for (Index j = 1; j < cols; ++j) sum = sum + a(row, j) * v[static_cast<std::size_t>(j)];
    return sum;
}

void dense_toeplitz_sample(Mt64& rng, std::span<const double> acov, std::span<double> out) {
    const auto n = static_cast<Eigen::Index>(out.size());
    Matrix t(n, n);
    for (Eigen::Index c = 0; c < n; ++c)
        for (Eigen::Index r = 0; r < n; ++r) t(r, c) = acov[static_cast<std::size_t>(r > c ? r - c : c - r)];
    Matrix l = covariance_factor(t);
    t.resize(0, 0);
    std::vector<double> z(out.size());
    for (double& v : z) v = standard_normal(rng);
    mat_vec(l, z, out);
}

}  // namespace qm
