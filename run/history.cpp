// The run record's bookkeeping: what the record and the warnings take from
// the passes and the dumps of a run as it goes (written out at its end by
// output/run_record.cpp).
#include "run/history.h"

#include <cmath>
#include <cstdio>

#include "output/output.h"

namespace torla {

namespace {

// The first sign of instability in the flow: a physical wave speed above
// this (m/s). No powder avalanche is faster than about 100 m/s; a wave
// speed half as large again belongs to the scheme, not to the flow.
constexpr double kOnsetWaveSpeed = 150.0;
constexpr double kQuietWarning = 60.0;  // s without any flow before the run says so

// Mass per metre of width that the window's edge cells changed in this
// pass: the final call's edge cells against the start of the pass.
double edge_change(const ModelState& s) {
    double change = 0.0;
    const int first = s.window.updated_first, last = s.window.updated_last - 1;
    for (int i : {first, last}) {
        if (i < 0 || i >= s.n_cells || (i == last && last == first)) continue;
        const SnowMass now = cell_snow_mass(s, s.U[i], i),
                       before = cell_snow_mass(s, s.U_prev[i], i);
        change += (now.cover - before.cover) + (now.saltation - before.saltation) +
                  (now.suspension - before.suspension);
    }
    return change;
}

// First time the flow is present in each cell of the window (the front's
// definition, on the values the result file would hold).
void note_arrivals(ModelState& s, double time) {
    const Layers& l = s.layers;
    for (int i = s.window.first_active; i < s.window.last_active; ++i) {
        double& arrival = s.history.arrival_time[i];
        if (!std::isnan(arrival)) continue;
        const float p3 = static_cast<float>(l.u3[i] * l.u3[i] * l.rho3[i] / 2000);
        if (flow_present(p3, static_cast<float>(l.h2[i]))) arrival = time;
    }
}

}  // namespace

void warn(ModelState& s, const std::string& text) {
    std::fprintf(stderr, "torla: warning: %s\n", text.c_str());
    s.history.warnings.push_back(text);
}

void warn_in_record(ModelState& s, const std::string& text) { s.history.warnings.push_back(text); }

void note_onset(ModelState& s, int cell, const std::string& sign, double time) {
    History& h = s.history;
    if (h.onset) return;
    h.onset = true;
    h.onset_time = time;
    h.onset_cell = cell;
    h.onset_sign = sign;
    const std::size_t cells = static_cast<std::size_t>(s.n_cells);
    for (int q = 0; q < kResultQuantities; ++q)
        for (std::size_t i = 0; i < cells; ++i)
            h.peaks_before_onset[q * cells + i] = s.peak_table[(q * cells + i) * kPeakEntryFloats];
}

void note_dump(ModelState& s) {
    const int n = s.n_cells;
    const std::size_t stride = static_cast<std::size_t>(n) + 1;
    const float* record = s.dump_record.data();
    DumpSummary d;
    d.time = s.clock.t;
    d.first = s.window.first_active;
    d.last = s.window.last_active;
    const SnowMass m = snow_mass(s, s.U_prev);
    d.cover = m.cover;
    d.saltation = m.saltation;
    d.suspension = m.suspension;
    d.outflow = s.history.outflow;
    d.edges = s.history.edges;
    for (int i = n - 1; i >= 0 && d.front < 0; --i)
        if (flow_present(record[kRowSuspPressure * stride + i + 1],
                         record[kRowSaltDepth * stride + i + 1])) {
            d.front = i;
            d.front_path_length = s.grid.path_length[i];
        }
    s.history.dumps.push_back(d);
    s.history.runout_dumps.add_dump(record, n);
}

void note_pass(ModelState& s, double taken, const WaveSpeed& wave, bool rescaled, bool redone) {
    History& h = s.history;
    const double time = s.clock.t + taken;  // of the new state
    h.wave_speed = wave.m_s;
    h.rescaled_passes += rescaled;
    h.negativity_redos += redone;
    if (s.clock.step_count == 1 || taken < h.smallest_step) h.smallest_step = taken;
    if (s.clock.step_count == 1 || taken > h.largest_step) h.largest_step = taken;
    if (wave.cell >= 0 && !(wave.m_s <= h.max_wave_speed)) {
        h.max_wave_speed = wave.m_s;
        h.max_wave_time = time;
        h.max_wave_cell = wave.cell;
    }
    if (!h.onset) {
        const WaveSpeed physical = largest_gravity_wave_speed(s);
        if (physical.m_s > kOnsetWaveSpeed) {
            char sign[128];
            std::snprintf(sign, sizeof sign, "wave speed %.1f m/s", physical.m_s);
            note_onset(s, physical.cell, sign, time);
        }
    }
    h.outflow += taken * s.window.outflow_rate;
    h.edges += edge_change(s);
    note_arrivals(s, time);
    if (s.window.has_flow && taken > kResolvedStep && taken > h.longest_flow_step) {
        h.longest_flow_step = taken;
        h.longest_flow_step_time = time;
    }
    if (s.window.has_flow) {
        h.last_flow_time = time;
    } else if (!h.warned_no_flow && time - h.last_flow_time >= kQuietWarning &&
               s.par.Max_Time - time > kQuietWarning) {
        h.warned_no_flow = true;
        char text[256];
        std::snprintf(
            text, sizeof text,
            "no cell has carried flow since t = %.1f s; the run goes on to Max_Time = %g s",
            h.last_flow_time, s.par.Max_Time);
        warn(s, text);
    }
}

}  // namespace torla
