// Peaks over height during a run (Height_Peaks on): every pass folds the
// pressure at each height of every cell of the window into the peaks, every
// dump folds in the values its record holds (so the peaks are never below
// what the dumps show), and the end of the run writes <result>.heights.
//
// A pass folds the cells side by side (four with AVX2, else two;
// output/height_lanes.h), the cells left at the window's end and a dump's
// values one by one. Pressures are computed only at the heights a cell
// reaches (the heights rise, so the first height above both layers ends
// it), where every other pressure is 0: the peaks and their times are those
// of computing every height of every cell (docs/heights.md).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "output/height_lanes.h"
#include "output/heights_format.h"
#include "output/output.h"

namespace torla {

namespace {

// Where a fold writes: the peaks and times of height 0 of cell 0, the
// distance (doubles) from one height's row to the next, the heights.
struct PeakRows {
    double* peak;
    double* time;
    std::size_t stride;
    const double* z;  // m
    std::size_t m;
};

PeakRows rows_of(HeightPeaks& hp) {
    const std::size_t m = hp.heights.size();
    return {hp.peak.data(), hp.time.data(), m ? hp.peak.size() / m : 0, hp.heights.data(), m};
}

// Folds one cell's layers at `time` into its peaks, height by height.
void fold_cell(const PeakRows& r, const HeightProfile& prof, int cell, const CellLayers& l,
               double time) {
    const CellProfile c = cell_profile(prof, l.h3, l.u3, l.c3);
    for (std::size_t k = 0; k < r.m; ++k) {
        const double z = r.z[k];
        if (!(z <= l.h2 || z <= l.h3)) return;  // above both layers, as every height after it
        double& peak = r.peak[k * r.stride + cell];
        const double p = pressure_at_height(c, l, z);
        if (p > peak) peak = p, r.time[k * r.stride + cell] = time;
    }
}

// The largest lane of x, NaN lanes left out (-inf if all are NaN).
template <class V>
[[gnu::always_inline]] inline double largest_lane(V x) {
    double m = -INFINITY;
    for (int k = 0; k < kLanes<V>; ++k) m = x[k] > m ? x[k] : m;
    return m;
}

// Folds the pressures p of the cells from `cell` on at height k, reached at
// `when'. (A function the compiler must inline, as every function taking
// lanes here: a call to it from the AVX2 fold would pass the lanes in
// registers that a function built for the baseline does not read.)
template <class V>
[[gnu::always_inline]] inline void fold_height(const PeakRows& r, std::size_t cell, std::size_t k,
                                               V p, V when) {
    double* peak_at = r.peak + k * r.stride + cell;
    double* time_at = r.time + k * r.stride + cell;
    const V old = load_lanes<V>(peak_at);
    const LaneMask<V> higher = p > old;
    store_lanes(peak_at, pick_lanes<V>(higher, p, old));
    store_lanes(time_at, pick_lanes<V>(higher, when, load_lanes<V>(time_at)));
}

// The same for the cells from `cell` on, side by side, at every height one
// of them reaches.
template <class V>
[[gnu::always_inline]] inline void fold_lanes(const PeakRows& r, const LaneProfile<V>& lanes,
                                              std::size_t cell, const Layers& ly, double air,
                                              double time) {
    const V h2 = load_lanes<V>(&ly.h2[cell]), h3 = load_lanes<V>(&ly.h3[cell]);
    const V u2 = load_lanes<V>(&ly.u2[cell]), u3 = load_lanes<V>(&ly.u3[cell]);
    const V c3 = load_lanes<V>(&ly.c3[cell]), bulk = air + load_lanes<V>(&ly.rho2[cell]);
    // The heights a cell of the group reaches (NaN depths reach none): the
    // others are above both layers of every cell, where no pressure is. The
    // first `salted' of them lie in some cell's saltation layer.
    const V top = pick_lanes<V>((h3 > h2) | (h2 != h2), h3, h2);
    const double highest = largest_lane(top), salt_top = largest_lane(h2);
    std::size_t reached = 0, salted = 0;
    while (reached < r.m && r.z[reached] <= highest) ++reached;
    while (salted < reached && r.z[salted] <= salt_top) ++salted;
    // The saltation pressure only where a height lies in the saltation layer
    // (rarely: it is mostly below the lowest height); it costs a division.
    const V p2 = salted ? u2 * u2 * bulk / 1000.0 : splat_lanes<V>(0.0);
    const LaneLayers<V> l{h2, p2, layer_top_lanes(h3)};
    const LaneCells<V> c = cell_profile_lanes(lanes, h3, u3, c3);
    const V when = splat_lanes<V>(time);
    std::size_t k = 0;
    for (; k < salted; ++k)
        fold_height<V>(r, cell, k, pressure_at_height_lanes<V, true>(c, l, r.z[k]), when);
    for (; k < reached; ++k)
        fold_height<V>(r, cell, k, pressure_at_height_lanes<V, false>(c, l, r.z[k]), when);
}

CellLayers cell_layers(const Layers& ly, int i, double air) {
    return {ly.h2[i], saltation_pressure(ly.u2[i], air + ly.rho2[i]), ly.h3[i], ly.u3[i], ly.c3[i]};
}

// Folds the cells first ... last - 1, kLanes<V> at a time and the rest alone.
template <class V>
[[gnu::always_inline]] inline void fold_window(HeightPeaks& hp, const HeightProfile& prof,
                                               const Layers& ly, double air, int first, int last,
                                               double time) {
    const PeakRows r = rows_of(hp);
    const LaneProfile<V> lanes = lane_profile<V>(prof);
    int i = first;
    for (; i + kLanes<V> <= last; i += kLanes<V>) fold_lanes<V>(r, lanes, i, ly, air, time);
    for (; i < last; ++i) fold_cell(r, prof, i, cell_layers(ly, i, air), time);
}

template <class V>
void fold_window_as(HeightPeaks& hp, const HeightProfile& prof, const Layers& ly, double air,
                    int first, int last, double time) {
    fold_window<V>(hp, prof, ly, air, first, last, time);
}
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
template <>
__attribute__((target("avx2"))) void fold_window_as<HeightQuad>(HeightPeaks& hp,
                                                                const HeightProfile& prof,
                                                                const Layers& ly, double air,
                                                                int first, int last, double time) {
    fold_window<HeightQuad>(hp, prof, ly, air, first, last, time);
}
#endif

const HeightProfile& run_profile(ModelState& s) {
    HeightPeaks& hp = s.heights;
    if (!hp.profile_taken)
        hp.profile = height_profile(s.par.profile, s.par.Air_Density, s.constants.rho_diff),
        hp.profile_taken = true;
    return hp.profile;
}

}  // namespace

int use_height_lanes(HeightPeaks& hp, int lanes) {
    const int widest = processor_runs_wide_lanes() ? 4 : 2;
    return hp.lanes = lanes <= 0 || lanes > widest ? widest : lanes >= 4 ? 4 : 2;
}

void update_height_peaks(ModelState& s, double time) {
    const HeightProfile& prof = run_profile(s);
    const int first = std::max(s.window.first_active, 0),
              last = std::min<int>(s.window.last_active, s.n_cells);
    (s.heights.lanes == 4 ? fold_window_as<HeightQuad>
                          : fold_window_as<HeightPair>)(s.heights, prof, s.layers,
                                                        s.par.Air_Density, first, last, time);
    ++s.heights.passes;
    s.heights.last_time = std::max(s.heights.last_time, time);
}

void fold_dump_heights(ModelState& s) {
    const HeightProfile& prof = run_profile(s);
    const PeakRows r = rows_of(s.heights);
    const std::size_t stride = static_cast<std::size_t>(s.n_cells) + 1;
    const float* rec = s.dump_record.data();
    const double time = rec[0];
    for (int i = 0; i < s.n_cells; ++i) {
        auto row = [&](int q) { return static_cast<double>(rec[q * stride + i + 1]); };
        const CellLayers l{row(kRowSaltDepth), row(kRowSaltPressure), row(kRowSuspDepth),
                           row(kRowSuspVelocity), row(kRowSuspConcentration)};
        fold_cell(r, prof, i, l, time);
    }
    ++s.heights.dumps;
    s.heights.last_time = std::max(s.heights.last_time, time);
}

std::string write_run_heights(const ModelState& s) {
    HeightsData d;
    d.n_cells = s.n_cells;
    d.air_density = s.par.Air_Density;
    d.rho_diff = s.constants.rho_diff;
    std::memcpy(d.coefficients, &s.par.profile, sizeof d.coefficients);
    d.end_time = s.heights.last_time;
    d.passes = s.heights.passes;
    d.dumps = s.heights.dumps;
    d.heights = s.heights.heights;
    // The file holds the peaks cell by cell.
    const std::size_t m = d.heights.size(), n = m ? s.heights.peak.size() / m : 0;
    d.peak.resize(n * m);
    d.time.resize(n * m);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < m; ++k) {
            d.peak[i * m + k] = s.heights.peak[k * n + i];
            d.time[i * m + k] = s.heights.time[k * n + i];
        }
    return write_heights_file(s.names.result_file + kHeightsSuffix, d);
}

}  // namespace torla
