// The rounded track: the polyline of the input points with every inner
// corner replaced by a circular arc, as a chain of pieces by arc length.
#include <algorithm>
#include <cmath>

#include "knotline/knotline.h"

namespace torla::knotline {

namespace {

// Corners whose direction changes by less than this are taken as straight:
// the arc would be a line to within rounding, and its radius would overflow.
constexpr double kInLine = 1e-12;

// The piece that holds station s (the last one starting at or before it),
// and the offset of s into it.
const Piece& piece_at(const Track& t, double s, double& offset) {
    auto it = std::upper_bound(t.pieces.begin(), t.pieces.end(), s,
                               [](double v, const Piece& p) { return v < p.s0; });
    const Piece& p = (it == t.pieces.begin()) ? t.pieces.front() : *(it - 1);
    offset = std::clamp(s - p.s0, 0.0, p.length);
    return p;
}

}  // namespace

void Track::point_at(double s, double& x, double& y) const {
    double t;
    const Piece& p = piece_at(*this, s, t);
    if (!p.arc) {
        x = p.x0 + t * p.ux;
        y = p.y0 + t * p.uy;
        return;
    }
    // Along the chord from the arc's start: it turns by half the swept
    // angle and is 2 R sin(swept / 2) long. Measured from the centre
    // instead, a nearly straight corner (radius up to 1e12 times the
    // segment) would lose the position to the rounding of R cos(a).
    const double swept = t / p.radius;
    const double chord = 2.0 * p.radius * std::sin(0.5 * swept);
    const double dir = p.phi0 + p.turn * 0.5 * swept;
    x = p.x0 + chord * std::cos(dir);
    y = p.y0 + chord * std::sin(dir);
}

double Track::direction_at(double s) const {
    double t;
    const Piece& p = piece_at(*this, s, t);
    return p.arc ? p.phi0 + p.turn * t / p.radius : p.phi0;
}

namespace {

// The map points and the segments between them: segment i runs from point
// i to point i + 1, len[i] long in the direction (ux[i], uy[i]).
struct Segments {
    std::vector<double> px, py, len, ux, uy;
};

Segments segments_of(const FloatRows& points) {
    const int n = points.rows;
    Segments g{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n - 1),
               std::vector<double>(n - 1), std::vector<double>(n - 1)};
    for (int i = 0; i < n; ++i) {
        g.px[i] = points[i][0];
        g.py[i] = points[i][1];
    }
    for (int i = 0; i + 1 < n; ++i) {
        const double dx = g.px[i + 1] - g.px[i], dy = g.py[i + 1] - g.py[i];
        g.len[i] = std::hypot(dx, dy);
        g.ux[i] = dx / g.len[i];
        g.uy[i] = dy / g.len[i];
    }
    return g;
}

// Radius of each corner arc. An arc of radius R tangent to two segments
// that turn by theta lies R (sec(theta/2) - 1) from the corner and touches
// each segment R tan(theta/2) from it. The largest radius that keeps the
// first within max_dev and the second within half of the shorter segment is
// taken (half, so that the arcs of neighbouring corners never overlap).
void round_corners(const Segments& g, double max_dev, std::vector<Corner>& corners) {
    const int n = static_cast<int>(corners.size());
    for (int i = 1; i + 1 < n; ++i) {
        Corner& c = corners[i];
        const double cross = g.ux[i - 1] * g.uy[i] - g.uy[i - 1] * g.ux[i];
        const double dot = g.ux[i - 1] * g.ux[i] + g.uy[i - 1] * g.uy[i];
        c.angle = std::atan2(cross, dot);
        if (std::fabs(c.angle) < kInLine) continue;
        const double half = 0.5 * std::fabs(c.angle);
        // sec(h) - 1 written without the cancellation of 1/cos(h) - 1.
        const double q = std::sin(0.5 * half);
        const double sec_minus_1 = 2.0 * q * q / std::cos(half);
        const double r_dev = max_dev / sec_minus_1;
        const double r_seg = 0.5 * std::min(g.len[i - 1], g.len[i]) / std::tan(half);
        c.radius = std::min(r_dev, r_seg);
        c.tangent = c.radius * std::tan(half);
        c.deviation = c.radius * sec_minus_1;
    }
}

// The arc of corner i + 1, which segment i leads into, starting at distance s.
Piece corner_arc(const Segments& g, const Corner& c, int i, double s) {
    Piece p;
    p.arc = true;
    p.s0 = s;
    p.length = c.radius * std::fabs(c.angle);
    p.x0 = g.px[i + 1] - c.tangent * g.ux[i];
    p.y0 = g.py[i + 1] - c.tangent * g.uy[i];
    p.phi0 = std::atan2(g.uy[i], g.ux[i]);
    p.radius = c.radius;
    p.turn = c.angle > 0.0 ? 1.0 : -1.0;
    // The centre lies on the inner side: left of the direction for a
    // counter-clockwise turn, right of it for a clockwise one.
    p.cx = p.x0 - p.turn * c.radius * g.uy[i];
    p.cy = p.y0 + p.turn * c.radius * g.ux[i];
    p.alpha0 = std::atan2(p.y0 - p.cy, p.x0 - p.cx);
    return p;
}

// Chains the pieces: along segment i a line from the end of the arc of
// corner i to the start of the arc of corner i + 1, then that arc.
void chain_pieces(const Segments& g, Track& track) {
    const int n = static_cast<int>(track.corners.size());
    double s = 0.0;
    for (int i = 0; i + 1 < n; ++i) {
        const double cut_start = track.corners[i].tangent;
        const double cut_end = track.corners[i + 1].tangent;
        const double line = std::max(0.0, g.len[i] - cut_start - cut_end);
        if (line > 0.0) {
            Piece p;
            p.s0 = s;
            p.length = line;
            p.x0 = g.px[i] + cut_start * g.ux[i];
            p.y0 = g.py[i] + cut_start * g.uy[i];
            p.phi0 = std::atan2(g.uy[i], g.ux[i]);
            p.ux = g.ux[i];
            p.uy = g.uy[i];
            track.pieces.push_back(p);
            s += line;
        }
        if (i + 2 == n) break;  // point i + 1 is the last one
        const Corner& c = track.corners[i + 1];
        if (c.radius <= 0.0) {
            track.stations[i + 1] = s;
            continue;
        }
        const Piece p = corner_arc(g, c, i, s);
        track.pieces.push_back(p);
        track.stations[i + 1] = s + 0.5 * p.length;
        s += p.length;
    }
    track.stations[n - 1] = s;
    track.length = s;
}

}  // namespace

Track build_track(const FloatRows& points, double max_dev) {
    Track track;
    track.corners.assign(points.rows, Corner{});
    track.stations.assign(points.rows, 0.0);
    const Segments g = segments_of(points);
    round_corners(g, max_dev, track.corners);
    chain_pieces(g, track);
    return track;
}

}  // namespace torla::knotline
