// Source terms: erosion, exchange between the layers, friction and gravity,
// and their relaxation from call to call.
#include <gtest/gtest.h>

#include <cmath>

#include "flow_fixture.h"

namespace torla {
namespace {

using test::expect_digits;

// A fast saltation layer eroding a fresh cover under a thin suspension
// cloud, under the default parameters; its values are checked by hand.
SourceInputs example_cell() {
    SourceInputs in{};
    in.h1 = 0.5, in.rho1 = 150, in.h2 = 0.5, in.u2 = 8, in.rho2 = 20;
    in.h3 = 10, in.u3 = 15, in.c3 = 0.005, in.rho3 = 5.58, in.k3 = 2, in.eps3 = 4;
    in.g_normal = 8.5, in.g_tangent = 4.9, in.curvature = 0.01, in.u_threshold = 0.5;
    return in;
}

void place(ModelState& s, int i, const SourceInputs& in) {
    s.layers.h1[i] = in.h1, s.layers.rho1[i] = in.rho1, s.layers.h2[i] = in.h2, s.layers.u2[i] = in.u2, s.layers.rho2[i] = in.rho2;
    s.layers.h3[i] = in.h3, s.layers.u3[i] = in.u3, s.layers.c3[i] = in.c3, s.layers.rho3[i] = in.rho3, s.layers.k3[i] = in.k3;
    s.layers.eps3[i] = in.eps3, s.layers.g_normal[i] = in.g_normal, s.layers.g_tangent[i] = in.g_tangent;
    s.grid.curvature[i] = in.curvature, s.grid.u_threshold[i] = in.u_threshold;
}

TEST(SourceRow, IntermediatesAndNewValuesOfAnErodingCell) {
    ModelState s;
    test::init_flow_state(s, 6);
    const SourceRow r = source_row(s.par, 0.05, example_cell());
    expect_digits(r.kappa, "0.0752941");
    expect_digits(r.E, "0.829571");
    expect_digits(r.X, "1808.16");
    expect_digits(r.Y, "0.0290153");
    EXPECT_EQ(r.F, r.Y);
    expect_digits(r.M_e, "0.0240703");
    expect_digits(r.rho_s0, "6.11318");
    expect_digits(r.M_d, "5.29684");
    expect_digits(r.w_l, "21");
    expect_digits(r.M_s, "1.45812");
    expect_digits(r.M_n, "-3.83873");
    expect_digits(r.nu_t, "0.09");
    expect_digits(r.rho_top, "4.05303");
    expect_digits(r.tau_b, "0.25");
    expect_digits(r.f_c, "-4.608");
    expect_digits(r.tau_3, "-13.3161");
    const char* values[kNumComponents] = {"0.000160468", "0", "0", "-135.706", "-3.8628",
                                          "-0.75", "-113.868", "0.00418618", "0", "0"};
    for (int j = 0; j < kNumComponents; ++j) expect_digits(r.value[j], values[j]);
}

TEST(ComputeSourceTerms, FirstCallRelaxesFromZero) {
    ModelState s;
    test::init_flow_state(s, 6);
    s.clock.dt = 0.05;
    place(s, 2, example_cell());
    set_boundary_rows(s);
    compute_source_terms(s, s.clock.dt);
    const char* row[kNumComponents] = {"8.02342e-05", "0",      "0",          "-67.8529", "-1.9314",
                                       "-0.375",      "-56.934", "0.00209309", "0",        "0"};
    for (int j = 0; j < kNumComponents; ++j) expect_digits(s.sink[2][j], row[j]);
}

TEST(SourceRow, ExchangeTermsConserveSnowMass) {
    ModelState s;
    test::init_flow_state(s, 6);
    const double rho_p = s.par.Particle_Density;
    SourceInputs slow = example_cell();
    slow.u2 = 2.0;  // below the threshold speed: deposition onto the cover
    SourceInputs strong = example_cell();
    strong.h1 = 1e-6;  // the erosion cap binds
    SourceInputs lifting = example_cell();
    lifting.rho2 = 80, lifting.c3 = 0.001;
    for (const SourceInputs& in : {example_cell(), slow, strong, lifting}) {
        const SourceRow r = source_row(s.par, 0.05, in);
        // Cover depth times its density, saltation load and suspended volume
        // times the particle density: what one layer loses another gains.
        const double balance = r.value[kCoverDepth] * in.rho1 + r.value[kSaltLoad] +
                               r.value[kSuspVolume] * rho_p;
        EXPECT_NEAR(balance, 0.0, 1e-12 * (std::fabs(r.M_e) + std::fabs(r.M_n)));
        EXPECT_NE(r.M_e, 0.0);
        EXPECT_NE(r.M_n, 0.0);
    }
    EXPECT_LT(source_row(s.par, 0.05, slow).M_e, 0.0);
}

TEST(SourceRow, LimitsOfTheErosionAndExchange) {
    ModelState s;
    test::init_flow_state(s, 6);
    SourceInputs in = example_cell();
    in.h1 = 1e-6;  // strong erosion takes exactly the cover of one step
    const SourceRow strong = source_row(s.par, 0.05, in);
    EXPECT_GT(strong.Y, strong.X);
    EXPECT_NEAR(strong.value[kCoverDepth], in.h1 / 0.05, 1e-12 * in.h1 / 0.05);
    in.h1 = 0.0;
    EXPECT_LE(source_row(s.par, 0.05, in).F, 0.0);

    in = example_cell();
    in.u2 = 10, in.curvature = 0.05, in.g_normal = 1;  // u2^2 curvature / g_normal = 5
    EXPECT_EQ(source_row(s.par, 0.05, in).kappa, 1.0);
    in.curvature = -0.03;  // -3
    EXPECT_EQ(source_row(s.par, 0.05, in).kappa, -0.9);

    in = example_cell();
    in.h3 = 0, in.eps3 = 0;
    const SourceRow thin = source_row(s.par, 0.05, in);
    EXPECT_EQ(thin.M_d, 0.0);
    EXPECT_EQ(thin.H, s.par.Min_Susp_Height);
    EXPECT_DOUBLE_EQ(thin.nu_t, s.par.C_mu * 4 / s.par.Min_Susp_Dissip);
}

TEST(ComputeSourceTerms, EdgeRowsAndAmbientSuspension) {
    ModelState s;
    test::init_flow_state(s, 8);
    for (double& x : s.sink.data) x = 7.0;
    for (double& x : s.sink_prev.data) x = 3.0;
    for (int i = 0; i < 8; ++i) {
        place(s, i, example_cell());
    }
    s.window.first_active = 2;
    s.window.last_active = 6;
    set_boundary_rows(s);
    compute_source_terms(s, s.clock.dt);
    for (int i = 0; i < 8; ++i) {
        const bool edge = i == 0 || i == 2 || i == 5;
        const bool interior = i == 3 || i == 4;
        for (int j = 0; j < kNumComponents; ++j) {
            const bool unrelaxed = j == 1 || j == 2 || j == 8 || j == 9;
            if (edge || (interior && unrelaxed)) {
                EXPECT_EQ(s.sink[i][j], 0.0) << i << " " << j;
            } else if (!interior) {
                EXPECT_EQ(s.sink[i][j], 7.0) << i << " " << j;
            }
        }
        const bool ambient = i == 0 || i == 2;
        EXPECT_EQ(s.layers.c3[i], ambient ? 0.0 : 0.005);
        EXPECT_EQ(s.layers.u3[i], ambient ? 0.0 : 15.0);
        EXPECT_EQ(s.layers.k3[i], ambient ? 0.0 : 2.0);
        EXPECT_EQ(s.layers.eps3[i], ambient ? 0.0 : 4.0);
        EXPECT_EQ(s.layers.rho3[i], ambient ? s.par.Air_Density : 5.58);
    }
    // Interior rows blend the previous rates with the new values.
    const SourceRow r = source_row(s.par, s.clock.dt, example_cell());
    EXPECT_DOUBLE_EQ(s.sink[3][kSuspMomentum], 0.5 * 3.0 + 0.5 * r.value[kSuspMomentum]);
}

// Every time_step call relaxes the rates once more, redo calls included.
TEST(ComputeSourceTerms, RelaxationAdvancesOncePerTimeStepCall) {
    for (double beta : {0.5, 1.0, 0.0}) {
        ModelState s;
        test::init_flow_state(s, 10);
        s.par.Relaxation_Factor = beta;
        s.par.Min_Salt_Mass_Flux = s.par.Min_Salt_Mom_Flux = 0;
        s.par.Min_Susp_Mass_Flux = s.par.Min_Susp_Mom_Flux = 0;  // window stays 1 ... 9
        s.window.first_active = 1;
        s.window.last_active = 9;
        for (int i = 0; i < 10; ++i) place(s, i, example_cell());
        s.U_prev = s.U;
        const SourceRow r = source_row(s.par, s.clock.dt, example_cell());
        test::stdout_of([&] {
            for (int k = 1; k <= 4; ++k) {
                time_step(s, k == 1 ? StepKind::kFull : StepKind::kRedo, s.clock.dt, s.clock.dt);
                const double share = 1 - std::pow(1 - beta, k);
                for (int j : {kCoverDepth, kSaltMomentum, kSaltLoad, kSuspDepth, kSuspMomentum, kSuspVolume})
                    EXPECT_NEAR(s.sink[4][j], share * r.value[j], 1e-12 * std::fabs(r.value[j]))
                        << "beta " << beta << " call " << k << " j " << j;
            }
        });
    }
}

}  // namespace
}  // namespace torla
