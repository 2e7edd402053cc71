// The alpha-beta model: the empirical run-out of extreme avalanches from the
// shape of the path alone, to stand beside a run (docs/runout.md).
//
// The profile is resampled every 10 m of horizontal distance from the top.
// The beta point is the first resampled point at or beyond the split point
// from which the slope stays at 10 degrees or less for 30 m; beta is the
// angle under which it is seen from the top. A parabola z(s) fitted by least
// squares to the whole resampled profile gives z'' = 2a and H0, its drop from
// the top to the end of the profile. Each coefficient set gives
// alpha = k1 beta + k2 z'' + k3 H0 + k4 with a standard deviation SD; the
// run-out of alpha + k SD (k = +1, 0, -1, -2) is where the line from the top
// falling at that angle first meets the profile beyond the split point
// (interpolated between resampled points), or none: out of profile.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace torla::inspect {

// A point of the path profile: horizontal distance from the top and
// elevation (m; any datum, only differences count).
struct ProfilePoint {
    double s_m = 0.0;
    double z_m = 0.0;
};

struct AlphaBetaSet {
    const char* name;
    double k1;      // per degree of beta
    double k2;      // degrees per (1/m) of z''
    double k3;      // degrees per m of H0
    double k4_deg;  // degrees
    double sd_deg;  // degrees
    const char* source;
};
inline constexpr double kAlphaBetaStep = 10.0;  // m, horizontal resampling
inline constexpr double kBetaSlopeDeg = 10.0;   // degrees
inline constexpr double kBetaStretch = 30.0;    // m, the slope stays at most 10 degrees this far
extern const std::array<AlphaBetaSet, 3> kAlphaBetaSets;
// The offsets in standard deviations of the run-outs, in the order the
// tables list them, and their names ("+1", "0", "-1", "-2").
inline constexpr std::array<int, 4> kAlphaOffsets = {1, 0, -1, -2};

struct AlphaBetaRunouts {
    const AlphaBetaSet* set = nullptr;
    double alpha_deg = 0.0;
    // Per offset of kAlphaOffsets: the angle and the horizontal run-out from
    // the top, or none where the line does not meet the profile.
    std::array<double, 4> angle_deg{};
    std::array<std::optional<double>, 4> runout_s_m;
};

struct AlphaBeta {
    std::string problem;  // why it could not be worked out; empty when it was
    double split_s_m = 0.0;
    std::optional<double> beta_point_s_m;
    double beta_point_z_m = 0.0;
    double beta_deg = 0.0;
    double z2_per_m = 0.0;  // 1/m, second derivative of the fitted parabola
    double h0_m = 0.0;      // m, the parabola's drop over the profile
    double top_z_m = 0.0, end_s_m = 0.0;
    std::vector<AlphaBetaRunouts> sets;
};

// The profile resampled every step metres from its first point (s of the
// result is measured from there), by linear interpolation.
std::vector<ProfilePoint> resample_profile(const std::vector<ProfilePoint>& profile, double step);

// Alpha-beta for a profile (points with rising s) and a split point
// (horizontal metres from the profile's first point).
AlphaBeta alpha_beta(const std::vector<ProfilePoint>& profile, double split_s_m);

}  // namespace torla::inspect
