// The summary of a run for people (aligned text) and for scripts (JSON),
// and the CSV exports of the dumps and of the peak table.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "inspect/inspect.h"

namespace torla::inspect {

namespace {

std::string format(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// Text that reads back as the same 32-bit float (9 significant digits);
// JSON has no non-finite numbers.
std::string num(double v, int digits = 9) {
    if (!std::isfinite(v)) return "null";
    return format("%.*g", digits, v);
}

// The shortest of 15 to 17 significant digits that reads back as the same
// double, so a threshold given as 0.1 prints as 0.1.
std::string num_exact(double v) {
    if (!std::isfinite(v)) return "null";
    for (int digits = 15; digits < 17; ++digits) {
        std::string t = format("%.*g", digits, v);
        if (std::strtod(t.c_str(), nullptr) == v) return t;
    }
    return format("%.17g", v);
}

// The length of a valid UTF-8 sequence starting at s[i], or 0.
std::size_t utf8_length(const std::string& s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return 0;
    return len;
}

std::string cell_at(const ResultData& r, int cell) {
    return format("%.1f m (cell %d)", r.geometry[cell].path_length, cell);
}

void text_maximum(std::ostream& o, const char* label, const char* depth, const PeakMaximum& m,
                  float depth_value) {
    o << format("%-27s largest %.3f kPa at %.1f m (cell %d), %s = %.2f m then\n", label, m.value,
                m.path_length, m.cell, depth, depth_value);
}

void json_maximum(std::ostream& o, const char* key, const std::optional<PeakMaximum>& m) {
    o << "  \"" << key << "\": ";
    if (!m) {
        o << "null";
        return;
    }
    o << "{\"kPa\": " << num(m->value) << ", \"cell\": " << m->cell
      << ", \"path_length_m\": " << num(m->path_length) << ", \"h1_m\": " << num(m->h1)
      << ", \"h2_m\": " << num(m->h2) << ", \"h3_m\": " << num(m->h3) << "}";
}

std::string json_cell(const ResultData& r, const std::optional<int>& cell) {
    if (!cell) return "null";
    return format("{\"cell\": %d, \"path_length_m\": %s}", *cell,
                  num(r.geometry[*cell].path_length).c_str());
}

void csv_comments(std::ostream& o, const ResultData& r) {
    o << "# problem: " << r.problem_name << "\n# run: " << r.run_name << "\n";
}

}  // namespace

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t len = utf8_length(text, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += format("\\u%04x", c);
        } else if (len > 0) {
            out.append(text, i, len);
            i += len;
            continue;
        } else {
            out += format("\\u%04x", c);  // Latin-1 byte: the code point equals the byte
        }
        ++i;
    }
    return out + "\"";
}

void write_summary_text(std::ostream& o, const ResultData& r, const Summary& s) {
    const std::size_t records = r.dumps.size();
    o << "Problem:      " << r.problem_name << "\n";
    o << "Run:          " << r.run_name << "\n";
    o << format("Track:        %d cells, %.1f m along the path, %.1f m drop\n", r.n_cells,
                s.track_length, s.drop);
    if (records > 0)
        o << format("Dumps:        %zu records from t = %.3f s to %.3f s (header count %d)\n",
                    records, s.t_first, s.t_last, r.dump_count);
    else
        o << format("Dumps:        none (header count %d)\n", r.dump_count);
    if (r.count_unpatched)
        o << "              the count is not patched and "
          << (r.has_peak_table() ? "" : "there is no peak table: ")
          << "the run did not finish\n";
    if (r.closing_record)
        o << "              the last record is the closing one of a run stopped on the "
             "small-step limit\n";
    o << format("Thresholds:   suspension-layer pressure > %g kPa or saltation-layer depth > %g m\n",
                s.thresholds.pressure_kpa, s.thresholds.depth_m);

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
        o << format("Front:        %.1f m at t = %.3f s, %.1f m at t = %.3f s", first->path_length,
                    first->time, last->path_length, last->time);
        if (s.front_reaches_end) o << format("; at the end of the track from t = %.3f s", *s.front_reaches_end);
        o << "\n";
    }
    if (s.fastest)
        o << format("Front speed:  largest %.1f m/s, between t = %.3f s and %.3f s\n",
                    s.fastest->speed, s.fastest->t0, s.fastest->t1);
    else
        o << "Front speed:  unknown, fewer than two dumps show a front\n";
    if (s.max_salt_pressure)
        text_maximum(o, "Saltation-layer pressure:", "h2", *s.max_salt_pressure,
                     s.max_salt_pressure->h2);
    if (s.max_susp_pressure)
        text_maximum(o, "Suspension-layer pressure:", "h3", *s.max_susp_pressure,
                     s.max_susp_pressure->h3);
}

void write_summary_json(std::ostream& o, const ResultData& r, const Summary& s) {
    o << "{\n";
    o << "  \"problem\": " << json_string(r.problem_name) << ",\n";
    o << "  \"run\": " << json_string(r.run_name) << ",\n";
    o << "  \"cells\": " << r.n_cells << ",\n";
    o << "  \"dump_records\": " << r.dumps.size() << ",\n";
    o << "  \"header_dump_count\": " << r.dump_count << ",\n";
    o << "  \"count_unpatched\": " << (r.count_unpatched ? "true" : "false") << ",\n";
    o << "  \"closing_record\": " << (r.closing_record ? "true" : "false") << ",\n";
    o << "  \"peak_table\": " << (r.has_peak_table() ? "true" : "false") << ",\n";
    o << "  \"track_length_m\": " << num(s.track_length) << ",\n";
    o << "  \"drop_m\": " << num_exact(s.drop) << ",\n";
    o << "  \"time_first_s\": " << num(s.t_first) << ",\n";
    o << "  \"time_last_s\": " << num(s.t_last) << ",\n";
    o << "  \"thresholds\": {\"suspension_pressure_kPa\": " << num_exact(s.thresholds.pressure_kpa)
      << ", \"saltation_depth_m\": " << num_exact(s.thresholds.depth_m) << "},\n";
    o << "  \"runout\": ";
    if (!s.runout_cell)
        o << "null";
    else
        o << "{\"cell\": " << *s.runout_cell
          << ", \"path_length_m\": " << num(r.geometry[*s.runout_cell].path_length)
          << ", \"at_track_end\": " << (s.runout_at_track_end ? "true" : "false")
          << ",\n    \"suspension_pressure\": " << json_cell(r, s.runout_pressure_cell)
          << ",\n    \"saltation_depth\": " << json_cell(r, s.runout_depth_cell) << "}";
    o << ",\n";
    o << "  \"front_max_speed\": ";
    if (!s.fastest)
        o << "null";
    else
        o << "{\"m_s\": " << num_exact(s.fastest->speed) << ", \"from_s\": " << num(s.fastest->t0)
          << ", \"to_s\": " << num(s.fastest->t1) << "}";
    o << ",\n";
    o << "  \"front_reaches_track_end_s\": "
      << (s.front_reaches_end ? num(*s.front_reaches_end) : "null") << ",\n";
    o << "  \"front\": [";
    for (std::size_t d = 0; d < s.front.size(); ++d) {
        const FrontSample& f = s.front[d];
        o << (d ? ",\n    " : "\n    ") << "{\"time_s\": " << num(f.time) << ", \"cell\": "
          << (f.present() ? std::to_string(f.cell) : "null")
          << ", \"path_length_m\": " << (f.present() ? num(f.path_length) : "null") << "}";
    }
    o << (s.front.empty() ? "],\n" : "\n  ],\n");
    json_maximum(o, "max_saltation_pressure", s.max_salt_pressure);
    o << ",\n";
    json_maximum(o, "max_suspension_pressure", s.max_susp_pressure);
    o << "\n}\n";
}

void write_dumps_csv(std::ostream& o, const ResultData& r) {
    csv_comments(o, r);
    o << "time[s],cell,path_length[m],elevation[m]";
    for (const ResultQuantity& q : kQuantities) o << ',' << q.name << '[' << q.unit << ']';
    o << '\n';
    const std::vector<double> z = relative_elevation(r);
    for (std::size_t d = 0; d < r.dumps.size(); ++d) {
        const std::string time = num(r.dump_time(d));
        for (int i = 0; i < r.n_cells; ++i) {
            o << time << ',' << i << ',' << num(r.geometry[i].path_length) << ',' << num(z[i], 10);
            for (int q = 0; q < kResultQuantities; ++q) o << ',' << num(r.dump_value(d, q, i));
            o << '\n';
        }
    }
}

void write_peaks_csv(std::ostream& o, const ResultData& r) {
    csv_comments(o, r);
    o << "cell,path_length[m],elevation[m],slope[deg]";
    for (const ResultQuantity& q : kQuantities)
        o << ',' << q.name << '[' << q.unit << "]," << q.name << "_h1[m]," << q.name << "_h2[m],"
          << q.name << "_h3[m]";
    o << '\n';
    const std::vector<double> z = relative_elevation(r);
    for (int i = 0; i < r.n_cells; ++i) {
        o << i << ',' << num(r.geometry[i].path_length) << ',' << num(z[i], 10) << ','
          << num(r.geometry[i].slope_deg);
        for (int q = 0; q < kResultQuantities; ++q)
            for (int slot = 0; slot < 4; ++slot) o << ',' << num(r.peak(q, i, slot));
        o << '\n';
    }
}

}  // namespace torla::inspect
