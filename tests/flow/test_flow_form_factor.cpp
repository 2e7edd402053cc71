// Profile shape factors: the exact and trapezoidal depth integrals and the
// report of the 31 factors in the log.
#include <gtest/gtest.h>

#include "flow_fixture.h"
#include "output/output.h"

namespace torla {
namespace {

TEST(ProfileIntegral, IsExactForPolynomialsUpToDegreeEight) {
    const Quadratic one, z{0, 1, 0}, z2{0, 0, 1}, lin{1, 1, 0};
    EXPECT_DOUBLE_EQ(profile_integral(one, one, one, z), 0.5);
    EXPECT_DOUBLE_EQ(profile_integral(z2, z2, z2, z2), 1.0 / 9.0);
    EXPECT_DOUBLE_EQ(profile_integral(lin, lin, lin, lin), 31.0 / 5.0);  // (1 + z)^4
    EXPECT_DOUBLE_EQ(profile_integral(Quadratic{2, -1, 3}, one, one, one), 2 - 0.5 + 1);
}

TEST(ProfileRatioIntegral, TrapezoidalWithHalfWeightEndsAndFlooredDivisor) {
    const Quadratic one, z2{0, 0, 1};
    // Trapezoidal rule of z^2 over 1000 intervals: 1/3 + h^2/6.
    EXPECT_NEAR(profile_ratio_integral(one, one, one, one, z2, one), 1.0 / 3 + 1e-6 / 6, 1e-14);
    EXPECT_NEAR(profile_ratio_integral(one, one, one, one, one, one), 1.0, 1e-13);
    // A vanishing or negative denominator is replaced by 0.01 at every node.
    EXPECT_NEAR(profile_ratio_integral(one, one, one, one, one, Quadratic{-1, 0, 0}), 100.0, 1e-10);
    EXPECT_NEAR(profile_ratio_integral(one, one, one, one, one, Quadratic{0, 0, 0}), 100.0, 1e-10);
    // z / q with q = z floored at 0.01: nodes 0 ... 10 give z / 0.01, the others 1,
    // so h (0 + 0.1 + ... + 0.9 + 1 + 989 + 0.5) = 0.995.
    const Quadratic z{0, 1, 0};
    EXPECT_NEAR(profile_ratio_integral(one, one, one, one, z, z), 0.995, 1e-12);
}

TEST(FormFactor, DefaultProfilesAndTheirReport) {
    ModelState s;
    const std::string report = test::log_of(s, [&] {
        s.ff = compute_form_factors(s.par.profile);
        report_form_factors(s);
    });
    EXPECT_NEAR(s.ff.S_CZ, 0.4444, 1e-4);
    EXPECT_NEAR(s.ff.S_CU, 1.011068, 1e-6);
    EXPECT_NEAR(s.ff.T_UU, 1.045333, 1e-6);
    EXPECT_NEAR(s.ff.S_CUU, 1.175954, 1e-6);
    EXPECT_NEAR(s.ff.T_UKK_E, 0.933333, 1e-6);
    EXPECT_NEAR(s.ff.S_CUKK_E, 1.011068, 1e-6);
    // With K = E = 1 the trapezoidal X K K / E factors agree with the exact X.
    EXPECT_NEAR(s.ff.T_dUdUKK_E, s.ff.T_dUdUK, 5e-4);
    EXPECT_NEAR(s.ff.T_UUKK_E, s.ff.T_UU, 5e-4);
    EXPECT_NEAR(s.ff.S_CUUKK_E, s.ff.S_CUU, 5e-4);

    const std::string expected =
        "\n"
        "   form_factor:         S_CZ =  0.444\n"
        "                         S_U =  0.933          S_CU =  1.011\n"
        "                        T_UU =  1.045         S_CUU =  1.176\n"
        "                        T_UK =  0.933         S_CUK =  1.011\n"
        "                        T_UE =  0.933         S_CUE =  1.011\n"
        "                     T_KKK_E =  1.000      S_CKKK_E =  1.000\n"
        "                        T_KK =  1.000         S_CKK =  1.000\n"
        "                     T_UKK_E =  0.933      S_CUKK_E =  1.011\n"
        "                    T_UUKK_E =  1.045     S_CUUKK_E =  1.176\n"
        "                  T_dUdUKK_E =  2.613   S_CdUdUKK_E =  2.178\n"
        "                 S_dCdUUKK_E =  0.653\n"
        "                     S_CKK_E =  1.000      S_dCKK_E = -0.667\n"
        "                       T_UUK =  1.045        S_CUUK =  1.176\n"
        "                     T_dUdUK =  2.613      S_CdUdUK =  2.178\n"
        "                    S_dCdUUK =  0.653\n"
        "                        S_CK =  1.000         S_dCK = -0.667\n"
        "                      T_EE_K =  1.000       S_CEE_K =  1.000\n"
        "\n"
        "\n";
    EXPECT_EQ(report, expected);
    // The equals signs of both columns line up (columns 30 and 53).
    std::size_t start = 0;
    for (std::size_t end; (end = report.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = report.substr(start, end - start);
        if (line.empty()) continue;
        EXPECT_EQ(line.find('='), 29u) << line;
        const auto second = line.find('=', 30);
        if (second != std::string::npos) {
            EXPECT_EQ(second, 52u) << line;
        }
    }
}

TEST(FormFactor, DissipationProfileVanishingInsideTheLayerUsesTheFloor) {
    ProfileCoefficients c = RunParameters().profile;
    c.Diss_Prof_Coeff_0 = 1.0f;
    c.Diss_Prof_Coeff_1 = -2.0f;  // E < 0 above mid-height
    const FormFactors ff = compute_form_factors(c);
    // 1 / max(1 - 2z, 0.01) integrates to far more than the exact integral of 1.
    EXPECT_GT(ff.T_KKK_E, 10.0);
    EXPECT_DOUBLE_EQ(ff.T_KK, 1.0);  // exact factors without E are unaffected
}

}  // namespace
}  // namespace torla
