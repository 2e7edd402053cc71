// A run as torla-inspect judges it (run_view.h): read once, then the
// run-out and alpha-beta tables for people and for scripts.
#include "inspect/run_view.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>

#include <nlohmann/json.hpp>

#include "support/run_files.h"

namespace torla::inspect {

using support::fixed_text;

namespace {

using ordered_json = nlohmann::ordered_json;

ordered_json json_value(double v) { return std::isfinite(v) ? ordered_json(v) : ordered_json(); }

ordered_json json_value(const std::optional<double>& v) {
    return v ? json_value(*v) : ordered_json();
}

// The furthest cell that holds a moving layer in a dump record.
int furthest_layer(const ResultTables& r, const std::vector<float>& record) {
    const std::size_t stride = static_cast<std::size_t>(r.n_cells) + 1;
    for (int i = r.n_cells - 1; i >= 0; --i)
        if (record[kRowSaltDepth * stride + i + 1] > 0.0f ||
            record[kRowSuspDepth * stride + i + 1] > 0.0f)
            return i;
    return -1;
}

std::string read_records(ResultReader& reader, const ResultTables& r, const RunViewOptions& o,
                         RunView& v) {
    std::vector<float> record;
    for (std::size_t d = 0; d < reader.records(); ++d) {
        if (std::string err = reader.read_record(record); !err.empty()) return err;
        v.times.push_back(record[0]);
        v.front.push_back(front_at(r, record, o.thresholds));
        v.front_between.push_back(
            front_between_cells(r, record, o.thresholds, v.front.back().cell));
        v.history.add_dump(record.data(), r.n_cells);
        if (d == 0) v.release_end_cell = furthest_layer(r, record);
    }
    return "";
}

void read_record_beside(ResultTables& r, const std::string& path, RunView& v) {
    v.record_note = read_run_record(path, r, v.times, v.record, v.has_record);
    if (!v.has_record || !record_says_unstable(v.record)) {
        v.peaks_source = "the peak table";
        return;
    }
    v.unstable = true;
    if (v.record.onset && v.record.onset->time_s) v.onset_s = v.record.onset->time_s;
    trust_record_peaks(r, v.record);
    v.peaks_source = r.has_peak_table()
                         ? "the run record's peaks before the onset (the run blew up)"
                         : "none: the run blew up and its record keeps no peaks before an onset";
    if (v.onset_s) {
        v.history.cut_after(*v.onset_s);
        while (!v.front.empty() && v.front.back().time > *v.onset_s) {
            v.front.pop_back();
            v.front_between.pop_back();
        }
    }
}

// The profile alpha-beta reads: the command file's coordinate rows where
// they span the track, else the track as the result file describes it.
std::vector<ProfilePoint> alpha_beta_profile(const RunView& v) {
    const double track_end = v.axis.horizontal_m.empty() ? 0.0 : v.axis.horizontal_m.back();
    if (v.command_profile.size() >= 2 &&
        std::fabs(v.command_profile.back().s_m - track_end) <= 0.02 * track_end + 1.0)
        return v.command_profile;
    std::vector<ProfilePoint> p;
    for (std::size_t i = 0; i < v.axis.horizontal_m.size(); ++i)
        if (p.empty() || v.axis.horizontal_m[i] > p.back().s_m)
            p.push_back({v.axis.horizontal_m[i], v.axis.elevation_m[i]});
    return p;
}

void work_out_alpha_beta(const RunViewOptions& o, RunView& v) {
    double split = 0.0;
    if (o.split_at_m) {
        split = *o.split_at_m;
        v.split_source = "--split-at";
    } else if (v.recorded_split_m) {
        split = *v.recorded_split_m;
        v.split_source = "the command file (" +
                         (v.recorded_split_source.empty() ? std::string("torla-profile")
                                                          : plain_text(v.recorded_split_source)) +
                         ")";
    } else if (v.release_end_cell >= 0) {
        split = v.axis.horizontal_m[v.release_end_cell];
        v.split_source =
            "the lower end of the release (cell " + std::to_string(v.release_end_cell) + ")";
    } else {
        v.split_source = "the top of the track (no release in the first dump)";
    }
    v.alpha_beta = alpha_beta(alpha_beta_profile(v), split);
}

void text_runout_row(std::ostream& o, const RunView& v, const std::string& layer,
                     const std::string& limit, const Runout& r) {
    char row[160];
    std::snprintf(row, sizeof row, "              %-5s  %10s", layer.c_str(), limit.c_str());
    o << row;
    if (r.cell < 0) {
        o << "  " << std::left << std::setw(58) << "never exceeded" << std::right;
    } else {
        const double z = v.top_elevation_m ? *v.top_elevation_m - r.drop_m : -r.drop_m;
        std::snprintf(row, sizeof row, "  %8s  %13s  %12s  %10s", fixed_text(r.path_m, 1).c_str(),
                      fixed_text(r.horizontal_m, 1).c_str(), fixed_text(z, 1).c_str(),
                      fixed_text(r.angle_deg, 2).c_str());
        o << row;
    }
    o << "  " << (r.determined ? "yes" : "no: " + r.reason) << "\n";
}

ordered_json runout_fields(const RunView& v, const Runout& r) {
    const bool reached = r.cell >= 0;
    const double z = v.top_elevation_m ? *v.top_elevation_m - r.drop_m : -r.drop_m;
    return {{"cell", reached ? ordered_json(r.cell) : ordered_json()},
            {"s_path_m", reached ? json_value(r.path_m) : ordered_json()},
            {"s_horizontal_m", reached ? json_value(r.horizontal_m) : ordered_json()},
            {"z_m", reached ? json_value(z) : ordered_json()},
            {"drop_m", reached ? json_value(r.drop_m) : ordered_json()},
            {"angle_deg", reached ? json_value(r.angle_deg) : ordered_json()},
            {"determined", r.determined},
            {"reason", r.reason.empty() ? ordered_json() : ordered_json(r.reason)}};
}

}  // namespace

bool record_says_unstable(const RunRecord& record) {
    return record.exit_status && support::status_says_unstable(*record.exit_status);
}

void trust_record_peaks(ResultTables& r, const RunRecord& record) {
    const auto n = static_cast<std::size_t>(r.n_cells);
    if (record.peaks_before_onset.size() != static_cast<std::size_t>(kResultQuantities)) {
        r.peaks.clear();
        return;
    }
    r.peaks.assign(static_cast<std::size_t>(kResultQuantities) * n * kPeakEntryFloats,
                   std::nanf(""));
    for (int q = 0; q < kResultQuantities; ++q) {
        const auto& cells = record.peaks_before_onset[q];
        for (std::size_t i = 0; i < n && i < cells.size(); ++i)
            if (cells[i]) r.peaks[kPeakEntryFloats * (q * n + i)] = static_cast<float>(*cells[i]);
    }
}

std::string read_run_view(ResultReader& reader, ResultTables& r, const std::string& result_path,
                          const RunViewOptions& o, RunView& v) {
    v = RunView{};
    v.zones = o.zones;
    v.history = RunoutHistory(runout_limits(o.zones));
    if (std::string err = read_records(reader, r, o, v); !err.empty()) return err;
    read_record_beside(r, result_path, v);
    v.axis = track_axis(r.geometry);
    if (r.has_peak_table()) {
        const auto n = r.n_cells;
        RunoutContext context;
        if (v.unstable) context.unstable_from_s = v.onset_s ? *v.onset_s : v.times.back();
        v.runouts = compute_runouts(v.axis, PeakTable{r.peaks.data(), n, kPeakEntryFloats},
                                    v.history, context);
    }
    RunContext c;
    std::vector<std::string> ignored;  // what is missing shows as absent fields
    read_log_copy(result_path, c, ignored);
    v.top_elevation_m = c.top_elevation_m;
    v.command_profile = profile_of_command_text(c.command_text);
    v.recorded_split_m = split_of_command_text(c.command_text, v.recorded_split_source);
    work_out_alpha_beta(o, v);
    return "";
}

void write_runouts_text(std::ostream& o, const RunView& v) {
    o << "Zones:        " << describe_zone_set(v.zones) << "\n";
    if (v.unstable)
        o << "Unstable:     the run blew up"
          << (v.onset_s ? " (onset at t = " + fixed_text(*v.onset_s, 3) + " s)" : std::string())
          << "; peaks from " << v.peaks_source << "\n";
    if (v.runouts.empty()) {
        o << "Run-outs:     unknown without the peak table\n";
    } else {
        o << "Run-outs:     furthest cell whose peak pressure exceeds the limit; horizontal "
             "distance,\n"
             "              elevation and angle seen from the top of the track\n";
        o << "              layer  limit[kPa]   path[m]  horizontal[m]  elevation[m]  angle[deg]  "
             "determined\n";
        for (const Runout& r : v.runouts)
            if (pressure_runout(r))
                text_runout_row(o, v, runout_quantity_name(r.limit.quantity),
                                number_text(r.limit.threshold, 6), r);
        if (const std::optional<Runout> flow = flow_runout(v.runouts)) {
            text_runout_row(o, v, "flow", number_text(kFlowPressure) + "*", *flow);
            o << "              * flow: where it counts as present, p3 above "
              << number_text(kFlowPressure) << " kPa or h2 above " << number_text(kFlowDepth)
              << " m\n";
        }
        if (!v.top_elevation_m)
            o << "              (elevations relative to the top: the log gives no elevation of "
                 "it)\n";
    }
    const AlphaBeta& ab = v.alpha_beta;
    o << "Alpha-beta:   empirical run-out of extreme, mostly dense-flow avalanches "
         "(docs/runout.md)\n";
    o << "              split point " << fixed_text(ab.split_s_m, 1) << " m horizontal, from "
      << v.split_source << "\n";
    if (!ab.problem.empty()) {
        o << "              " << ab.problem << "\n";
        return;
    }
    o << "              beta point " << fixed_text(*ab.beta_point_s_m, 1) << " m, beta "
      << fixed_text(ab.beta_deg, 2) << " deg; parabola z'' " << number_text(ab.z2_per_m, 4)
      << " 1/m, H0 " << fixed_text(ab.h0_m, 1) << " m\n";
    o << "              run-outs, horizontal m from the top, of the line at alpha + k SD:\n";
    o << "              set                alpha[deg]  SD[deg]        k = +1         k = 0        "
         "k = -1        k = -2\n";
    for (const AlphaBetaRunouts& s : ab.sets) {
        char row[200];
        std::snprintf(row, sizeof row, "              %-17s  %10s  %7s", s.set->name,
                      fixed_text(s.alpha_deg, 2).c_str(), fixed_text(s.set->sd_deg, 2).c_str());
        o << row;
        for (const auto& runout : s.runout_s_m) {
            std::snprintf(row, sizeof row, "  %12s",
                          runout ? fixed_text(*runout, 1).c_str() : "out of profile");
            o << row;
        }
        o << "\n";
    }
}

nlohmann::ordered_json runouts_json(const RunView& v) {
    ordered_json j;
    j["zones"] = {{"name", v.zones.name},
                  {"pressure", zone_pressure_name(v.zones.pressure)},
                  {"description", describe_zone_set(v.zones)},
                  {"classes", ordered_json::array()}};
    for (const ZoneClass& c : v.zones.classes)
        j["zones"]["classes"].push_back({{"name", c.name}, {"lower_kPa", c.lower_kpa}});
    j["unstable"] = v.unstable;
    j["onset_s"] = json_value(v.onset_s);
    j["peaks_source"] = v.peaks_source;
    j["elevation_reference"] = v.top_elevation_m ? "absolute" : "top of the track";
    j["runouts"] = ordered_json::array();
    for (const Runout& r : v.runouts)
        if (pressure_runout(r)) {
            ordered_json item = {{"quantity", runout_quantity_name(r.limit.quantity)},
                                 {"threshold_kPa", r.limit.threshold}};
            item.update(runout_fields(v, r));
            j["runouts"].push_back(item);
        }
    // Where the flow counts as present, as the summary's front and run-out define it.
    j["flow_runout"] = ordered_json();
    if (const std::optional<Runout> flow = flow_runout(v.runouts)) {
        j["flow_runout"] = {{"quantity", runout_quantity_name(flow->limit.quantity)},
                            {"thresholds", {{"p3_kPa", kFlowPressure}, {"h2_m", kFlowDepth}}}};
        j["flow_runout"].update(runout_fields(v, *flow));
    }
    const AlphaBeta& ab = v.alpha_beta;
    ordered_json a;
    a["split_s_horizontal_m"] = json_value(ab.split_s_m);
    a["split_source"] = v.split_source;
    a["problem"] = ab.problem.empty() ? ordered_json() : ordered_json(ab.problem);
    a["beta_point_s_horizontal_m"] = json_value(ab.beta_point_s_m);
    a["beta_deg"] = ab.beta_point_s_m ? json_value(ab.beta_deg) : ordered_json();
    a["z2_per_m"] = ab.problem.empty() ? json_value(ab.z2_per_m) : ordered_json();
    a["H0_m"] = ab.problem.empty() ? json_value(ab.h0_m) : ordered_json();
    a["sets"] = ordered_json::array();
    for (const AlphaBetaRunouts& s : ab.sets) {
        ordered_json set = {{"name", s.set->name},
                            {"source", s.set->source},
                            {"alpha_deg", json_value(s.alpha_deg)},
                            {"sd_deg", s.set->sd_deg}};
        ordered_json runouts, angles;
        for (std::size_t k = 0; k < kAlphaOffsets.size(); ++k) {
            char key[8];
            std::snprintf(key, sizeof key, "%+d", kAlphaOffsets[k]);
            if (kAlphaOffsets[k] == 0) key[0] = '0', key[1] = '\0';
            runouts[key] = json_value(s.runout_s_m[k]);
            angles[key] = json_value(s.angle_deg[k]);
        }
        set["runout_s_horizontal_m"] = runouts;
        set["angle_deg"] = angles;
        a["sets"].push_back(set);
    }
    j["alpha_beta"] = a;
    return j;
}

}  // namespace torla::inspect
