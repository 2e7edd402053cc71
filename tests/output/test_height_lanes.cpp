// The peaks over height, cells side by side, against the plain one-cell fold.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "flow_fixture.h"
#include "model/height_pressure.h"
#include "output/height_lanes.h"
#include "output/output.h"

namespace torla {
namespace {

using test::same_bits;

// Velocity and concentration coefficients (u0 u1 u2 c0 c1 c2).
const float kProfiles[][6] = {
    {1.4f, 0.0f, -1.4f, 1.3333f, -0.6667f, 0.0f},  // the defaults
    {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f},          // uniform
    {0.2f, 3.1f, -2.6f, 2.0f, -1.5f, -0.2f},       // wall jet
    {2.0f, -0.7f, -1.3f, 0.4f, 2.5f, -2.4f},       // strong shear
    {-0.5f, 1.0f, 0.0f, -1.0f, 3.0f, 0.0f},        // U and C change sign
};

// States of a cell (h2, p2, h3, u3, c3), at and around the heights below.
const CellLayers kStates[] = {
    {1.0, 3.0, 8.0, 20.0, 0.003},  {0.0, 0.0, 0.0, 0.0, 0.0},      {2.0, 9.0, 2.0, 30.0, 0.01},
    {5.0, 40.0, 0.5, 10.0, 0.002}, {0.0, 0.0, 30.0, -25.0, 0.004}, {0.5, 1.0, 1e-300, 50.0, 0.01},
    {NAN, 2.0, 8.0, 20.0, 0.003},  {1.0, 2.0, NAN, 20.0, 0.003},   {1.0, 2.0, 8.0, NAN, 0.003},
    {1.0, 2.0, -3.0, 20.0, 0.003}, {1.0, 2.0, 8.0, 20.0, -0.5},    {1e-9, 1e9, 60.0, 1e3, 0.3},
};
const double kHeights[] = {0.0, 0.5, 1.0, 2.0, 5.0, 8.0, 30.0};

// Every lane is the one-cell formula bit for bit, whatever stands beside it.
template <class V>
void check_lanes() {
    constexpr int n = kLanes<V>;
    constexpr int states = sizeof kStates / sizeof kStates[0];
    for (const auto& k : kProfiles) {
        const float coefficients[12] = {k[0], k[1], k[2], k[3], k[4], k[5]};
        const HeightProfile p = height_profile(coefficients, 1.2, 915.8);
        const LaneProfile<V> lanes = lane_profile<V>(p);
        for (int first = 0; first < states; ++first) {
            double h2[n], p2[n], h3[n], u3[n], c3[n];
            for (int j = 0; j < n; ++j) {
                const CellLayers& c = kStates[(first + j) % states];
                h2[j] = c.h2, p2[j] = c.p2, h3[j] = c.h3, u3[j] = c.u3, c3[j] = c.c3;
            }
            const LaneLayers<V> l{load_lanes<V>(h2), load_lanes<V>(p2),
                                  layer_top_lanes(load_lanes<V>(h3))};
            const LaneCells<V> cells =
                cell_profile_lanes(lanes, load_lanes<V>(h3), load_lanes<V>(u3), load_lanes<V>(c3));
            for (double z : kHeights) {
                const V got = pressure_at_height_lanes<V, true>(cells, l, z);
                for (int j = 0; j < n; ++j) {
                    const CellLayers& c = kStates[(first + j) % states];
                    const double want = pressure_at_height(p, c, z);
                    EXPECT_TRUE(same_bits(got[j], want) || (std::isnan(got[j]) && std::isnan(want)))
                        << "profile " << k[0] << " " << k[3] << ", state " << (first + j) % states
                        << ", lane " << j << ", z " << z << ": " << got[j] << " against " << want;
                }
            }
        }
    }
}

TEST(HeightLanes, EveryLaneIsTheOneCellFormula) {
    check_lanes<HeightPair>();
    check_lanes<HeightQuad>();
}

// The plain fold: every height of every cell of the window.
struct PlainPeaks {
    std::vector<double> peak, time;
};
void fold_plain(const ModelState& s, PlainPeaks& p, double time) {
    const HeightProfile prof =
        height_profile(s.par.profile, s.par.Air_Density, s.constants.rho_diff);
    const std::size_t n = s.n_cells;
    const Layers& ly = s.layers;
    for (int i = s.window.first_active; i < s.window.last_active; ++i) {
        const CellLayers l{ly.h2[i], saltation_pressure(ly.u2[i], s.par.Air_Density + ly.rho2[i]),
                           ly.h3[i], ly.u3[i], ly.c3[i]};
        for (std::size_t k = 0; k < s.heights.heights.size(); ++k) {
            const double pressure = pressure_at_height(prof, l, s.heights.heights[k]);
            if (pressure > p.peak[k * n + i])
                p.peak[k * n + i] = pressure, p.time[k * n + i] = time;
        }
    }
}
bool same_peaks(const ModelState& s, const PlainPeaks& p) {
    const std::size_t bytes = p.peak.size() * sizeof(double);
    return s.heights.peak.size() == p.peak.size() &&
           std::memcmp(s.heights.peak.data(), p.peak.data(), bytes) == 0 &&
           std::memcmp(s.heights.time.data(), p.time.data(), bytes) == 0;
}

// Passes over 11 hand-made cells, each a little faster than the one before, with the default and
// the uniform profile; the window changes so that groups of cells reach over its ends.
TEST(HeightLanes, PassesOverChangingLayersGiveThePlainFold) {
    struct Step {
        double h2, u2, h3, u3, c3;
    };
    const Step steps[] = {
        {0.0, 0.0, 10.0, 30.0, 0.004},    // the layer's top at a height
        {0.0, 0.0, 10.0, 30.0, 0.004},    // the same again: nothing rises
        {0.0, 0.0, 10.0, 30.015, 0.004},  // a little faster: every pressure a little higher
        {0.5, 5.0, 3.0, 10.0, 0.002},     // shallower and weaker
        {0.5, 5.0, 15.5, 10.0, 0.002},    // weaker, but reaching one height more
        {0.5, 5.0, 40.0, 10.0, 0.002},    // weaker, reaching every height
        {2.0, 20.0, 12.0, 40.0, 0.01},    // stronger
        {5.5, 40.0, 1.0, 10.0, 0.002},    // a saltation layer above the suspension layer
        {0.0, 0.0, 0.0, 0.0, 0.0},        // nothing
        {NAN, 5.0, 25.0, 60.0, 0.03},     // NaN saltation depth
        {3.0, 60.0, NAN, 10.0, 0.002},    // NaN suspension depth
        {3.0, 70.0, 40.0, 80.0, 0.04},    // the strongest
    };
    const float profiles[][6] = {{1.4f, 0.0f, -1.4f, 1.3333f, -0.6667f, 0.0f},
                                 {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f}};
    for (const auto& profile : profiles)
        for (int lanes : {2, 4}) {
            ModelState s;
            if (use_height_lanes(s.heights, lanes) != lanes) continue;
            s.par.Height_Peaks = "on";
            s.par.Peak_Heights = "0,1,2,5,10,15,20,30";
            ProfileCoefficients& c = s.par.profile;
            c.Velo_Prof_Coeff_0 = profile[0], c.Velo_Prof_Coeff_1 = profile[1],
            c.Velo_Prof_Coeff_2 = profile[2];
            c.Conc_Prof_Coeff_0 = profile[3], c.Conc_Prof_Coeff_1 = profile[4],
            c.Conc_Prof_Coeff_2 = profile[5];
            s.n_cells = 11;
            allocate_model_state(s);
            derive_run_constants(s);
            PlainPeaks plain{s.heights.peak, s.heights.time};
            const int windows[][2] = {{0, 11}, {1, 10}, {3, 7}, {2, 11}};
            int pass = 0;
            for (const Step& step : steps) {
                s.window.first_active = windows[pass % 4][0];
                s.window.last_active = windows[pass % 4][1];
                for (int i = 0; i < 11; ++i) {
                    const double f = 1.0 + 0.05 * i;
                    s.layers.h2[i] = step.h2, s.layers.u2[i] = step.u2 * f, s.layers.rho2[i] = 30.0;
                    s.layers.h3[i] = step.h3, s.layers.u3[i] = step.u3 * f,
                    s.layers.c3[i] = step.c3;
                }
                const double t = 0.1 * ++pass;
                update_height_peaks(s, t);
                fold_plain(s, plain, t);
                ASSERT_TRUE(same_peaks(s, plain))
                    << lanes << " lanes, profile " << profile[0] << ", pass " << pass;
            }
        }
}

}  // namespace
}  // namespace torla
