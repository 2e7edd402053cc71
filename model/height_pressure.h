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
    // Extremes over 0 <= zeta <= 1, for a bound of a cell's pressures.
    double c_min, c_max;  // -, of C
    double uu_max;        // -, of U^2
};
HeightProfile height_profile(const ProfileCoefficients& c, double air_density, double rho_diff);
// The same from the twelve coefficients in the result file's order.
HeightProfile height_profile(const float coefficients[12], double air_density, double rho_diff);

// kPa: a bound that no pressure over height of the cell exceeds (a little
// above the largest, so that rounding cannot put a pressure above it).
inline double pressure_bound(const HeightProfile& p, double p2, double u3, double c3) {
    const double low = p.rho_diff * c3 * p.c_min, high = p.rho_diff * c3 * p.c_max;
    const double susp = (p.air_density + (low > high ? low : high)) * u3 * u3 * p.uu_max * 0.0005;
    return (p2 > susp ? p2 : susp) * (1.0 + 1e-9);
}

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

// kPa: half the local dynamic pressure of the suspension layer at the height
// fraction zeta, 1/2 (Air_Density + rho_diff c3 C(zeta)) (u3 U(zeta))^2.
inline double suspension_pressure_zeta(const HeightProfile& p, double u3, double c3, double zeta) {
    const double U = p.u0 + zeta * (p.u1 + zeta * p.u2);
    const double C = p.c0 + zeta * (p.c1 + zeta * p.c2);
    const double velocity = u3 * U;
    return (p.air_density + p.rho_diff * c3 * C) * velocity * velocity * 0.0005;
}

// kPa: the same at height z (m) above the layer's base, zeta = z (1 / h3),
// for 0 <= z <= h3; 0 above the layer or where h3 <= 0.
double suspension_pressure_at(const HeightProfile& p, double h3, double u3, double c3, double z);

// kPa: the pressure at height z (m) of a cell: the larger of the saltation
// layer's (where z <= h2) and the suspension profile's (where 0 <= z <= h3);
// 0 above both (docs/heights.md says why the larger). inverse_h3 is
// 1 / h3 (0 where h3 <= 0), taken once for all heights of a cell.
inline double pressure_at_height(const HeightProfile& p, const CellLayers& l, double z,
                                 double inverse_h3) {
    const double salt = z <= l.h2 ? l.p2 : 0.0;
    const double susp = z >= 0.0 && z <= l.h3 && l.h3 > 0.0
                            ? suspension_pressure_zeta(p, l.u3, l.c3, z * inverse_h3)
                            : 0.0;
    return salt > susp ? salt : susp;
}
inline double inverse_depth(double h3) { return h3 > 0.0 ? 1.0 / h3 : 0.0; }
inline double pressure_at_height(const HeightProfile& p, const CellLayers& l, double z) {
    return pressure_at_height(p, l, z, inverse_depth(l.h3));
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
    // What lets a pass leave a cell alone (output/height_peaks.cpp), per
    // cell: no peak of a height below `ceiling` is below `least`.
    std::vector<double> least;    // kPa, +inf before the cell reached a height
    std::vector<double> ceiling;  // m, the lowest height not reached when last computed
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
