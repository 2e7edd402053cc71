// From the generator input to the grid rows: checks of the input, the
// resampling of the rounded track and the nineteen grid columns.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "knotline/knotline.h"

namespace torla::knotline {

namespace {

std::string num(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

std::string at(int point, int place) {
    return "point " + std::to_string(point) + ", place " + std::to_string(place) + ": ";
}

// Input places carried along the track, and the grid column each goes to.
constexpr int kCarried = 14;
constexpr int kPlace[kCarried] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr int kColumn[kCarried] = {2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};

}  // namespace

std::string check_input(const GeneratorInput& in) {
    if (!std::isfinite(in.elem_size))
        return "Elem_Size is not a finite number (" + num(in.elem_size) + ")";
    if (in.elem_size <= 0.0f) return "Elem_Size must be positive, is " + num(in.elem_size);
    if (!std::isfinite(in.max_dev))
        return "Max_Dev is not a finite number (" + num(in.max_dev) + ")";
    if (in.max_dev <= 0.0f) return "Max_Dev must be positive, is " + num(in.max_dev);
    const FloatRows& p = in.points;
    if (p.rows < 2)
        return "holds " + std::to_string(p.rows) + " input point(s); a track needs at least 2";
    if (p.cols != kInputPointFloats)
        return "input points have " + std::to_string(p.cols) + " numbers instead of " +
               std::to_string(kInputPointFloats);
    for (int i = 0; i < p.rows; ++i)
        for (int q = 0; q < kInputPointFloats; ++q)
            if (!std::isfinite(p[i][q]))
                return at(i, q) + "not a finite number (" + num(p[i][q]) + ")";
    for (int i = 1; i < p.rows; ++i)
        if (!(p[i][0] > p[i - 1][0]))
            return at(i, 0) + "horizontal coordinate " + num(p[i][0]) + " does not exceed " +
                   num(p[i - 1][0]) + " of point " + std::to_string(i - 1) +
                   "; the coordinates must increase strictly";
    return "";
}

namespace {

// Equal arc-length cells: the fewest that are no longer than elem. The
// tolerance keeps a track that is an exact multiple of elem, give or take
// rounding, from gaining a spare cell; the cells it allows are longer than
// elem by far less than the rounding of elem to a 32-bit float.
std::string cell_count(double total, double elem, int& m) {
    const double cells = std::ceil(total / elem * (1.0 - 1e-9));
    if (!std::isfinite(total) || !std::isfinite(cells))
        return "the track length cannot be computed (" + num(total) + " m)";
    if (cells + 1.0 > kMaxGridPoints)
        return "a track of " + num(total) + " m in cells of at most " + num(elem) + " m needs " +
               num(cells + 1.0) + " grid points, more than the " + std::to_string(kMaxGridPoints) +
               " a grid file can hold";
    m = std::max(1, static_cast<int>(cells));
    return "";
}

// The grid points at the distances gs along the track (the first and the
// last at the input's end points) and every column of their rows.
void fill_rows(const Track& track, const FloatRows& pts, const std::vector<double>& gs,
               FloatRows& grid) {
    const int n = static_cast<int>(gs.size()), m = n - 1;
    const double total = track.length, h = total / m;
    std::vector<double> gx(n), gy(n);
    for (int k = 0; k < n; ++k) track.point_at(gs[k], gx[k], gy[k]);
    // The end points are the input end points themselves.
    gx[0] = pts[0][0];
    gy[0] = pts[0][1];
    gx[m] = pts[pts.rows - 1][0];
    gy[m] = pts[pts.rows - 1][1];

    int j = 0;  // input segment (by station) that holds the current grid point
    for (int k = 0; k < n; ++k) {
        float* row = grid[k];
        const double s = gs[k];
        row[0] = static_cast<float>(gx[k]);
        row[1] = static_cast<float>(gy[k]);
        const int o = (k == 0) ? 1 : k - 1;
        row[3] = static_cast<float>(std::hypot(gx[k] - gx[o], gy[k] - gy[o]));
        // The direction angle turns counter-clockwise where the slope
        // flattens, so the slope angle is its negative and the concave
        // curvature its rate of turn. The rate is averaged over the stretch
        // of half a cell either side, so a bend shorter than a cell still
        // hands its whole turn to the grid point nearest to it.
        row[4] = static_cast<float>(-track.direction_at(s));
        const double a = std::max(0.0, s - 0.5 * h), b = std::min(total, s + 0.5 * h);
        row[5] = static_cast<float>((track.direction_at(b) - track.direction_at(a)) / (b - a));
        // Linear interpolation between the stations of the two input points
        // on either side: map coordinates and local numbers alike.
        while (j + 2 < pts.rows && s > track.stations[j + 1]) ++j;
        const double s0 = track.stations[j], s1 = track.stations[j + 1];
        const double w = std::clamp((s - s0) / (s1 - s0), 0.0, 1.0);
        for (int c = 0; c < kCarried; ++c) {
            const double v0 = pts[j][kPlace[c]], v1 = pts[j + 1][kPlace[c]];
            row[kColumn[c]] = static_cast<float>((1.0 - w) * v0 + w * v1);
        }
    }
}

// The first number of the grid that is not a finite 32-bit float, or "".
std::string first_non_finite(const FloatRows& grid) {
    for (int k = 0; k < grid.rows; ++k)
        for (int c = 0; c < kGridColumns; ++c)
            if (!std::isfinite(grid[k][c]))
                return "grid point " + std::to_string(k) + ", column " + std::to_string(c) +
                       " is not a finite 32-bit number";
    return "";
}

}  // namespace

std::string make_grid(const GeneratorInput& in, FloatRows& grid) {
    grid = FloatRows{};
    if (auto err = check_input(in); !err.empty()) return err;
    const Track track = build_track(in.points, in.max_dev);
    const double total = track.length;
    int m = 0;
    if (auto err = cell_count(total, in.elem_size, m); !err.empty()) return err;
    std::vector<double> gs(m + 1);
    for (int k = 0; k <= m; ++k) gs[k] = (k == m) ? total : total * k / m;
    grid = alloc_float_rows(m + 1, kGridColumns);
    fill_rows(track, in.points, gs, grid);
    if (auto err = first_non_finite(grid); !err.empty()) {
        grid = FloatRows{};
        return err;
    }
    return "";
}

}  // namespace torla::knotline
