// The summary of a run for people (aligned text) and for scripts (JSON),
// and the CSV exports of the dumps and of the peak table.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>

#include "inspect/inspect.h"
#include "inspect/run_record.h"
#include "model/utf8.h"
#include "support/json.h"

namespace torla::inspect {

using support::exact_number_text;
using support::fixed_text;
using support::fmt;
using Json = nlohmann::ordered_json;

namespace {

// JSON numbers: JSON has none that are not finite, so such a value is
// written as null and named in the document's "notes". A value read from
// the result file is a 32-bit float and is written as the shortest text of
// that float; one worked out in double precision, or read from the run
// record, as the double it is.
struct JsonNumbers {
    std::vector<std::string> notes;
    Json f32(double v, const std::string& where) {
        return std::isfinite(v) ? support::float_value(static_cast<float>(v)) : null_for(v, where);
    }
    Json f64(double v, const std::string& where) {
        return std::isfinite(v) ? Json(v) : null_for(v, where);
    }
    Json opt64(const std::optional<double>& v, const std::string& where) {
        return v ? f64(*v, where) : Json();
    }
    Json null_for(double v, const std::string& where) {
        notes.push_back(where + " is " + number_text(v) + ", written as null");
        return nullptr;
    }
};

std::string cell_at(const ResultTables& r, int cell) {
    return fixed_text(r.geometry[cell].path_length, 1) + fmt(" m (cell %d)", cell);
}

void text_maximum(std::ostream& o, const char* label, const char* depth, const PeakMaximum& m,
                  float depth_value) {
    if (m.cell < 0)
        o << fmt("%-27s unknown, no cell has a finite value", label);
    else
        o << fmt("%-27s largest ", label) << fixed_text(m.value, 3) << " kPa at "
          << fixed_text(m.path_length, 1) << fmt(" m (cell %d), %s ", m.cell, depth)
          << (std::isfinite(depth_value)
                  ? "= " + fixed_text(depth_value, 2) + " m then"
                  : std::string("then not known"));  // a run that blew up keeps no depths
    if (m.non_finite_cells > 0)
        o << fmt("; %d cell(s) whose value is not finite left out", m.non_finite_cells);
    o << "\n";
}

Json json_maximum(JsonNumbers& jn, const std::string& key, const std::optional<PeakMaximum>& m) {
    if (!m || m->cell < 0) return nullptr;
    return {{"kPa", jn.f32(m->value, key + ".kPa")},
            {"cell", m->cell},
            {"path_length_m", jn.f32(m->path_length, key + ".path_length_m")},
            {"h1_m", jn.f32(m->h1, key + ".h1_m")},
            {"h2_m", jn.f32(m->h2, key + ".h2_m")},
            {"h3_m", jn.f32(m->h3, key + ".h3_m")},
            {"non_finite_cells", m->non_finite_cells}};
}

Json json_cell(const ResultTables& r, JsonNumbers& jn, const std::optional<int>& cell,
               const std::string& where) {
    if (!cell) return nullptr;
    return {{"cell", *cell},
            {"path_length_m", jn.f32(r.geometry[*cell].path_length, where + ".path_length_m")}};
}

void csv_comments(std::ostream& o, const ResultTables& r) {
    o << "# problem: " << plain_text(r.problem_name) << "\n# run: " << plain_text(r.run_name)
      << "\n";
}

// The length of the line or paragraph separator U+0085, U+2028 or U+2029
// (or another C1 control) at s[i], or 0.
std::size_t separator_length(const std::string& s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (i + 1 < s.size() && b(0) == 0xC2 && b(1) >= 0x80 && b(1) <= 0x9F) return 2;
    if (i + 2 < s.size() && b(0) == 0xE2 && b(1) == 0x80 && (b(2) == 0xA8 || b(2) == 0xA9))
        return 3;
    return 0;
}

// The code point of the line or paragraph separator of sep bytes at i.
unsigned separator_code(const std::string& s, std::size_t i, std::size_t sep) {
    return sep == 2 ? static_cast<unsigned char>(s[i + 1])
                    : 0x2000u + static_cast<unsigned char>(s[i + 2]) - 0x80u;
}

}  // namespace

std::string plain_text(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (const std::size_t sep = separator_length(text, i)) {
            out += fmt("\\u%04x", separator_code(text, i, sep));
            i += sep;
            continue;
        }
        const std::size_t len = utf8_length(text, i);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c == 0x7F)
            out += fmt("\\u%04x", c);
        else if (len > 0) {
            out.append(text, i, len);
            i += len;
            continue;
        } else {
            out += fmt("\\x%02x", c);  // not UTF-8
        }
        ++i;
    }
    return out;
}

std::string csv_field(const std::string& text) {
    const std::string plain = plain_text(text);
    if (plain.find_first_of(",\"") == std::string::npos) return plain;
    std::string out = "\"";
    for (char c : plain) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string output_clobbers_input(const std::string& out_path,
                                  const std::vector<std::string>& inputs) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path out_name = fs::weakly_canonical(fs::absolute(out_path, ec), ec);
    struct stat out_st {};
    const bool out_exists = ::stat(out_path.c_str(), &out_st) == 0;
    for (const std::string& in : inputs) {
        std::error_code ec2;
        const fs::path in_name = fs::weakly_canonical(fs::absolute(in, ec2), ec2);
        struct stat in_st {};
        const bool same_name = out_path == in || (!ec && !ec2 && out_name == in_name);
        const bool same_file = out_exists && ::stat(in.c_str(), &in_st) == 0 &&
                               in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino;
        if (same_name || same_file)
            return "the output file " + out_path + " is the input " + in +
                   (same_name ? "" : " (the same file by device and inode)") +
                   "; writing it would destroy what is read";
    }
    return "";
}

namespace {

const char* const kSuspPressureLabel = "suspension-layer pressure";
const char* const kSaltPressureLabel = "saltation-layer pressure";

void text_record(std::ostream& o, const ResultTables& r, const RunRecord& rec) {
    o << "Run record:   " << plain_text(rec.path) << "\n";
    o << "Stop reason:  " << (rec.stop_reason.empty() ? "unknown" : plain_text(rec.stop_reason));
    if (rec.simulated_time_s) o << " at t = " << fixed_text(*rec.simulated_time_s, 3) << " s";
    if (rec.exit_status) o << fmt(", exit status %d", *rec.exit_status);
    o << "\n";
    if (!rec.message.empty()) o << "              " << plain_text(rec.message) << "\n";
    if (!rec.onset) {
        o << "Onset:        none, no sign of instability\n";
    } else {
        o << "Onset:        " << (rec.onset->sign.empty() ? "a sign" : plain_text(rec.onset->sign));
        if (rec.onset->time_s) o << " at t = " << fixed_text(*rec.onset->time_s, 3) << " s";
        if (rec.onset->cell && *rec.onset->cell >= 0 && *rec.onset->cell < r.n_cells)
            o << ", " << cell_at(r, *rec.onset->cell);
        o << "\n              the run-out, the largest pressures above and the peak table hold "
             "values set after it: not to be trusted\n";
        for (auto [q, label] : {std::pair{kRowSaltPressure, kSaltPressureLabel},
                                std::pair{kRowSuspPressure, kSuspPressureLabel}}) {
            const auto p = largest_before_onset(rec, q);
            o << "              trustworthy " << label << " (before the onset): ";
            if (p)
                o << "largest " << fixed_text(p->value, 3) << " kPa at " << cell_at(r, p->cell)
                  << "\n";
            else
                o << "not in the record\n";
        }
    }
    if (const auto b = mass_balance(rec)) {
        o << "Mass balance: " << fixed_text(b->start, 1)
          << " kg/m on the track at t = " << fixed_text(b->t_start, 3) << " s, "
          << fixed_text(b->end, 1) << " kg/m at t = " << fixed_text(b->t_end, 3) << " s and "
          << fixed_text(b->outflow_end, 1) << " kg/m left through the end\n";
        if (b->largest_unexplained)
            o << "              largest change not explained by the outflow "
              << fixed_text(*b->largest_unexplained, 3) << " kg/m ("
              << fixed_text(100.0 * *b->largest_unexplained / b->start, 3)
              << " % of the start), between t = " << fixed_text(b->unexplained_t0, 3) << " s and "
              << fixed_text(b->unexplained_t1, 3) << " s"
              << (b->edges_then ? "; the window's edge cells changed " +
                                      fixed_text(*b->edges_then, 3) + " kg/m then"
                                : std::string())
              << "\n";
    } else {
        o << "Mass balance: unknown, the record holds no dump with its masses\n";
    }
    if (rec.warnings.empty()) o << "Warnings:     none\n";
    for (std::size_t k = 0; k < rec.warnings.size(); ++k)
        o << (k ? "              " : "Warnings:     ") << plain_text(rec.warnings[k]) << "\n";
}

Json text_or_null(const std::string& text) { return text.empty() ? Json() : Json(text); }

Json json_peaks_before_onset(JsonNumbers& jn, const ResultTables& r, const RunRecord& rec) {
    if (rec.peaks_before_onset.empty()) return nullptr;
    Json peaks = Json::object();
    for (auto [q, key] : {std::pair{kRowSaltPressure, "max_saltation_pressure"},
                          std::pair{kRowSuspPressure, "max_suspension_pressure"}}) {
        const auto p = largest_before_onset(rec, q);
        peaks[key] =
            p ? Json{{"kPa", jn.f64(p->value, std::string("run_record.peaks_before_onset.") + key)},
                     {"cell", p->cell},
                     {"path_length_m", jn.f32(r.geometry[p->cell].path_length,
                                              "run_record.peaks_before_onset.path_length_m")}}
              : Json();
    }
    return peaks;
}

Json json_mass_balance(JsonNumbers& jn, const RunRecord& rec) {
    const auto b = mass_balance(rec);
    if (!b) return nullptr;
    Json m = {{"start_kg_per_m", jn.f64(b->start, "mass_balance.start")},
              {"start_time_s", jn.f64(b->t_start, "mass_balance.start_time")},
              {"end_kg_per_m", jn.f64(b->end, "mass_balance.end")},
              {"end_time_s", jn.f64(b->t_end, "mass_balance.end_time")},
              {"outflow_kg_per_m", jn.f64(b->outflow_end, "mass_balance.outflow")},
              {"largest_unexplained_change_kg_per_m",
               jn.opt64(b->largest_unexplained, "mass_balance.largest_unexplained_change")}};
    if (b->largest_unexplained)
        m["between_s"] = {jn.f64(b->unexplained_t0, "mass_balance.between"),
                          jn.f64(b->unexplained_t1, "mass_balance.between")};
    if (b->edges_then)
        m["edge_cells_change_then_kg_per_m"] = jn.f64(*b->edges_then, "mass_balance.edge_cells");
    return m;
}

Json json_record(JsonNumbers& jn, const ResultTables& r, const RunRecord& rec) {
    Json j = {{"path", rec.path},
              {"stop_reason", text_or_null(rec.stop_reason)},
              {"exit_status", rec.exit_status ? Json(*rec.exit_status) : Json()},
              {"simulated_time_s", jn.opt64(rec.simulated_time_s, "run_record.simulated_time_s")},
              {"message", text_or_null(rec.message)}};
    if (rec.onset)
        j["onset"] = {{"time_s", jn.opt64(rec.onset->time_s, "run_record.onset.time_s")},
                      {"cell", rec.onset->cell ? Json(*rec.onset->cell) : Json()},
                      {"sign", rec.onset->sign}};
    else
        j["onset"] = nullptr;
    j["peaks_before_onset"] = json_peaks_before_onset(jn, r, rec);
    j["mass_balance"] = json_mass_balance(jn, rec);
    j["warnings"] = rec.warnings;
    return j;
}

// The run, the track, the dumps the file holds and the flow's thresholds.
void text_file(std::ostream& o, const ResultTables& r, const Summary& s) {
    const std::size_t records = s.front.size();
    o << "Problem:      " << plain_text(r.problem_name) << "\n";
    o << "Run:          " << plain_text(r.run_name) << "\n";
    o << fmt("Track:        %d cells, ", r.n_cells) << fixed_text(s.track_length, 1)
      << " m along the path, " << fixed_text(s.drop, 1) << " m drop\n";
    if (records > 0)
        o << fmt("Dumps:        %zu records from t = ", records) << fixed_text(s.t_first, 3)
          << " s to " << fixed_text(s.t_last, 3) << fmt(" s (header count %d)\n", r.dump_count);
    else
        o << fmt("Dumps:        none (header count %d)\n", r.dump_count);
    if (r.cut_short)
        o << "              the file is cut short (truncated): " << r.cut_bytes
          << " bytes after the last whole record ignored (a record or the peak table cut by a "
             "full disk or a kill)\n";
    if (r.count_unpatched)
        o << "              the count is not patched and "
          << (r.has_peak_table() ? "" : "there is no peak table: ") << "the run did not finish\n";
    if (r.closing_record)
        o << "              the last record is the closing one of a run stopped on the "
             "small-step limit\n";
    o << "Thresholds:   suspension-layer pressure > " << number_text(s.thresholds.pressure_kpa, 6)
      << " kPa or saltation-layer depth > " << number_text(s.thresholds.depth_m, 6) << " m\n";
}

// How far the peaks reach.
void text_runout(std::ostream& o, const ResultTables& r, const Summary& s) {
    if (!r.has_peak_table())
        o << "Run-out:      unknown without the peak table\n";
    else if (!s.runout_cell)
        o << "Run-out:      none, no peak value exceeds its threshold\n";
    else {
        o << "Run-out:      " << cell_at(r, *s.runout_cell)
          << (s.runout_at_track_end ? ", at the end of the track: the flow leaves the mapped path"
                                    : "")
          << "\n";
        o << "              suspension-layer pressure to "
          << (s.runout_pressure_cell ? cell_at(r, *s.runout_pressure_cell) : "nowhere")
          << ", saltation-layer depth to "
          << (s.runout_depth_cell ? cell_at(r, *s.runout_depth_cell) : "nowhere") << "\n";
    }
}

// Where the dumps show the front, and its largest speed between two of them.
void text_front(std::ostream& o, const Summary& s) {
    const FrontSample* first = nullptr;
    const FrontSample* last = nullptr;
    for (const FrontSample& f : s.front)
        if (f.present()) {
            if (!first) first = &f;
            last = &f;
        }
    if (!first)
        o << "Front:        no dump shows any flow above the thresholds\n";
    else {
        o << "Front:        " << fixed_text(first->path_length, 1)
          << " m at t = " << fixed_text(first->time, 3) << " s, "
          << fixed_text(last->path_length, 1) << " m at t = " << fixed_text(last->time, 3) << " s";
        if (s.front_reaches_end)
            o << "; at the end of the track from t = " << fixed_text(*s.front_reaches_end, 3)
              << " s";
        o << "\n";
    }
    if (s.fastest)
        o << "Front speed:  largest " << fixed_text(s.fastest->speed, 1)
          << " m/s, between t = " << fixed_text(s.fastest->t0, 3) << " s and "
          << fixed_text(s.fastest->t1, 3) << " s\n";
    else
        o << "Front speed:  unknown, fewer than two dumps show a front\n";
}

// The largest pressures of each layer and at each height.
void text_maxima(std::ostream& o, const ResultTables& r, const Summary& s) {
    if (s.max_salt_pressure)
        text_maximum(o, "Saltation-layer pressure:", "h2", *s.max_salt_pressure,
                     s.max_salt_pressure->h2);
    if (s.max_susp_pressure)
        text_maximum(o, "Suspension-layer pressure:", "h3", *s.max_susp_pressure,
                     s.max_susp_pressure->h3);
    for (const Summary::HeightMaximum& m : s.height_maxima) {
        o << "Pressure at " << number_text(m.height_m, 6) << " m:  ";
        if (m.cell < 0)
            o << "none, the flow never reached it\n";
        else
            o << fixed_text(m.kpa, 3) << " kPa at cell " << m.cell << " (path length "
              << fixed_text(r.geometry[m.cell].path_length, 1)
              << " m), t = " << fixed_text(m.time_s, 3) << " s\n";
    }
}

}  // namespace

void write_summary_text(std::ostream& o, const ResultTables& r, const Summary& s,
                        const RunRecord* record) {
    text_file(o, r, s);
    text_runout(o, r, s);
    text_front(o, s);
    text_maxima(o, r, s);
    if (record) text_record(o, r, *record);
}

namespace {

Json json_runout(const ResultTables& r, const Summary& s, JsonNumbers& jn) {
    if (!s.runout_cell) return nullptr;
    return {
        {"cell", *s.runout_cell},
        {"path_length_m", jn.f32(r.geometry[*s.runout_cell].path_length, "runout.path_length_m")},
        {"at_track_end", s.runout_at_track_end},
        {"suspension_pressure",
         json_cell(r, jn, s.runout_pressure_cell, "runout.suspension_pressure")},
        {"saltation_depth", json_cell(r, jn, s.runout_depth_cell, "runout.saltation_depth")}};
}

Json json_front(const Summary& s, JsonNumbers& jn) {
    Json front = Json::array();
    for (std::size_t d = 0; d < s.front.size(); ++d) {
        const FrontSample& f = s.front[d];
        const std::string where = "front[" + std::to_string(d) + "]";
        front.push_back({{"time_s", jn.f32(f.time, where + ".time_s")},
                         {"cell", f.present() ? Json(f.cell) : Json()},
                         {"path_length_m",
                          f.present() ? jn.f32(f.path_length, where + ".path_length_m") : Json()}});
    }
    return front;
}

Json json_height_maxima(const Summary& s, JsonNumbers& jn) {
    Json out = Json::array();
    for (const Summary::HeightMaximum& m : s.height_maxima) {
        const bool reached = m.cell >= 0;
        out.push_back(
            {{"height_m", jn.f64(m.height_m, "max_pressure_over_height.height_m")},
             {"kPa", reached ? jn.f64(m.kpa, "max_pressure_over_height.kPa") : Json(0)},
             {"cell", reached ? Json(m.cell) : Json()},
             {"time_s", reached ? jn.f64(m.time_s, "max_pressure_over_height.time_s") : Json()}});
    }
    return out;
}

// The file's own facts: names, counts and how it ends.
Json json_file_facts(const ResultTables& r, const Summary& s) {
    return {{"problem", r.problem_name},
            {"run", r.run_name},
            {"cells", r.n_cells},
            {"dump_records", s.front.size()},
            {"header_dump_count", r.dump_count},
            {"count_unpatched", r.count_unpatched},
            {"closing_record", r.closing_record},
            {"cut_short", r.cut_short},
            {"ignored_bytes", r.cut_bytes},
            {"peak_table", r.has_peak_table()}};
}

}  // namespace

Json summary_json(const ResultTables& r, const Summary& s, const RunRecord* record,
                  const Json& extra) {
    JsonNumbers jn;
    Json j = json_file_facts(r, s);
    j["track_length_m"] = jn.f32(s.track_length, "track_length_m");
    j["drop_m"] = jn.f64(s.drop, "drop_m");
    j["time_first_s"] = jn.f32(s.t_first, "time_first_s");
    j["time_last_s"] = jn.f32(s.t_last, "time_last_s");
    j["thresholds"] = {{"suspension_pressure_kPa", jn.f64(s.thresholds.pressure_kpa, "thresholds")},
                       {"saltation_depth_m", jn.f64(s.thresholds.depth_m, "thresholds")}};
    j["runout"] = json_runout(r, s, jn);
    if (s.fastest)
        j["front_max_speed"] = {{"m_s", jn.f64(s.fastest->speed, "front_max_speed.m_s")},
                                {"from_s", jn.f32(s.fastest->t0, "front_max_speed.from_s")},
                                {"to_s", jn.f32(s.fastest->t1, "front_max_speed.to_s")}};
    else
        j["front_max_speed"] = nullptr;
    j["front_reaches_track_end_s"] =
        s.front_reaches_end ? jn.f32(*s.front_reaches_end, "front_reaches_track_end_s") : Json();
    j["front"] = json_front(s, jn);
    j["max_saltation_pressure"] = json_maximum(jn, "max_saltation_pressure", s.max_salt_pressure);
    j["max_suspension_pressure"] = json_maximum(jn, "max_suspension_pressure", s.max_susp_pressure);
    if (!s.height_maxima.empty()) j["max_pressure_over_height"] = json_height_maxima(s, jn);
    if (record) j["run_record"] = json_record(jn, r, *record);
    for (auto it = extra.begin(); it != extra.end(); ++it) j[it.key()] = it.value();
    j["notes"] = jn.notes;
    return j;
}

void write_summary_json(std::ostream& o, const ResultTables& r, const Summary& s,
                        const RunRecord* record, const Json& extra) {
    o << support::json_text(summary_json(r, s, record, extra), 2) << "\n";
}

void write_dumps_csv_head(std::ostream& o, const ResultTables& r) {
    csv_comments(o, r);
    o << "time[s],cell,path_length[m],elevation[m]";
    for (const ResultQuantity& q : kQuantities) o << ',' << q.name << '[' << q.unit << ']';
    o << '\n';
}

void write_dump_rows(std::ostream& o, const ResultTables& r, const std::vector<double>& z,
                     const std::vector<float>& record) {
    const std::size_t stride = static_cast<std::size_t>(r.n_cells) + 1;
    const std::string time = number_text(record[0]);
    for (int i = 0; i < r.n_cells; ++i) {
        o << time << ',' << i << ',' << number_text(r.geometry[i].path_length) << ','
          << number_text(z[i], 10);
        for (int q = 0; q < kResultQuantities; ++q)
            o << ',' << number_text(record[q * stride + i + 1]);
        o << '\n';
    }
}

void write_dumps_csv(std::ostream& o, const ResultData& r) {
    write_dumps_csv_head(o, r);
    const std::vector<double> z = relative_elevation(r);
    for (const std::vector<float>& record : r.dumps) write_dump_rows(o, r, z, record);
}

void write_peaks_csv(std::ostream& o, const ResultTables& r) {
    csv_comments(o, r);
    o << "cell,path_length[m],elevation[m],slope[deg]";
    for (const ResultQuantity& q : kQuantities)
        o << ',' << q.name << '[' << q.unit << "]," << q.name << "_h1[m]," << q.name << "_h2[m],"
          << q.name << "_h3[m]";
    o << ",easting[m],northing[m]\n";
    const std::vector<double> z = relative_elevation(r);
    for (int i = 0; i < r.n_cells; ++i) {
        o << i << ',' << number_text(r.geometry[i].path_length) << ',' << number_text(z[i], 10)
          << ',' << number_text(r.geometry[i].slope_deg);
        for (int q = 0; q < kResultQuantities; ++q)
            for (int slot = 0; slot < 4; ++slot) o << ',' << number_text(r.peak(q, i, slot));
        o << ',' << number_text(r.geometry[i].aux2) << ',' << number_text(r.geometry[i].aux6)
          << '\n';
    }
}

void write_front_csv(std::ostream& o, const ResultTables& r, const Summary& s) {
    csv_comments(o, r);
    o << "# thresholds: suspension-layer pressure > "
      << exact_number_text(s.thresholds.pressure_kpa) << " kPa or saltation-layer depth > "
      << exact_number_text(s.thresholds.depth_m) << " m\n";
    o << "# threshold_p3[kPa]: " << exact_number_text(s.thresholds.pressure_kpa) << "\n";
    o << "# threshold_h2[m]: " << exact_number_text(s.thresholds.depth_m) << "\n";
    if (!r.has_peak_table())
        o << "# runout: unknown, no peak table\n";
    else if (!s.runout_cell)
        o << "# runout: none\n";
    else
        o << "# runout_cell: " << *s.runout_cell
          << "\n# runout_path_length[m]: " << number_text(r.geometry[*s.runout_cell].path_length)
          << "\n";
    if (s.front_reaches_end)
        o << "# front_reaches_track_end[s]: " << number_text(*s.front_reaches_end) << "\n";
    o << "time[s],cell,path_length[m],speed[m/s]\n";
    for (std::size_t d = 0; d < s.front.size(); ++d) {
        const FrontSample& f = s.front[d];
        o << number_text(f.time) << ',';
        if (f.present())
            o << f.cell << ',' << number_text(f.path_length);
        else
            o << ',';
        o << ',';
        // The mean speed since the dump before, where front_speeds has one.
        if (d > 0)
            for (const FrontSpeed& v : front_speeds({s.front[d - 1], f})) o << number_text(v.speed);
        o << '\n';
    }
}

}  // namespace torla::inspect
