// Parameter lines: which key stores what, in which precision.
#include <gtest/gtest.h>

#include "input/input.h"

namespace torla {
namespace {

std::string applied(RunParameters& p, const std::string& line) {
    testing::internal::CaptureStdout();
    match_parameter(p, line);
    return testing::internal::GetCapturedStdout();
}

TEST(MatchParameter, StoresDoublesAndRoundsProfileCoefficientsToFloat) {
    RunParameters p;
    EXPECT_EQ(applied(p, "Gravity 9.5 m/s2\n"), "");
    EXPECT_EQ(p.Gravity, 9.5);  // text after the number is ignored
    applied(p, "Velo_Prof_Coeff_0 0.1\n");
    EXPECT_EQ(p.profile.Velo_Prof_Coeff_0, 0.1f);
    EXPECT_NE(static_cast<double>(p.profile.Velo_Prof_Coeff_0), 0.1);
    applied(p, "Max_Time\t30\n");
    EXPECT_EQ(p.Max_Time, 30.0);
}

TEST(MatchParameter, SharedFieldsAndLastLineWins) {
    RunParameters p;
    applied(p, "Ref_Radius 7\n");
    EXPECT_EQ(p.Max_Dev, 7.0);
    applied(p, "Max_Dev 3\n");
    EXPECT_EQ(p.Max_Dev, 3.0);
    applied(p, "Spline_Type Bspline\n");
    EXPECT_EQ(p.Grid_Method, "Bspline");
    applied(p, "Grid_Method polygon\n");
    EXPECT_EQ(p.Grid_Method, "polygon");
    applied(p, "Grid_Method\n");  // no second word: unchanged
    EXPECT_EQ(p.Grid_Method, "polygon");
}

TEST(MatchParameter, SuspensionMassFluxIsDividedByTheParticleDensityInForce) {
    RunParameters p;
    EXPECT_EQ(p.Min_Susp_Mass_Flux, 10.0);  // the default is held undivided
    applied(p, "Min_Susp_Mass_Flux 9.17\n");
    EXPECT_DOUBLE_EQ(p.Min_Susp_Mass_Flux, 0.01);
    applied(p, "Particle_Density 458.5\n");
    applied(p, "Min_Susp_Mass_Flux 9.17\n");
    EXPECT_DOUBLE_EQ(p.Min_Susp_Mass_Flux, 0.02);
}

TEST(MatchParameter, MessagesForUnknownRegionAndMalformedLines) {
    RunParameters p;
    const RunParameters before = p;
    struct Case {
        const char* line;
        const char* message;
    } cases[] = {
        {"grid_method x\n", "   match_parameter:  Parameter grid_method not identified; skipping.\n"},
        {"\n", "   match_parameter:  Parameter  not identified; skipping.\n"},
        {"    \n", "   match_parameter:  Parameter  not identified; skipping.\n"},
        {"Region Alps 12\n", "   match_parameter:  QRA file format revision 1.2 detected.\n"},
        {"Return_Period 300\n", ""},
        {"Gravity fast\n", "   match_parameter:  WARNING:  No number after Gravity; value left unchanged.\n"},
        {"Grid_Method abcdefghijklmnopqrstuvwxyz0123456789\n",
         "   match_parameter:  WARNING:  Grid_Method `abcdefghijklmnopqrstuvwxyz0123456789' is "
         "longer than 31 characters; ignored.\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(applied(p, c.line), c.message) << c.line;
    EXPECT_EQ(p.Gravity, before.Gravity);
    EXPECT_EQ(p.Grid_Method, "P");
    // A key far longer than any known one is reported whole.
    const std::string key(300, 'K');
    EXPECT_EQ(applied(p, key + " 1\n"),
              "   match_parameter:  Parameter " + key + " not identified; skipping.\n");
}

}  // namespace
}  // namespace torla
