// Pressure over height, the list of heights, the peaks-over-height file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>

#include "flow/flow.h"
#include "model/height_pressure.h"
#include "output/heights_format.h"
#include "test_support.h"

namespace torla {
namespace {

// The integral over [0, h3] of f by 6-point Gauss-Legendre, exact for the
// degree-6 polynomial in z that the suspension pressure is.
template <class F>
double gauss_integral(F f, double h3) {
    static const double x[3] = {0.2386191860831969, 0.6612093864662645, 0.9324695142031521};
    static const double w[3] = {0.4679139345726910, 0.3607615730481386, 0.1713244923791704};
    double sum = 0.0;
    for (int k = 0; k < 3; ++k) sum += w[k] * (f(0.5 * h3 * (1 - x[k])) + f(0.5 * h3 * (1 + x[k])));
    return 0.5 * h3 * sum;
}

// Velocity and concentration coefficients (u0 u1 u2 c0 c1 c2).
struct Shape {
    const char* name;
    float k[6];
};
const Shape kShapes[] = {
    {"defaults", {1.4f, 0.0f, -1.4f, 1.3333f, -0.6667f, 0.0f}},
    {"uniform", {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f}},
    {"wall jet", {0.2f, 3.1f, -2.6f, 2.0f, -1.5f, -0.2f}},
    {"linear", {0.5f, 1.0f, 0.0f, 1.5f, -1.0f, 0.0f}},
    {"strong shear", {2.0f, -0.7f, -1.3f, 0.4f, 2.5f, -2.4f}},
};

// The depth average of the pressure over height is the form-factor-weighted
// momentum flux, 1/2 u3^2 (Air_Density T_UU + rho_diff c3 S_CUU), for every shape.
TEST(PressureOverHeight, DepthAverageIsTheFormFactorMomentumFlux) {
    for (const Shape& sh : kShapes) {
        ProfileCoefficients c{};
        c.Velo_Prof_Coeff_0 = sh.k[0], c.Velo_Prof_Coeff_1 = sh.k[1], c.Velo_Prof_Coeff_2 = sh.k[2];
        c.Conc_Prof_Coeff_0 = sh.k[3], c.Conc_Prof_Coeff_1 = sh.k[4], c.Conc_Prof_Coeff_2 = sh.k[5];
        c.Turb_Prof_Coeff_0 = c.Diss_Prof_Coeff_0 = 1.0f;
        const FormFactors ff = compute_form_factors(c);
        const double air = 1.2, rho_diff = 915.8, h3 = 23.5, u3 = 31.0;
        const HeightProfile p = height_profile(c, air, rho_diff);
        for (const double c3 : {0.0, 0.003, 0.02}) {
            const double mean =
                gauss_integral([&](double z) { return suspension_pressure_at(p, h3, u3, c3, z); },
                               h3) /
                h3;
            const double flux = 0.5 * u3 * u3 * (air * ff.T_UU + rho_diff * c3 * ff.S_CUU) / 1000;
            EXPECT_NEAR(mean / flux, 1.0, 1e-12) << sh.name << ", c3 " << c3;
        }
    }
}

// Which layer gives the pressure at a height: a table of layers, height,
// expected kPa. Defaults: U = 1.4 - 1.4 zeta^2, C = 1.3333 - 0.6667 zeta.
TEST(PressureOverHeight, LayersCombineByTheLarger) {
    const float k[12] = {1.4f, 0, -1.4f, 1, 0, 0, 1, 0, 0, 1, 0, 0};
    const HeightProfile p = height_profile(k, 1.0, 916.0);
    const double s5 = suspension_pressure_at(p, 10.0, 20.0, 0.01, 5.0);  // 1/2 10.16 (20 1.05)^2
    EXPECT_NEAR(s5, 0.5 * 10.16 * 21.0 * 21.0 / 1000, 1e-6);             // 1.4f is not 1.4
    struct Case {
        CellLayers l;
        double z, kpa;
    } const cases[] = {
        {{2.0, 50.0, 10.0, 20.0, 0.01}, 1.0, 50.0},  // saltation above the suspension there
        {{2.0, 0.01, 10.0, 20.0, 0.01}, 2.0, suspension_pressure_at(p, 10.0, 20.0, 0.01, 2.0)},
        {{2.0, 50.0, 10.0, 20.0, 0.01}, 5.0, s5},      // above the saltation layer
        {{2.0, 50.0, 10.0, 20.0, 0.01}, 10.0, 0.0},    // the top: U(1) = 0
        {{2.0, 50.0, 10.0, 20.0, 0.01}, 10.001, 0.0},  // above both
        {{12.0, 50.0, 10.0, 20.0, 0.01}, 11.0, 50.0},  // a saltation layer deeper than the cloud
        {{0.0, 0.0, 0.0, 20.0, 0.01}, 0.0, 0.0},       // no layers
        {{1.0, 3.0, 10.0, 20.0, 0.01}, -1.0, 3.0},     // below the base: the saltation layer
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(pressure_at_height(p, c.l, c.z), c.kpa) << c.z;
}

TEST(PressureOverHeight, HeightLists) {
    std::vector<double> h;
    EXPECT_EQ(parse_height_list("0,0.5", h), "");
    EXPECT_EQ(h, (std::vector<double>{0, 0.5}));
    const struct {
        const char* text;
        const char* message;
    } bad[] = {
        {"2,5m", "height 2 (`5m') is not a number"},
        {"nan", "height 1 (`nan') is not a number"},
        {"-1", "height 1 (`-1') is below 0 m"},
        {"5,5", "height 2 (`5') does not rise above the one before"},
    };
    for (const auto& b : bad) {
        h = {7.0};
        EXPECT_EQ(parse_height_list(b.text, h), b.message) << b.text;
        EXPECT_EQ(h, std::vector<double>{7.0}) << "a refused list leaves the heights as they were";
    }
    std::string many;
    for (int i = 0; i <= kMaxPeakHeights; ++i) many.append(i ? "," : "").append(std::to_string(i));
    EXPECT_EQ(parse_height_list(many, h), "more than 256 heights");
}

HeightsData sample_heights() {
    HeightsData d;
    d.n_cells = 3;
    d.air_density = 1.2;
    d.rho_diff = 915.8;
    for (int i = 0; i < 12; ++i) d.coefficients[i] = 0.5f * i;
    d.end_time = 12.5;
    d.passes = 301;
    d.dumps = 13;
    d.heights = {0.5, 5};  // m; heights below 1 m too
    d.peak = {0, 0, 1.5, 0.25, 3, 2};
    d.time = {NAN, NAN, 4.0, 4.5, 7.25, 8};
    return d;
}

TEST(HeightsFile, RoundTripAndDamagedFilesAreRefused) {
    test::TempDir dir;
    const HeightsData d = sample_heights();
    ASSERT_EQ(write_heights_file(dir.file("r.heights"), d), "");
    EXPECT_FALSE(test::fs::exists(dir.file("r.heights.tmp")));
    HeightsData e;
    ASSERT_EQ(read_heights_file(dir.file("r.heights"), e), "");
    EXPECT_EQ(std::tie(e.n_cells, e.air_density, e.rho_diff, e.end_time, e.passes, e.dumps,
                       e.heights, e.peak),
              std::tie(d.n_cells, d.air_density, d.rho_diff, d.end_time, d.passes, d.dumps,
                       d.heights, d.peak));
    EXPECT_EQ(0, std::memcmp(e.coefficients, d.coefficients, sizeof d.coefficients));
    EXPECT_TRUE(std::isnan(e.time_at(0, 1)));
    EXPECT_EQ(e.time_at(2, 1), 8.0);
    // One cell and one height are a file like any other.
    HeightsData one = d;
    one.n_cells = 1, one.heights = {2.0}, one.peak = {1.5}, one.time = {4.0};
    ASSERT_EQ(write_heights_file(dir.file("one.heights"), one), "");
    ASSERT_EQ(read_heights_file(dir.file("one.heights"), e), "");
    EXPECT_EQ(std::tie(e.n_cells, e.heights, e.peak, e.time),
              std::tie(one.n_cells, one.heights, one.peak, one.time));
    // Damaged files: byte offset, new bytes (or a cut there), message.
    const std::string path = dir.file("r.heights");
    const std::string good = test::read_text(path);
    auto f64 = [](double v) { return std::string(reinterpret_cast<const char*>(&v), 8); };
    auto i32 = [](int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    const std::size_t heights_at = 8 + 4 * 3 + 16 + 48 + 24;
    const struct {
        std::size_t at;
        std::string bytes;  // empty: cut the file at `at`
        const char* message;
    } cases[] = {
        {0, "X", "at byte 8: not a peaks-over-height file (no TORLAHGT)"},
        {8, i32(2), "at byte 12: version 2, this reader knows 1"},
        {12, i32(0), "at byte 16: the cell count is missing or outside 1 to 32767"},
        {16, i32(257), "at byte 20: the height count is missing or outside 1 to 256"},
        {20, f64(NAN), "at byte 36: the densities are missing or not finite"},
        {40, "", "at byte 36: the header is cut short"},
        {good.size() - 1, "",
         "at byte 108: 111 bytes follow the header where 3 cells and 2 heights take 112"},
        {heights_at, f64(-0.5), "height 1 is not a rising finite height"},
        {heights_at, f64(6.0), "height 2 is not a rising finite height"},
        {heights_at + 16 + 8, f64(-1.0),
         "the peak of cell 0, height 2 is not a finite pressure of 0 or more"},
        {heights_at + 16 + 16, f64(NAN),
         "the peak of cell 1, height 1 is not a finite pressure of 0 or more"},
    };
    for (const auto& c : cases) {
        std::string bad = c.bytes.empty() ? good.substr(0, c.at) : good;
        if (!c.bytes.empty()) bad.replace(c.at, c.bytes.size(), c.bytes);
        test::write_text(path, bad);
        EXPECT_EQ(read_heights_file(path, e), path + ": " + c.message) << c.at;
    }
    EXPECT_NE(read_heights_file(dir.file("absent"), e), "");
}

}  // namespace
}  // namespace torla
