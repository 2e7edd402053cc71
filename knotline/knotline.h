// knotline: turns the input points of a path profile into the grid of the
// flow model.
//
// The input points form a polyline in the vertical plane of the path
// (place 0 horizontal coordinate, place 1 elevation, both in metres). Every
// inner corner is rounded by a circular arc tangent to both adjacent
// segments; the rounded track (straight pieces and arcs, continuous in
// direction) is then cut into equal arc-length pieces no longer than the
// element size, and every cut point becomes a grid point.
//
// Grid columns written (one row of 19 floats per grid point, top first):
//   0, 1   x and elevation of the grid point (m)
//   2      input place 2, interpolated linearly along the track
//   3      straight distance from the previous grid point (m); grid point 0
//          carries the distance to the next one
//   4      slope angle of the track at the point (radians), positive where
//          the track descends in the direction of increasing index
//   5      curvature (1/m), positive where the profile is concave (the slope
//          flattens downstream): the mean over the stretch from half a cell
//          before the point to half a cell after it
//   6      input place 3, interpolated linearly along the track
//   7..18  input places 4..15 (the twelve local numbers), interpolated
//          linearly along the track
//
// "Along the track" means by arc length between the stations of the input
// points on the rounded track: an end point sits at its own place, an inner
// point at the middle of its arc (the point of the arc nearest to it).
#pragma once

#include <string>
#include <vector>

#include "input/grid_format.h"

namespace torla::knotline {

// Largest number of grid points a grid file can announce (16-bit count).
inline constexpr int kMaxGridPoints = 32767;

// One piece of the rounded track: a straight line or a circular arc.
struct Piece {
    bool arc = false;
    double s0 = 0.0;            // station (arc length from the top) where it starts
    double length = 0.0;        // arc length of the piece
    double x0 = 0.0, y0 = 0.0;  // start point
    double phi0 = 0.0;          // direction angle of the tangent at the start
                                // (from the +x axis, counter-clockwise)
    // Line: unit direction. Arc: centre, radius and turning sense
    // (+1 counter-clockwise, i.e. concave; -1 clockwise, convex).
    double ux = 0.0, uy = 0.0;
    double cx = 0.0, cy = 0.0, radius = 0.0, turn = 0.0;
    double alpha0 = 0.0;  // arc: angle of the start point as seen from the centre
};

// The corner rounding of one inner input point.
struct Corner {
    double angle = 0.0;      // turn of the direction at the corner (radians,
                             // counter-clockwise positive)
    double radius = 0.0;     // 0 where the two segments are in line
    double tangent = 0.0;    // distance from the corner to either tangent point
    double deviation = 0.0;  // distance from the corner to the arc
};

struct Track {
    std::vector<Piece> pieces;
    std::vector<Corner> corners;   // one per input point; end points hold zeros
    std::vector<double> stations;  // station of every input point on the track
    double length = 0.0;

    // Position and direction angle of the tangent (counter-clockwise from
    // the +x axis) at station s, clamped to the track.
    void point_at(double s, double& x, double& y) const;
    double direction_at(double s) const;
};

// Rounds the corners of the polyline (x = place 0, y = place 1 of every
// row) with arcs that keep within max_dev of each corner and use at most
// half of either adjacent segment. Expects checked input (see check_input).
Track build_track(const FloatRows& points, double max_dev);

// Checks a generator input; returns an empty string or what is wrong with it.
std::string check_input(const GeneratorInput& in);

// Computes the grid rows of a generator input. Returns an empty string and
// fills grid (n x 19), or returns what is wrong and leaves grid empty.
std::string make_grid(const GeneratorInput& in, FloatRows& grid);

}  // namespace torla::knotline
