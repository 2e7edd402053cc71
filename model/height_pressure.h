// Pressure over height: the dynamic pressure at a height above the base of
// the flow, built from a cell's depth-averaged layer values and the assumed
// vertical profiles of velocity U(zeta) and concentration C(zeta) of the
// suspension layer (zeta = z / h3), the same quadratics the form factors
// integrate. The one statement of this formula for the run and the tools.
#pragma once

#include <string>
#include <vector>

#include "model/parameters.h"
#include "model/processor.h"

namespace torla {

// What the formula takes from the run: the profile coefficients (as the
// result file's header stores them) and the two densities.
struct HeightProfile {
    double u0, u1, u2;   // -, U(zeta) = u0 + u1 zeta + u2 zeta^2
    double c0, c1, c2;   // -, C(zeta) = c0 + c1 zeta + c2 zeta^2
    double air_density;  // kg/m^3, Air_Density
    double rho_diff;     // kg/m^3, Particle_Density - Air_Density
};
HeightProfile height_profile(const ProfileCoefficients& c, double air_density, double rho_diff);
// The same from the twelve coefficients in the result file's order.
HeightProfile height_profile(const float coefficients[12], double air_density, double rho_diff);

// One cell's depth-averaged values at one moment.
struct CellLayers {
    double h2;  // m, saltation-layer depth
    double p2;  // kPa, saltation-layer pressure as the result file defines it
    double h3;  // m, suspension-layer depth
    double u3;  // m/s, suspension-layer velocity
    double c3;  // -, suspension-layer volume concentration
};

// kPa: the saltation layer's pressure, u2^2 times its bulk density (kg/m^3).
double saltation_pressure(double u2, double bulk_density);

// A cell's suspension profile at one moment, as its pressure over height
// takes it: the velocity u3 U(zeta) and the density term
// (Air_Density + rho_diff c3 C(zeta)) / 2000 as quadratics in zeta with the
// cell's own coefficients, taken once for all its heights.
struct CellProfile {
    double v0, v1, v2;  // m/s: u3 u0, u3 u1, u3 u2
    double d0, d1, d2;  // kPa s^2/m^2: half the density's coefficients over 1000
    double inverse_h3;  // 1/m: 1 / h3, 0 where h3 <= 0
};
inline double inverse_depth(double h3) { return h3 > 0.0 ? 1.0 / h3 : 0.0; }
inline CellProfile cell_profile(const HeightProfile& p, double h3, double u3, double c3) {
    const double r = p.rho_diff * c3;
    CellProfile c;
    c.v0 = u3 * p.u0, c.v1 = u3 * p.u1, c.v2 = u3 * p.u2;
    c.d0 = (p.air_density + r * p.c0) * 0.0005, c.d1 = r * p.c1 * 0.0005, c.d2 = r * p.c2 * 0.0005;
    c.inverse_h3 = inverse_depth(h3);
    return c;
}

// kPa: half the local dynamic pressure of the suspension layer at the height
// fraction zeta, 1/2 (Air_Density + rho_diff c3 C(zeta)) (u3 U(zeta))^2.
inline double suspension_pressure_zeta(const CellProfile& c, double zeta) {
    const double velocity = c.v0 + zeta * (c.v1 + zeta * c.v2);
    const double density = c.d0 + zeta * (c.d1 + zeta * c.d2);
    return density * velocity * velocity;
}

// kPa: the same at height z (m) above the layer's base, zeta = z (1 / h3),
// for 0 <= z <= h3; 0 above the layer or where h3 <= 0.
double suspension_pressure_at(const HeightProfile& p, double h3, double u3, double c3, double z);

// kPa: the pressure at height z (m) of a cell: the larger of the saltation
// layer's (where z <= h2) and the suspension profile's (where 0 <= z <= h3);
// 0 above both (docs/heights.md says why the larger). c is the cell's
// profile (cell_profile of its h3, u3, c3).
inline double pressure_at_height(const CellProfile& c, const CellLayers& l, double z) {
    const double salt = z <= l.h2 ? l.p2 : 0.0;
    const double susp =
        z >= 0.0 && z <= l.h3 && l.h3 > 0.0 ? suspension_pressure_zeta(c, z * c.inverse_h3) : 0.0;
    return salt > susp ? salt : susp;
}
inline double pressure_at_height(const HeightProfile& p, const CellLayers& l, double z) {
    return pressure_at_height(cell_profile(p, l.h3, l.u3, l.c3), l, z);
}

// The default heights of the peaks over height, m.
inline constexpr const char* kDefaultPeakHeights = "2,5,10,15,20,25,30";
inline constexpr int kMaxPeakHeights = 256;
// Parses a comma-separated list of heights in metres (each finite, 0 or more,
// rising, at most kMaxPeakHeights); returns "" or what is wrong, naming the
// position (1-based item) of the fault.
std::string parse_height_list(const std::string& text, std::vector<double>& out);

// Peaks over height of a run, kept on every pass: per cell and height the
// largest pressure (kPa) and the time (s) it was reached (NaN: never above 0).
struct HeightPeaks {
    bool on = false;
    std::vector<double> heights;  // m
    std::vector<double> peak;     // kPa, height-major: [k * n_cells + cell]
    std::vector<double> time;     // s, as peak
    // The run's profile, taken at the first fold (the parameters are fixed by then).
    HeightProfile profile{};
    bool profile_taken = false;
    // Cells a pass folds side by side (output/height_lanes.h): 4 where the
    // processor has AVX2, else 2; the peaks are the same either way.
    int lanes = processor_runs_wide_lanes() ? 4 : 2;
    long long passes = 0;    // passes folded in
    long long dumps = 0;     // dump records folded in
    double last_time = 0.0;  // s, of the latest state folded in
};

}  // namespace torla
