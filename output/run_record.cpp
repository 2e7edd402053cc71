// The run record <result>.json: how the run ended and what it saw on the
// way (docs/run-record.md). Written to a temporary name and renamed, so no
// reader ever sees half a record.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "model/json.h"
#include "model/sha256.h"
#include "output/heights_format.h"
#include "output/output.h"

namespace torla {

namespace {

const char* reason_word(StopReason r) {
    switch (r) {
    case StopReason::kMaxTime:
        return "max_time";
    case StopReason::kSmallStep:
        return "small_step";
    case StopReason::kNonFinite:
        return "non_finite";
    case StopReason::kDumpLimit:
        return "dump_limit";
    case StopReason::kInterrupted:
        return "interrupted";
    case StopReason::kError:
        break;
    }
    return "error";
}

std::string utc(double seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// One line "KEY VALUE" per key of the parameter table, in table order.
std::string parameter_text(const RunParameters& p) {
    std::string text;
    char number[64];
    for (const ParameterEntry& e : parameter_table()) {
        if (e.alias) continue;
        if (e.optional_product && e.text && p.*e.text == e.default_text) continue;
        if (e.number) {
            std::snprintf(number, sizeof number, "%.17g", p.*e.number);
        } else if (e.coefficient) {
            std::snprintf(number, sizeof number, "%.9g",
                          static_cast<double>(p.profile.*e.coefficient));
        } else if (e.text) {
            text += std::string(e.key) + " " + p.*e.text + "\n";
            continue;
        } else {
            continue;
        }
        text += std::string(e.key) + " " + number + "\n";
    }
    return text;
}

std::string json_cells(const std::vector<double>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + json_number(values[i]);
    return out + "]";
}

// A run that stopped on bad numbers or too small a step after a sign of
// instability blew up: its peaks are trusted only as they stood before.
bool blew_up(const History& h, int status) {
    return h.onset && !h.peaks_before_onset.empty() &&
           (status == kStatusNonFinite || status == kStatusSmallStep);
}

void write_runout_fields(std::ostream& o, const Runout& r) {
    o << "\"cell\": ";
    if (r.cell < 0)
        o << "null, \"s_path_m\": null, \"s_horizontal_m\": null, \"drop_m\": null, \"angle_deg\": "
             "null";
    else
        o << r.cell << ", \"s_path_m\": " << json_number(r.path_m)
          << ", \"s_horizontal_m\": " << json_number(r.horizontal_m)
          << ", \"drop_m\": " << json_number(r.drop_m)
          << ", \"angle_deg\": " << json_number(r.angle_deg);
    o << ", \"determined\": " << (r.determined ? "true" : "false")
      << ", \"reason\": " << (r.reason.empty() ? "null" : json_string(r.reason)) << "}";
}

// The run-outs at the lower bounds of every zone preset, from the peaks
// the run trusts and the dumps it wrote (docs/run-record.md).
void write_runouts(std::ostream& o, const ModelState& s, int status) {
    const History& h = s.history;
    const int n = s.n_cells;
    if (s.peak_table.empty() || s.grid.rows.size() != static_cast<std::size_t>(n)) {
        o << "null";
        return;
    }
    RunoutHistory dumps = h.runout_dumps;
    RunoutContext context;
    PeakTable peaks{s.peak_table.data(), n, kPeakEntryFloats};
    if (blew_up(h, status)) {
        peaks = {h.peaks_before_onset.data(), n, 1};
        dumps.cut_after(h.onset_time);
        context.unstable_from_s = h.onset_time;
    }
    const TrackAxis axis = track_axis(s.grid.rows);
    const std::vector<Runout> runouts = compute_runouts(axis, peaks, dumps, context);
    o << "[";
    bool first = true;
    for (const Runout& r : runouts) {
        if (!pressure_runout(r)) continue;
        o << (first ? "\n    " : ",\n    ") << "{\"quantity\": \""
          << runout_quantity_name(r.limit.quantity)
          << "\", \"threshold_kPa\": " << json_number(r.limit.threshold) << ", ";
        write_runout_fields(o, r);
        first = false;
    }
    o << (first ? "]" : "\n  ]");
    o << ",\n  \"flow_runout\": ";
    if (const std::optional<Runout> flow = flow_runout(runouts)) {
        o << "{\"quantity\": \"" << runout_quantity_name(flow->limit.quantity) << "\", ";
        write_runout_fields(o, *flow);
    } else {
        o << "null";
    }
}

// One object per dump: its time, the window, the masses and the front.
void write_dumps(std::ostream& o, const History& h) {
    o << "[";
    for (std::size_t d = 0; d < h.dumps.size(); ++d) {
        const DumpSummary& u = h.dumps[d];
        o << (d ? ",\n    " : "\n    ") << "{\"time_s\": " << json_float(static_cast<float>(u.time))
          << ", \"window\": [" << u.first << ", " << u.last
          << "], \"mass_kg_per_m\": {\"cover\": " << json_number(u.cover)
          << ", \"saltation\": " << json_number(u.saltation)
          << ", \"suspension\": " << json_number(u.suspension)
          << ", \"outflow\": " << json_number(u.outflow) << ", \"edges\": " << json_number(u.edges)
          << "}, \"front\": ";
        if (u.front < 0)
            o << "null";
        else
            o << "{\"cell\": " << u.front
              << ", \"path_length_m\": " << json_number(u.front_path_length) << "}";
        o << "}";
    }
    o << (h.dumps.empty() ? "]" : "\n  ]");
}

// The peak table as it stood at the onset of instability, per quantity
// (null without an onset).
void write_peaks_before_onset(std::ostream& o, const ModelState& s) {
    const History& h = s.history;
    if (!h.onset || h.peaks_before_onset.empty()) {
        o << "null";
    } else {
        o << "{";
        const std::size_t cells = static_cast<std::size_t>(s.n_cells);
        for (int q = 0; q < kResultQuantities; ++q) {
            std::vector<double> column(cells);
            for (std::size_t i = 0; i < cells; ++i) column[i] = h.peaks_before_onset[q * cells + i];
            o << (q ? ",\n    " : "\n    ") << json_string(kQuantities[q].name) << ": "
              << json_cells(column);
        }
        o << "\n  }";
    }
}

void write_record(std::ostream& o, const ModelState& s, int status, double ended) {
    const History& h = s.history;
    const Names& n = s.names;
    o << "{\n";
    o << "  \"program\": \"torla\",\n  \"version\": " << json_string(kVersion) << ",\n";
    o << "  \"command_file\": {\"path\": " << json_string(n.command_file)
      << ", \"sha256\": " << (h.command_sha256.empty() ? "null" : json_string(h.command_sha256))
      << "},\n";
    o << "  \"crs_wkt\": " << (h.crs_wkt.empty() ? "null" : json_string(h.crs_wkt)) << ",\n";
    o << "  \"parameters_sha256\": " << json_string(sha256_hex(parameter_text(s.par))) << ",\n";
    o << "  \"result_file\": " << json_string(n.result_file) << ",\n";
    o << "  \"log_file\": " << json_string(n.log_file) << ",\n";
    o << "  \"numerics\": " << json_string(s.par.Numerics) << ",\n";
    o << "  \"started_utc\": \"" << utc(h.started) << "\",\n";
    o << "  \"ended_utc\": \"" << utc(ended) << "\",\n";
    o << "  \"wall_seconds\": " << json_number(ended - h.started) << ",\n";
    o << "  \"exit_status\": " << status << ",\n";
    o << "  \"stop_reason\": \"" << reason_word(h.stop_reason) << "\",\n";
    o << "  \"message\": " << (h.message.empty() ? "null" : json_string(h.message)) << ",\n";
    o << "  \"cells\": " << (s.peak_table.empty() ? 0 : s.n_cells) << ",\n";
    o << "  \"simulated_time_s\": " << json_number(s.clock.t) << ",\n";
    o << "  \"passes\": " << s.clock.step_count << ",\n";
    o << "  \"rescaled_passes\": " << h.rescaled_passes << ",\n";
    o << "  \"negativity_redos\": " << h.negativity_redos << ",\n";
    o << "  \"smallest_step_s\": " << json_number(h.smallest_step) << ",\n";
    o << "  \"largest_step_s\": " << json_number(h.largest_step) << ",\n";
    o << "  \"largest_wave_speed\": ";
    if (h.max_wave_cell < 0)
        o << "null";
    else
        o << "{\"m_s\": " << json_number(h.max_wave_speed)
          << ", \"time_s\": " << json_number(h.max_wave_time) << ", \"cell\": " << h.max_wave_cell
          << "}";
    o << ",\n  \"onset\": ";
    if (!h.onset)
        o << "null";
    else
        o << "{\"time_s\": " << json_number(h.onset_time) << ", \"cell\": " << h.onset_cell
          << ", \"sign\": " << json_string(h.onset_sign) << "}";
    o << ",\n  \"warnings\": [";
    for (std::size_t k = 0; k < h.warnings.size(); ++k)
        o << (k ? ", " : "") << json_string(h.warnings[k]);
    o << "],\n  \"dumps\": ";
    write_dumps(o, h);
    o << ",\n";
    o << "  \"arrival_time_s\": " << json_cells(h.arrival_time) << ",\n";
    o << "  \"peaks_before_onset\": ";
    write_peaks_before_onset(o, s);
    o << ",\n  \"runouts\": ";
    write_runouts(o, s, status);
    if (s.heights.on) {
        o << ",\n  \"height_peaks\": {\"file\": " << json_string(n.result_file + kHeightsSuffix)
          << ", \"heights_m\": " << json_cells(s.heights.heights)
          << ", \"passes\": " << s.heights.passes << ", \"dumps\": " << s.heights.dumps << "}";
    }
    o << "\n}\n";
}

}  // namespace

std::string write_run_record(const ModelState& s, int status, double ended,
                             const std::string& record_path) {
    const std::string path = record_path.empty() ? s.names.result_file + ".json" : record_path;
    std::ostringstream text;
    write_record(text, s, status, ended);
    const std::string body = text.str();

    std::string tmp = path + ".XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0) return "cannot create a temporary file for " + path;
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < body.size()) {
        const ssize_t w = ::write(fd, body.data() + done, body.size() - done);
        if (w > 0)
            done += static_cast<std::size_t>(w);
        else if (!(w < 0 && errno == EINTR))
            ok = false;
    }
    ok = ::fchmod(fd, 0644) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return "cannot write " + path;
    }
    return "";
}

}  // namespace torla
