// What the exports find beside a result file: the log's copy of the command
// file and the run record; and the hazard-zone classes.
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "input/command_file.h"
#include "inspect/exports.h"
#include "inspect/run_record.h"
#include "support/run_files.h"

namespace torla::inspect {

namespace {

// The log's copy of a command file, read as torla read the file.
CommandFile command_file_of(const std::string& text) {
    return parse_command_file("the log's copy of the command file",
                              std::vector<unsigned char>(text.begin(), text.end()));
}

}  // namespace

std::string crs_wkt_of_command_text(const std::string& text) {
    return crs_wkt_of(command_file_of(text));
}

std::optional<double> top_elevation_of_command_text(const std::string& text) {
    const CommandFile f = command_file_of(text);
    if (!f.ok() || f.coordinates.empty()) return std::nullopt;
    return f.coordinates[0][1];
}

std::vector<ProfilePoint> profile_of_command_text(const std::string& text) {
    const CommandFile f = command_file_of(text);
    std::vector<ProfilePoint> profile;
    if (!f.ok()) return profile;
    for (const auto& row : f.coordinates) {
        const ProfilePoint p{row[0], row[1]};
        if (!profile.empty() && !(p.s_m > profile.back().s_m)) return {};
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
    for (const std::string& line : comment_block(command_file_of(text))) {
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
    c.log_path = support::log_path_of(result_path);
    c.record_path = support::record_path_of(result_path);

    std::string log;
    if (const std::string why = c.log_path.empty() ? "no name" : read_regular_file(c.log_path, log);
        !why.empty()) {
        notes.push_back("no log " + c.log_path + " beside the result (" + why +
                        "): no command file, CRS or elevation from it");
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
    const auto end = start == std::string::npos
                         ? std::string::npos
                         : log.find(std::string("\n") + kEndSection, start + 3);
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
                            const std::vector<float>& dump_times, std::vector<std::string>& notes) {
    RunContext c;
    read_log_copy(result_path, c, notes);

    RunRecord record;
    bool found = false;
    c.record_refusal = read_run_record(result_path, r, dump_times, record, found);
    if (!found) {
        if (c.record_refusal.empty())
            notes.push_back("no run record " + c.record_path +
                            ": arrival times, scheme and stop reason left out");
        return c;
    }
    c.has_record = true;
    c.numerics = record.numerics;
    // The run's own word on its CRS; the log's copy serves runs whose
    // record predates it.
    if (!record.crs_wkt.empty()) c.crs_wkt = record.crs_wkt;
    if (c.torla_version.empty()) c.torla_version = record.version;
    c.stop_reason = record.stop_reason;
    c.arrival_time_s = record.arrival_time_s;
    if (c.arrival_time_s.empty())
        notes.push_back(c.record_path + ": no arrival_time_s; arrival times left out");
    return c;
}

std::vector<std::string> companion_paths(const std::string& result_path) {
    std::vector<std::string> paths;
    if (const std::string log = support::log_path_of(result_path); !log.empty())
        paths.push_back(log);
    paths.push_back(support::record_path_of(result_path));
    return paths;
}

std::string outputs_clobber(const std::vector<std::string>& outputs, const std::string& result_path,
                            const std::string& derived) {
    std::vector<std::string> inputs = companion_paths(result_path);
    inputs.insert(inputs.begin(), result_path);
    for (const std::string& out : outputs)
        if (std::string clash = output_clobbers_input(out, inputs); !clash.empty()) return clash;
    struct stat st {};
    if (!derived.empty() && ::lstat(derived.c_str(), &st) == 0 &&
        ::lstat(outputs[0].c_str(), &st) != 0)
        return "the export writes " + derived + " beside " + outputs[0] + ", and " + derived +
               " is there without it: not an earlier export's; remove it or choose another name";
    return "";
}

std::string scan_records(ResultReader& reader, const ResultTables& r, std::vector<float>& times,
                         std::vector<FrontSample>* front) {
    std::vector<float> record;
    reader.rewind();
    for (std::size_t d = 0; d < reader.records(); ++d) {
        if (std::string err = reader.read_record(record); !err.empty()) return err;
        times.push_back(record[0]);
        if (front) front->push_back(front_at(r, record, Thresholds{}));
    }
    return "";
}

std::string read_regular_file(const std::string& path, std::string& out) {
    const support::ReadOutcome r =
        support::read_whole_file(path, std::size_t{64} * 1024 * 1024, out);
    using support::ReadFault;
    switch (r.fault) {
    case ReadFault::kNone:
        return "";
    case ReadFault::kIsLink:
    case ReadFault::kNotRegular:
        return "not a regular file";
    case ReadFault::kTooLarge:
        return "larger than 64 MB";
    case ReadFault::kChanged:
        return "not a regular file of at most 64 MB";
    case ReadFault::kCannotStat:
    case ReadFault::kCannotOpen:
    case ReadFault::kCannotRead:
        break;
    }
    return std::strerror(r.error);
}

bool read_whole_file(const std::string& path, std::string& out) {
    return read_regular_file(path, out).empty();
}

int refuse_export(const std::string& what) {
    std::cerr << "torla-inspect: " << plain_text(what) << "\n";
    return 1;
}

bool has_extension(const std::string& path, const std::string& ext) {
    return path.size() >= ext.size() &&
           std::equal(ext.rbegin(), ext.rend(), path.rbegin(), [](char e, char p) {
               return std::tolower(static_cast<unsigned char>(p)) == e;
           });
}

}  // namespace torla::inspect
