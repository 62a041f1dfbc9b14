#include "rng/innovations.hpp"

#include <cmath>
#include <numbers>
#include <limits>
#include <string>

#include "fault.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = std::numbers::pi;
constexpr double kSqrt2OverPi = 0.7978845608028654;

InnovLaw law_of(int32_t code) {
    switch (code) {
        case kInnovStudentT: return InnovLaw::StudentT;
        case kInnovLaplace: return InnovLaw::Laplace;
        case kInnovUniform: return InnovLaw::Uniform;
        case kInnovSkewNormal: return InnovLaw::SkewNormal;
        default: return InnovLaw::Normal;
    }
}

InnovationLaw prepare(int32_t code, double scale, double param, const char* normal_message) {
    InnovationLaw p;
    p.law = law_of(code);
    p.scale = scale;
    switch (p.law) {
        case InnovLaw::StudentT:
            if (!(param > 2.0)) fault("Student's t df must be > 2 for finite variance");
            p.nu = param;
            // nu = +inf is the normal limit; its gamma draw is still made.
            p.t_factor = std::isinf(param) ? scale : scale * std::sqrt((param - 2.0) / param);
            break;
        case InnovLaw::Laplace: {
            const double lambda = 1.0 / (scale / std::numbers::sqrt2);
            if (std::isnan(lambda) || lambda < 0.0) fault("invalid laplace param: scale must be > 0: LambdaTooSmall");
            p.beta = 1.0 / lambda;
            break;
        }
        case InnovLaw::Uniform: {
            constexpr const char* kMsg = "invalid uniform innovation param: scale must be > 0";
            const double a = scale * std::numbers::sqrt3;
            if (!(a > 0.0)) fault(std::string(kMsg) + ": EmptyRange");
            double s = a - (-a);
            if (!std::isfinite(s)) fault(std::string(kMsg) + ": NonFinite");
            while (s * (1.0 - 0x1.0p-52) + (-a) > a) s = std::nextafter(s, -kInf);
            p.half = a;
            p.width = s;
            break;
        }
        case InnovLaw::SkewNormal:
            p.delta = param / std::sqrt(param * param + 1.0);
            p.delta_c = std::sqrt(1.0 - p.delta * p.delta);
            p.sn_var = 1.0 - ((2.0 * p.delta) * p.delta) / kPi;
            break;
        case InnovLaw::Normal:
            if (!std::isfinite(scale)) fault(normal_message);
            break;
    }
    return p;
}

inline double draw_student_t(Mt64& rng, const InnovationLaw& p) {
    const double z = standard_normal(rng);
    const double g = gamma_law(rng, p.nu / 2.0, 2.0);
    const double t = std::isinf(p.nu) ? z : z * std::sqrt(p.nu / g);
    return p.t_factor * t;
}

inline double draw_laplace(Mt64& rng, const InnovationLaw& p) {
    const double e1 = standard_exponential(rng);
    const double e2 = standard_exponential(rng);
    return e1 * p.beta - e2 * p.beta;
}

inline double draw_uniform(Mt64& rng, const InnovationLaw& p) { return uniform01_52(rng) * p.width - p.half; }

inline double draw_skew_normal(Mt64& rng, const InnovationLaw& p) {
    const double u0 = std::fabs(standard_normal(rng));
    const double z2 = standard_normal(rng);
    const double x = (p.delta * u0) + (p.delta_c * z2);
    if (p.sn_var > 0.0) return (p.scale / std::sqrt(p.sn_var)) * (x - p.delta * kSqrt2OverPi);
    return p.scale * x;
}

inline double draw_normal(Mt64& rng, const InnovationLaw& p) { return draw_innovation(rng, p); }

template <typename Draw>
void fill_with(Mt64& rng, const InnovationLaw& p, std::span<double> out, Draw d) {
    for (double& v : out) v = d(rng, p);
}

}  // namespace

double draw_other_innovation(Mt64& rng, const InnovationLaw& p) {
    switch (p.law) {
        case InnovLaw::StudentT: return draw_student_t(rng, p);
        case InnovLaw::Laplace: return draw_laplace(rng, p);
        case InnovLaw::Uniform: return draw_uniform(rng, p);
        case InnovLaw::SkewNormal: return draw_skew_normal(rng, p);
        case InnovLaw::Normal: break;
    }
    return 0.0 + p.scale * standard_normal(rng);
}

InnovationLaw prepare_innovation(int32_t code, double scale, double param) {
    return prepare(code, scale, param, kNormalStdFault);
}

double sample_innovation(Mt64& rng, int32_t code, double scale, double param) {
    return draw_innovation(rng, prepare(code, scale, param, kNormalStdFault));
}

void fill_innovations(Mt64& rng, int32_t code, double scale, double param, std::span<double> out) {
    const InnovationLaw p =
        prepare(code, scale, param, "invalid normal innovation param: scale must be finite and >= 0: BadVariance");
    switch (p.law) {
        case InnovLaw::StudentT: fill_with(rng, p, out, draw_student_t); break;
        case InnovLaw::Laplace: fill_with(rng, p, out, draw_laplace); break;
        case InnovLaw::Uniform: fill_with(rng, p, out, draw_uniform); break;
        case InnovLaw::SkewNormal: fill_with(rng, p, out, draw_skew_normal); break;
        case InnovLaw::Normal: fill_with(rng, p, out, draw_normal); break;
    }
}

}  // namespace qm
