// Profile shape factors: depth integrals of products of the assumed vertical
// profiles of the suspension layer (velocity U, concentration C, turbulent
// energy K, dissipation E) over the height fraction z in [0, 1].
#include "flow/flow.h"

namespace torla {

namespace {

constexpr int kRatioIntervals = 1000;   // trapezoidal intervals of the ratio integrals
constexpr double kRatioStep = 0.001;    // their width
constexpr double kDivisorFloor = 0.01;  // smallest denominator profile value used

double value_at(const Quadratic& p, double z) { return p.a0 + z * (p.a1 + z * p.a2); }

}  // namespace

double profile_integral(const Quadratic& p1, const Quadratic& p2, const Quadratic& p3,
                        const Quadratic& p4) {
    const double a[3] = {p1.a0, p1.a1, p1.a2};
    const double b[3] = {p2.a0, p2.a1, p2.a2};
    const double c[3] = {p3.a0, p3.a1, p3.a2};
    const double d[3] = {p4.a0, p4.a1, p4.a2};
    // Coefficients of the degree-8 product polynomial, then its exact integral.
    double poly[9] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                for (int l = 0; l < 3; ++l) poly[i + j + k + l] += a[i] * b[j] * c[k] * d[l];
    double result = 0.0;
    for (int n = 0; n <= 8; ++n) result += poly[n] / (n + 1);
    return result;
}

double profile_ratio_integral(const Quadratic& p1, const Quadratic& p2, const Quadratic& p3,
                              const Quadratic& p4, const Quadratic& p5, const Quadratic& q) {
    auto f = [&](int node) {
        const double z = node / static_cast<double>(kRatioIntervals);
        const double qz = value_at(q, z);
        // The floor keeps the divisor away from zero where the denominator
        // profile vanishes or turns negative.
        const double div = qz > kDivisorFloor ? qz : kDivisorFloor;
        return value_at(p1, z) * value_at(p2, z) * value_at(p3, z) * value_at(p4, z) *
               value_at(p5, z) / div;
    };
    double sum = 0.5 * f(0);
    for (int node = 1; node < kRatioIntervals; ++node) sum += f(node);
    sum += 0.5 * f(kRatioIntervals);
    return kRatioStep * sum;
}

FormFactors compute_form_factors(const ProfileCoefficients& c) {
    const Quadratic one{1.0, 0.0, 0.0};
    const Quadratic U{c.Velo_Prof_Coeff_0, c.Velo_Prof_Coeff_1, c.Velo_Prof_Coeff_2};
    const Quadratic C{c.Conc_Prof_Coeff_0, c.Conc_Prof_Coeff_1, c.Conc_Prof_Coeff_2};
    const Quadratic K{c.Turb_Prof_Coeff_0, c.Turb_Prof_Coeff_1, c.Turb_Prof_Coeff_2};
    const Quadratic E{c.Diss_Prof_Coeff_0, c.Diss_Prof_Coeff_1, c.Diss_Prof_Coeff_2};
    const Quadratic dU{c.Velo_Prof_Coeff_1, 2.0 * static_cast<double>(c.Velo_Prof_Coeff_2), 0.0};
    const Quadratic dC{c.Conc_Prof_Coeff_1, 2.0 * static_cast<double>(c.Conc_Prof_Coeff_2), 0.0};

    FormFactors ff;
    // The first moment of C in closed form.
    ff.S_CZ = static_cast<double>(c.Conc_Prof_Coeff_0) / 2 +
              static_cast<double>(c.Conc_Prof_Coeff_1) / 3 +
              static_cast<double>(c.Conc_Prof_Coeff_2) / 4;
    ff.S_U = profile_integral(one, one, one, U);
    ff.S_CU = profile_integral(one, one, U, C);
    ff.T_UU = profile_integral(one, one, U, U);
    ff.S_CUU = profile_integral(one, C, U, U);
    ff.T_UK = profile_integral(one, one, U, K);
    ff.S_CUK = profile_integral(one, C, U, K);
    ff.T_UE = profile_integral(one, one, U, E);
    ff.S_CUE = profile_integral(one, C, U, E);
    ff.T_KKK_E = profile_ratio_integral(one, one, K, K, K, E);
    ff.S_CKKK_E = profile_ratio_integral(one, C, K, K, K, E);
    ff.T_KK = profile_integral(one, one, K, K);
    ff.S_CKK = profile_integral(one, C, K, K);
    ff.T_UKK_E = profile_ratio_integral(one, one, U, K, K, E);
    ff.S_CUKK_E = profile_ratio_integral(one, C, U, K, K, E);
    ff.T_UUKK_E = profile_ratio_integral(one, U, U, K, K, E);
    ff.S_CUUKK_E = profile_ratio_integral(C, U, U, K, K, E);
    ff.T_dUdUKK_E = profile_ratio_integral(one, dU, dU, K, K, E);
    ff.S_CdUdUKK_E = profile_ratio_integral(C, dU, dU, K, K, E);
    ff.S_dCdUUKK_E = profile_ratio_integral(dC, dU, U, K, K, E);
    ff.S_CKK_E = profile_ratio_integral(one, one, C, K, K, E);
    ff.S_dCKK_E = profile_ratio_integral(one, one, dC, K, K, E);
    ff.T_UUK = profile_integral(one, K, U, U);
    ff.S_CUUK = profile_integral(C, K, U, U);
    ff.T_dUdUK = profile_integral(one, K, dU, dU);
    ff.S_CdUdUK = profile_integral(C, K, dU, dU);
    ff.S_dCdUUK = profile_integral(dC, K, dU, U);
    ff.S_CK = profile_integral(one, one, K, C);
    ff.S_dCK = profile_integral(one, one, K, dC);
    ff.T_EE_K = profile_ratio_integral(one, one, one, E, E, K);
    ff.S_CEE_K = profile_ratio_integral(one, one, C, E, E, K);
    return ff;
}

}  // namespace torla
