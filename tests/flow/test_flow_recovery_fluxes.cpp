// Recovery of the layer variables from the conserved state, and the fluxes
// evaluated from them.
#include <gtest/gtest.h>

#include "flow_fixture.h"

namespace torla {
namespace {

using test::expect_digits;

class Recovery : public testing::Test {
protected:
    void SetUp() override { test::init_flow_state(s, 8); }
    LayerVariables of(std::initializer_list<double> u) {
        double row[kNumComponents] = {};
        std::copy(u.begin(), u.end(), row);
        return recover_cell(s.par, s.constants, row);
    }
    ModelState s;
};

TEST_F(Recovery, CoverOnlyGivesAmbientLayers) {
    const LayerVariables v = of({0.7, 180, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(v.h1, 0.7);
    EXPECT_EQ(v.rho1, 180);
    for (double x : {v.h2, v.u2, v.rho2, v.h3, v.u3, v.c3, v.k3, v.eps3}) EXPECT_EQ(x, 0.0);
    EXPECT_EQ(v.rho3, s.par.Air_Density);
}

TEST_F(Recovery, ThinLayersDivideByTheirMinimumButKeepTheirDepth) {
    const LayerVariables salt = of({0, 0, 0.05, 2.1, 1, 0, 0, 0, 0, 0});
    EXPECT_EQ(salt.h2, 0.05);
    EXPECT_DOUBLE_EQ(salt.rho2, 10.0);
    EXPECT_NEAR(salt.u2, 2.1 / 1.1, 1e-15);

    // rho3 h3 = 0.005 * 1.916 is below min_susp_mass, which divides instead.
    const LayerVariables susp = of({0, 0, 0, 0, 0, 0.005, 3.0, 0.0001, 0.4, 0.2});
    EXPECT_EQ(susp.h3, 0.005);
    EXPECT_DOUBLE_EQ(susp.c3, 0.001);
    EXPECT_DOUBLE_EQ(susp.rho3, 1.916);
    EXPECT_DOUBLE_EQ(susp.u3, 3.0 / s.constants.min_susp_mass);
    EXPECT_DOUBLE_EQ(susp.k3, 0.4 / s.constants.min_susp_mass);
    EXPECT_DOUBLE_EQ(susp.eps3, 0.2 / s.constants.min_susp_mass);

    EXPECT_DOUBLE_EQ(of({0, 0, 0.5, 0, -2, 0, 0, 0, 0, 0}).rho2, -4.0);  // stored without complaint
}

TEST_F(Recovery, InvertsTheConservedVector) {
    const double rho3 = 1 + 916 * 0.01;
    const LayerVariables v = of({0, 0, 0, 0, 0, 1.0, rho3 * 12.0, 0.01, rho3 * 3.0, rho3 * 5.0});
    EXPECT_DOUBLE_EQ(v.rho3, 10.16);
    EXPECT_DOUBLE_EQ(v.u3, 12.0);
    EXPECT_DOUBLE_EQ(v.k3, 3.0);
    EXPECT_DOUBLE_EQ(v.eps3, 5.0);
}

TEST_F(Recovery, WritesOnlyTheActiveWindow) {
    for (int i = 0; i < 8; ++i) {
        s.U[i][kSuspDepth] = 2.0;
        s.layers.h3[i] = -1.0;
    }
    s.window.first_active = 2;
    s.window.last_active = 5;
    recover_layer_variables(s);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(s.layers.h3[i], i >= 2 && i < 5 ? 2.0 : -1.0) << i;
}

class Fluxes : public testing::Test {
protected:
    void SetUp() override { test::init_flow_state(s, 6); }
    ModelState s;
};

TEST_F(Fluxes, RowOfACloudOverASaltationLayer) {
    const int i = 2;
    s.layers.h2[i] = 0.5, s.layers.u2[i] = 10, s.layers.rho2[i] = 20;
    s.layers.h3[i] = 10, s.layers.u3[i] = 20, s.layers.c3[i] = 0.005, s.layers.rho3[i] = 5.58, s.layers.k3[i] = 2, s.layers.eps3[i] = 4;
    s.layers.g_normal[i] = 8.5, s.layers.g_tangent[i] = 4.9;
    s.layers.h3[i - 1] = 8, s.layers.u3[i - 1] = 18, s.layers.c3[i - 1] = 0.004, s.layers.rho3[i - 1] = 4.664;
    s.grid.cell_length[i] = 10;

    const SuspensionGradients g = suspension_gradients(s, i);
    expect_digits(g.Gc, "0.0001");
    expect_digits(g.Gm, "44.4384");
    const FluxRow f = flux_row(s.par, s.constants, s.ff,
                               {0.5, 10, 20, 10, 20, 0.005, 5.58, 2, 4, 8.5, 4.9}, g);
    expect_digits(f.lambda, "0.179211");
    expect_digits(f.P, "389.3");
    expect_digits(f.nu_t, "0.09");

    set_boundary_rows(s);
    compute_fluxes(s);
    const double* adv = s.flux_adv[i];
    const double* diff = s.flux_diff[i];
    expect_digits(adv[kSaltMomentum], "1287.15");
    expect_digits(adv[kSaltLoad], "100");
    expect_digits(adv[kSuspDepth], "200");
    expect_digits(adv[kSuspMomentum], "27529.3");
    expect_digits(adv[kSuspVolume], "1.01152");
    expect_digits(diff[kSuspMomentum], "-7.97752");
    expect_digits(diff[kSuspVolume], "-1.6129e-06");
    for (int j : {0, 1, 2, 8, 9}) EXPECT_EQ(adv[j], 0.0) << j;
    for (int j : {0, 1, 2, 3, 4, 5, 8, 9}) EXPECT_EQ(diff[j], 0.0) << j;
}

TEST_F(Fluxes, LayerAtRestLooksForward) {
    s.layers.u3[3] = 0.0;
    s.layers.c3[2] = 0.5, s.layers.c3[3] = 0.01, s.layers.c3[4] = 0.03;
    s.grid.cell_length[4] = 4.0;
    EXPECT_DOUBLE_EQ(suspension_gradients(s, 3).Gc, 0.005);
}

TEST_F(Fluxes, NarrowWindowSetsOnlyEdgeRowsAndAmbientSuspension) {
    for (double& x : s.flux_adv.data) x = 7.0;
    for (double& x : s.flux_diff.data) x = 7.0;
    for (int i = 0; i < 6; ++i) {
        s.layers.c3[i] = s.layers.u3[i] = s.layers.k3[i] = s.layers.eps3[i] = s.layers.h3[i] = 0.3;
        s.layers.rho3[i] = 3.0;
    }
    s.window.first_active = 2;
    s.window.last_active = 4;  // two cells, no interior
    set_boundary_rows(s);
    compute_fluxes(s);
    for (int i = 0; i < 6; ++i) {
        const bool edge = i == 0 || i == 2 || i == 3;
        for (int j = 0; j < kNumComponents; ++j) {
            EXPECT_EQ(s.flux_adv[i][j], edge ? 0.0 : 7.0);
            EXPECT_EQ(s.flux_diff[i][j], edge ? 0.0 : 7.0);
        }
        const bool ambient = i == 0 || i == 2;
        EXPECT_EQ(s.layers.c3[i], ambient ? 0.0 : 0.3);
        EXPECT_EQ(s.layers.u3[i], ambient ? 0.0 : 0.3);
        EXPECT_EQ(s.layers.k3[i], ambient ? 0.0 : 0.3);
        EXPECT_EQ(s.layers.eps3[i], ambient ? 0.0 : 0.3);
        EXPECT_EQ(s.layers.rho3[i], ambient ? s.par.Air_Density : 3.0);
        EXPECT_EQ(s.layers.h3[i], 0.3);
    }
}

}  // namespace
}  // namespace torla
