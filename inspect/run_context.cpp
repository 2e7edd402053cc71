// What the exports find beside a result file: the log's copy of the command
// file and the run record; and the hazard-zone classes.
#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "inspect/exports.h"

namespace torla::inspect {

namespace {

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::string crs_wkt_of_command_text(const std::string& text) {
    std::string wkt;
    const std::string key = "# crs_wkt ";
    for (const std::string& line : split_lines(text)) {
        if (line.rfind("Track_Name", 0) == 0) break;  // the comment block ends there
        if (line.rfind(key, 0) == 0) wkt += line.substr(key.size());
    }
    return wkt;
}

namespace {

// The coordinate rows after Number_of_Points: index, x (horizontal, m) and
// z (elevation, m), quotes read as blanks, up to the first other line.
std::vector<std::array<double, 3>> coordinate_rows(const std::string& text) {
    std::vector<std::array<double, 3>> rows;
    bool after_count = false;
    for (std::string line : split_lines(text)) {
        if (line.rfind("Number_of_Points", 0) == 0) {
            after_count = true;
            continue;
        }
        if (!after_count || line.empty() || line[0] == '#') continue;
        for (char& c : line)
            if (c == '"') c = ' ';
        std::istringstream row(line);
        double index = 0, x = 0, z = 0;
        if (!(row >> index >> x >> z)) break;
        rows.push_back({index, x, z});
    }
    return rows;
}

}  // namespace

std::optional<double> top_elevation_of_command_text(const std::string& text) {
    const auto rows = coordinate_rows(text);
    if (rows.empty() || rows[0][0] != 0 || !std::isfinite(rows[0][2])) return std::nullopt;
    return rows[0][2];
}

std::vector<ProfilePoint> profile_of_command_text(const std::string& text) {
    std::vector<ProfilePoint> profile;
    for (const auto& row : coordinate_rows(text)) {
        const ProfilePoint p{row[1], row[2]};
        if (!std::isfinite(p.s_m) || !std::isfinite(p.z_m) ||
            (!profile.empty() && !(p.s_m > profile.back().s_m)))
            return {};
        profile.push_back(p);
    }
    if (!profile.empty()) {
        const double s0 = profile.front().s_m;
        for (ProfilePoint& p : profile) p.s_m -= s0;
    }
    return profile;
}

std::optional<double> split_of_command_text(const std::string& text, std::string& source) {
    const std::string key = "# split_s_horizontal_m:", source_key = "# split_source:";
    std::optional<double> split;
    for (const std::string& line : split_lines(text)) {
        if (line.rfind("Track_Name", 0) == 0) break;  // the comment block ends there
        if (line.rfind(key, 0) == 0) {
            char* end = nullptr;
            const double v = std::strtod(line.c_str() + key.size(), &end);
            if (end != line.c_str() + key.size() && std::isfinite(v) && v >= 0.0) split = v;
        } else if (line.rfind(source_key, 0) == 0) {
            source = line.substr(source_key.size() + (line.size() > source_key.size() ? 1 : 0));
        }
    }
    return split;
}

void read_log_copy(const std::string& result_path, RunContext& c, std::vector<std::string>& notes) {
    c.log_path =
        result_path.size() >= 3 ? result_path.substr(0, result_path.size() - 3) + "plg" : "";
    c.record_path = result_path + ".json";

    std::string log;
    if (c.log_path.empty() || !read_whole_file(c.log_path, log)) {
        notes.push_back("no log " + c.log_path +
                        " beside the result: no command file, CRS or elevation from it");
        return;
    }
    // The header: a version line, the names, then "Command file: ..."
    // and two empty lines; the copy ends with its "| END OF FILE" line.
    const std::string first = log.substr(0, log.find('\n'));
    const std::string vkey = "TORLA Version ";
    if (first.rfind(vkey, 0) == 0)
        c.torla_version = first.substr(vkey.size(), first.find(' ', vkey.size()) - vkey.size());
    const auto cf = log.find("\nCommand file:");
    const auto start = cf == std::string::npos ? std::string::npos : log.find("\n\n\n", cf + 1);
    const auto end =
        start == std::string::npos ? std::string::npos : log.find("\n| END OF FILE", start + 3);
    if (end == std::string::npos) {
        notes.push_back(c.log_path + ": no complete copy of the command file found");
        return;
    }
    const auto line_end = log.find('\n', end + 1);
    c.command_text = log.substr(
        start + 3, (line_end == std::string::npos ? log.size() : line_end + 1) - (start + 3));
    c.crs_wkt = crs_wkt_of_command_text(c.command_text);
    c.top_elevation_m = top_elevation_of_command_text(c.command_text);
}

RunContext read_run_context(const std::string& result_path, const ResultTables& r,
                            std::vector<std::string>& notes) {
    RunContext c;
    read_log_copy(result_path, c, notes);

    std::string record;
    if (!read_whole_file(c.record_path, record)) {
        notes.push_back("no run record " + c.record_path +
                        ": arrival times, scheme and stop reason left out");
        return c;
    }
    const nlohmann::json j = nlohmann::json::parse(record, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        notes.push_back(c.record_path + ": not a JSON object; left out");
        return c;
    }
    c.has_record = true;
    if (j.contains("numerics") && j["numerics"].is_string()) c.numerics = j["numerics"];
    if (j.contains("stop_reason") && j["stop_reason"].is_string()) c.stop_reason = j["stop_reason"];
    if (c.torla_version.empty() && j.contains("version") && j["version"].is_string())
        c.torla_version = j["version"];
    const auto a = j.find("arrival_time_s");
    if (a != j.end() && a->is_array() && a->size() == static_cast<std::size_t>(r.n_cells)) {
        for (const auto& v : *a)
            c.arrival_time_s.push_back(v.is_number() ? std::optional<double>(v.get<double>())
                                                     : std::nullopt);
    } else {
        notes.push_back(c.record_path + ": no arrival_time_s of " + std::to_string(r.n_cells) +
                        " cells; arrival times left out");
    }
    return c;
}

bool read_whole_file(const std::string& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    out = ss.str();
    return true;
}

}  // namespace torla::inspect
