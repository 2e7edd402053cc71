// torla-ensemble calibrate: the members of an ensemble file's [vary] ranges
// that fit an observation file (docs/calibration.md). Rounds of ordinary
// ensembles, each in a folder of its own under DIR/rounds/: the first
// spreads latin-hypercube members over the whole ranges, every later one
// over a box half as wide as the one before, centred on the minimum of a
// quadratic surrogate of the misfit fitted to the best members so far
// (minimised with NLopt's BOBYQA within the box of the same width around the
// best member, so that the best member stays inside); a quarter of every
// later round spreads over the region of the accepted members instead, so that
// their span is the region's. Each round is prepared, run and resumed
// exactly as `torla-ensemble run` does it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ensemble/ensemble.h"
#include "ensemble/slurm.h"

namespace torla::ensemble {

// The members of each round within a budget for d varied ranges: the first
// round 40 % of the budget (at least d + 2), the rest in up to five equal
// rounds (the last takes what is left over).
std::vector<int> calibration_rounds(int budget, int d);

// The box of round k (k >= 1), per varied range: a width 2^-k of the
// range's, centred on `centre` and shifted inside the range where it would
// stick out.
struct Box {
    std::vector<double> min, max;
};
Box round_box(const EnsembleFile& ens, const std::vector<double>& centre, int k);

// A quadratic in d variables fitted by least squares to the best points
// (rows of d values) by their misfits, then minimised with NLopt within
// `within` (and the fitted points' span), starting from the best point.
// Empty when there are too few points for the (d + 1)(d + 2) / 2
// coefficients, the fit is singular, the two boxes do not meet, or NLopt
// fails.
//
// With `residuals` (per point each observation's signed term of the misfit,
// the misfit being their mean square) the quadratic is instead the
// Gauss-Newton one: the mean square of the residuals, each fitted linearly
// to the same points (the quadratic fitted to the misfits where that fit
// is singular or the residuals are not one list per point).
std::optional<std::vector<double>> surrogate_minimum(
    const std::vector<std::vector<double>>& points, const std::vector<double>& misfits,
    const Box& within, const std::vector<std::vector<double>>& residuals = {});

// The members whose misfit is at most `limit` (indices into points, in
// order) and the box their parameters span; an empty box when there are
// none.
struct Accepted {
    std::vector<std::size_t> members;
    Box span;
};
Accepted accepted_members(const std::vector<std::vector<double>>& points,
                          const std::vector<double>& misfits, double limit);

// Where a later round spends its share of members that look for the edges
// of the accepted region rather than the best: the span of the accepted
// members widened on each side by a quarter of that span, and by at least
// 5 % of the range, cut to the ranges. Empty without accepted members.
std::optional<Box> region_box(const EnsembleFile& ens, const Accepted& accepted);

// The misfit below which members mark the region the later rounds sample:
// the accepted limit, or, when the best misfit is above 1, the best misfit
// plus the limit's margin over 1 (limit - 1), so that a
// search that has not yet reached the accepted region still spreads along
// the valley the best member lies in rather than only around it.
double region_limit(double limit, double best);

// The members of round k (k >= 1) that sample the accepted region: a
// quarter of them, rounded down.
int region_share(int members);

// The largest misfit that still agrees with n observations within their
// uncertainty: 1 + 2 sqrt(2 / n) (the mean of z^2 of n independent standard
// normal deviates is 1 with standard deviation sqrt(2 / n)).
double accepted_misfit(std::size_t n);

// torla-ensemble calibrate CALIB.toml --observed OBS.toml -o DIR [--budget N]
// [--engine local|slurm] [--jobs N] (read by ensemble/options.cpp).
struct CalibrateOptions {
    std::string calib_file, observed, dir, engine = "local";
    int budget = 0;      // members in all rounds; 0: the calibration file's members
    int jobs = 1;        // members at a time (local engine)
    SlurmOptions slurm;  // partition, account, time limit, chunks (Slurm engine)
};
// Returns the exit status; program is this executable's path.
int calibrate_main(CalibrateOptions o, const std::string& program);

}  // namespace torla::ensemble
