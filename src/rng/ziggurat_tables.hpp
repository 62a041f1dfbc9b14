// Ziggurat tables of the standard normal and standard exponential samplers:
// X[0..256] layer edges (decreasing, X[1] = R starts the tail, X[256] = 0)
// and F[i] = f(X[i]) for the unnormalised density f.
#pragma once

#include <array>

namespace qm {

extern const std::array<double, 257> kZigNormalX;
extern const std::array<double, 257> kZigNormalF;
extern const std::array<double, 257> kZigExpX;
extern const std::array<double, 257> kZigExpF;

inline constexpr double kZigNormalR = 3.654152885361009;
inline constexpr double kZigExpR = 7.69711747013105;

}  // namespace qm
