// The alpha-beta model (alpha_beta.h): resampling, the beta point, the
// parabola, the coefficient sets and their run-outs.
#include "inspect/alpha_beta.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace torla::inspect {

namespace {

constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;

double degrees(double radians) { return radians / kRadiansPerDegree; }

// The angle under which a point is seen from the top (degrees).
double angle_from_top(const ProfilePoint& top, const ProfilePoint& p) {
    return degrees(std::atan2(top.z_m - p.z_m, p.s_m - top.s_m));
}

// The first resampled point at or beyond the split from which every
// segment over the next kBetaStretch metres falls at kBetaSlopeDeg or less.
std::optional<std::size_t> beta_point(const std::vector<ProfilePoint>& p, double split_s) {
    constexpr double kEps = 1e-9;
    const double tan_limit = std::tan(kBetaSlopeDeg * kRadiansPerDegree);
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i].s_m < split_s) continue;
        if (p.back().s_m < p[i].s_m + kBetaStretch - kEps) break;  // too little profile left
        bool stays = true;
        for (std::size_t j = i;
             stays && j + 1 < p.size() && p[j + 1].s_m <= p[i].s_m + kBetaStretch + kEps; ++j)
            stays = p[j].z_m - p[j + 1].z_m <= tan_limit * (p[j + 1].s_m - p[j].s_m);
        if (stays) return i;
    }
    return std::nullopt;
}

// Least-squares parabola z = a s^2 + b s + c through the points; false when
// the normal equations are singular (fewer than three distinct points).
bool fit_parabola(const std::vector<ProfilePoint>& p, double& a, double& b, double& c) {
    // Centred and scaled abscissa for a well-conditioned system.
    const double s0 = p.front().s_m, scale = std::max(p.back().s_m - s0, 1.0);
    double m[3][4] = {};
    for (const ProfilePoint& q : p) {
        const double x = (q.s_m - s0) / scale;
        const double pw[3] = {x * x, x, 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) m[r][k] += pw[r] * pw[k];
            m[r][3] += pw[r] * q.z_m;
        }
    }
    for (int col = 0; col < 3; ++col) {  // Gaussian elimination with pivoting
        int pivot = col;
        for (int r = col + 1; r < 3; ++r)
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
        if (std::fabs(m[pivot][col]) < 1e-12) return false;
        for (int k = 0; k < 4; ++k) std::swap(m[col][k], m[pivot][k]);
        for (int r = 0; r < 3; ++r) {
            if (r == col) continue;
            const double f = m[r][col] / m[col][col];
            for (int k = col; k < 4; ++k) m[r][k] -= f * m[col][k];
        }
    }
    const double A = m[0][3] / m[0][0], B = m[1][3] / m[1][1], C = m[2][3] / m[2][2];
    // Back to z = a s^2 + b s + c in the profile's own s.
    a = A / (scale * scale);
    b = B / scale - 2.0 * a * s0;
    c = C - B * s0 / scale + A * s0 * s0 / (scale * scale);
    return true;
}

// Where the line from the top falling at angle_deg first meets the profile
// at or beyond the split point, or none.
std::optional<double> line_meets_profile(const std::vector<ProfilePoint>& p, double split_s,
                                         double angle_deg) {
    const double t = std::tan(angle_deg * kRadiansPerDegree);
    const ProfilePoint& top = p.front();
    auto above = [&](const ProfilePoint& q) { return q.z_m - (top.z_m - t * (q.s_m - top.s_m)); };
    bool first = true;
    for (std::size_t i = 1; i < p.size(); ++i) {  // beyond the top, where the line starts
        if (p[i].s_m < split_s) continue;
        const double f = above(p[i]);
        if (f >= 0.0) {
            if (first) return p[i].s_m;
            const double f0 = above(p[i - 1]);
            return p[i - 1].s_m + (p[i].s_m - p[i - 1].s_m) * (-f0) / (f - f0);
        }
        first = false;
    }
    return std::nullopt;
}

}  // namespace

// Coefficients as published; docs/runout.md gives the sources and says
// which could not be checked against the original here.
const std::array<AlphaBetaSet, 3> kAlphaBetaSets = {{
    {"austria_standard", 1.05, -3130.0, 0.0, -2.38, 1.25,
     "Lied, Weiler, Bakkehoi and Hopf (1995), Austrian Alps"},
    {"austria_small", 0.933, 0.0, 0.0088, -5.02, 2.36,
     "Lied, Weiler, Bakkehoi and Hopf (1995), small avalanches of the Austrian Alps"},
    {"norway_beta", 0.96, 0.0, 0.0, -1.4, 2.3, "Lied and Bakkehoi (1980), Norway"},
}};

std::vector<ProfilePoint> resample_profile(const std::vector<ProfilePoint>& profile, double step) {
    std::vector<ProfilePoint> out;
    if (profile.empty()) return out;
    const double s0 = profile.front().s_m, end = profile.back().s_m - s0;
    std::size_t seg = 0;
    for (int k = 0; k * step <= end + 1e-9; ++k) {
        const double s = k * step + s0;
        while (seg + 2 < profile.size() && profile[seg + 1].s_m < s) ++seg;
        const ProfilePoint &a = profile[seg], &b = profile[std::min(seg + 1, profile.size() - 1)];
        const double w = b.s_m > a.s_m ? std::clamp((s - a.s_m) / (b.s_m - a.s_m), 0.0, 1.0) : 0.0;
        out.push_back({k * step, a.z_m + w * (b.z_m - a.z_m)});
    }
    return out;
}

AlphaBeta alpha_beta(const std::vector<ProfilePoint>& profile, double split_s_m) {
    AlphaBeta ab;
    ab.split_s_m = split_s_m;
    const std::vector<ProfilePoint> p = resample_profile(profile, kAlphaBetaStep);
    if (p.size() < 4) {
        ab.problem = "the profile is shorter than 30 m";
        return ab;
    }
    ab.top_z_m = p.front().z_m;
    ab.end_s_m = p.back().s_m;
    double a = 0, b = 0, c = 0;
    if (!fit_parabola(p, a, b, c)) {
        ab.problem = "no parabola fits the profile";
        return ab;
    }
    ab.z2_per_m = 2.0 * a;
    ab.h0_m = c - (a * ab.end_s_m * ab.end_s_m + b * ab.end_s_m + c);
    const std::optional<std::size_t> beta = beta_point(p, split_s_m);
    if (!beta) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "no beta point: beyond the split point at %.1f m the slope never stays at "
                      "10 degrees or less for 30 m before the profile ends at %.1f m (extend the "
                      "path into the run-out zone)",
                      split_s_m, ab.end_s_m);
        ab.problem = text;
        return ab;
    }
    ab.beta_point_s_m = p[*beta].s_m;
    ab.beta_point_z_m = p[*beta].z_m;
    ab.beta_deg = angle_from_top(p.front(), p[*beta]);
    for (const AlphaBetaSet& set : kAlphaBetaSets) {
        AlphaBetaRunouts r;
        r.set = &set;
        r.alpha_deg = set.k1 * ab.beta_deg + set.k2 * ab.z2_per_m + set.k3 * ab.h0_m + set.k4_deg;
        for (std::size_t k = 0; k < kAlphaOffsets.size(); ++k) {
            r.angle_deg[k] = r.alpha_deg + kAlphaOffsets[k] * set.sd_deg;
            r.runout_s_m[k] = line_meets_profile(p, split_s_m, r.angle_deg[k]);
        }
        ab.sets.push_back(r);
    }
    return ab;
}

}  // namespace torla::inspect
