// The run record beside a result file, read with nlohmann/json.
#include "inspect/run_record.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

#include "support/files.h"
#include "support/run_files.h"

namespace torla::inspect {

namespace {

using nlohmann::json;

constexpr std::size_t kMostRecordBytes = std::size_t{64} * 1024 * 1024;

// Why the record at path cannot be read; "" also where there is none.
std::string record_read_error(const support::ReadOutcome& r, const std::string& path) {
    using support::ReadFault;
    switch (r.fault) {
    case ReadFault::kNone:
        return "";
    case ReadFault::kCannotStat:
        return r.error == ENOENT
                   ? ""
                   : "cannot read the run record " + path + ": " + std::strerror(r.error);
    case ReadFault::kIsLink:
    case ReadFault::kNotRegular:
    case ReadFault::kChanged:
        return "the run record " + path + " is not a regular file";
    case ReadFault::kTooLarge:
        return "the run record " + path + " is larger than 64 MB";
    case ReadFault::kCannotOpen:
        return "cannot open the run record " + path + ": " + std::strerror(r.error);
    case ReadFault::kCannotRead:
        break;
    }
    return "cannot read the run record " + path + ": " + std::strerror(r.error);
}

// A field of the wrong type: the record is left out with this message.
struct BadField {
    std::string what;
};

std::optional<double> number(const json& j, const char* key) {
    if (!j.contains(key) || j.at(key).is_null()) return std::nullopt;
    if (!j.at(key).is_number()) throw BadField{std::string("`") + key + "' is not a number"};
    return j.at(key).get<double>();
}

std::optional<int> integer(const json& j, const char* key) {
    if (!j.contains(key) || j.at(key).is_null()) return std::nullopt;
    if (!j.at(key).is_number_integer())
        throw BadField{std::string("`") + key + "' is not an integer"};
    const auto v = j.at(key).get<long long>();
    if (v < -2147483647LL || v > 2147483647LL)
        throw BadField{std::string("`") + key + "' is out of range"};
    return static_cast<int>(v);
}

std::string text(const json& j, const char* key) {
    if (!j.contains(key) || j.at(key).is_null()) return "";
    if (!j.at(key).is_string()) throw BadField{std::string("`") + key + "' is not a string"};
    return j.at(key).get<std::string>();
}

const json* object(const json& j, const char* key) {
    if (!j.contains(key) || j.at(key).is_null()) return nullptr;
    if (!j.at(key).is_object()) throw BadField{std::string("`") + key + "' is not an object"};
    return &j.at(key);
}

const json* array(const json& j, const char* key) {
    if (!j.contains(key) || j.at(key).is_null()) return nullptr;
    if (!j.at(key).is_array()) throw BadField{std::string("`") + key + "' is not an array"};
    return &j.at(key);
}

// A record that does not belong to the result file beside it: a run that
// was killed left its result and an earlier run's record.
void check_belongs(const ResultTables& r, const std::vector<float>& dump_times,
                   const RunRecord& out) {
    const std::string& reason = out.stop_reason;
    const bool says_complete = reason == "max_time" || reason == "small_step" ||
                               reason == "non_finite" || reason == "dump_limit";
    if (says_complete && (r.count_unpatched || r.cut_short))
        throw BadField{"it says the run ended (" + reason +
                       ") but the result file is unfinished: the record of an earlier run"};
    if (out.dumps.empty()) return;
    // The closing record of a small-step stop may be missing from the list.
    const std::size_t needed = dump_times.size() - (r.closing_record ? 1 : 0);
    if (out.dumps.size() < needed)
        throw BadField{"it knows " + std::to_string(out.dumps.size()) +
                       " dumps, the result file holds " + std::to_string(dump_times.size()) +
                       ": the record of another run"};
    for (std::size_t d = 0; d < std::min(out.dumps.size(), dump_times.size()); ++d)
        if (out.dumps[d].time_s && static_cast<float>(*out.dumps[d].time_s) != dump_times[d])
            throw BadField{"its dump " + std::to_string(d) + " is at t = " +
                           std::to_string(*out.dumps[d].time_s) + " s, the result file's at " +
                           std::to_string(dump_times[d]) + " s: the record of another run"};
}

void read_fields(const json& j, const ResultTables& r, RunRecord& out) {
    if (!j.is_object()) throw BadField{"not a JSON object"};
    if (const auto cells = integer(j, "cells"); cells && *cells != r.n_cells && *cells != 0)
        throw BadField{"it is the record of a run of " + std::to_string(*cells) +
                       " cells, the result file has " + std::to_string(r.n_cells)};
    out.stop_reason = text(j, "stop_reason");
    out.exit_status = integer(j, "exit_status");
    out.message = text(j, "message");
    out.simulated_time_s = number(j, "simulated_time_s");
    if (const json* onset = object(j, "onset"))
        out.onset = RunRecord::Onset{number(*onset, "time_s"), integer(*onset, "cell"),
                                     text(*onset, "sign")};
    if (const json* warnings = array(j, "warnings"))
        for (const json& w : *warnings) {
            if (!w.is_string()) throw BadField{"a warning is not a string"};
            out.warnings.push_back(w.get<std::string>());
        }
    out.numerics = text(j, "numerics");
    out.version = text(j, "version");
    out.crs_wkt = text(j, "crs_wkt");
    if (const json* arrival = array(j, "arrival_time_s")) {
        if (arrival->size() != static_cast<std::size_t>(r.n_cells))
            throw BadField{"`arrival_time_s' has " + std::to_string(arrival->size()) +
                           " cells, the result file " + std::to_string(r.n_cells)};
        for (const json& v : *arrival) {
            if (!v.is_null() && !v.is_number())
                throw BadField{"`arrival_time_s' holds something other than numbers"};
            out.arrival_time_s.push_back(v.is_null() ? std::nullopt
                                                     : std::optional<double>(v.get<double>()));
        }
    }
    if (const json* dumps = array(j, "dumps"))
        for (const json& d : *dumps) {
            if (!d.is_object()) throw BadField{"a dump is not an object"};
            RunRecord::DumpMass m;
            m.time_s = number(d, "time_s");
            if (const json* mass = object(d, "mass_kg_per_m")) {
                m.cover = number(*mass, "cover");
                m.saltation = number(*mass, "saltation");
                m.suspension = number(*mass, "suspension");
                m.outflow = number(*mass, "outflow");
                m.edges = number(*mass, "edges");
            }
            out.dumps.push_back(m);
        }
    if (const json* peaks = object(j, "peaks_before_onset")) {
        out.peaks_before_onset.resize(kResultQuantities);
        for (int q = 0; q < kResultQuantities; ++q) {
            const json* cells = array(*peaks, kQuantities[q].name);
            if (!cells) continue;
            if (cells->size() != static_cast<std::size_t>(r.n_cells))
                throw BadField{std::string("`peaks_before_onset.") + kQuantities[q].name +
                               "' has " + std::to_string(cells->size()) +
                               " cells, the result file " + std::to_string(r.n_cells)};
            for (const json& v : *cells) {
                if (!v.is_null() && !v.is_number())
                    throw BadField{std::string("`peaks_before_onset.") + kQuantities[q].name +
                                   "' holds something other than numbers"};
                out.peaks_before_onset[q].push_back(
                    v.is_null() ? std::nullopt : std::optional<double>(v.get<double>()));
            }
        }
    }
}

}  // namespace

std::optional<double> RunRecord::DumpMass::moving_and_lying() const {
    if (!cover || !saltation || !suspension) return std::nullopt;
    return *cover + *saltation + *suspension;
}

std::string read_run_record(const std::string& result_path, const ResultTables& r,
                            const std::vector<float>& dump_times, RunRecord& out, bool& found) {
    out = RunRecord{};
    found = false;
    const std::string path = support::record_path_of(result_path);
    out.path = path;
    std::string bytes;
    const support::ReadOutcome read = support::read_whole_file(path, kMostRecordBytes, bytes);
    if (const std::string err = record_read_error(read, path); !err.empty() || !read.ok())
        return err;
    const json j = json::parse(bytes, nullptr, false);
    if (j.is_discarded()) return "the run record " + path + " is not JSON";
    try {
        read_fields(j, r, out);
        check_belongs(r, dump_times, out);
    } catch (const BadField& e) {
        return "the run record " + path + " is left out: " + e.what;
    }
    found = true;
    return "";
}

std::optional<RecordPeak> largest_before_onset(const RunRecord& rec, int quantity) {
    if (rec.peaks_before_onset.empty()) return std::nullopt;
    const auto& cells = rec.peaks_before_onset[quantity];
    std::optional<RecordPeak> best;
    for (std::size_t i = 0; i < cells.size(); ++i)
        if (cells[i] && (!best || *cells[i] > best->value))
            best = RecordPeak{*cells[i], static_cast<int>(i)};
    return best;
}

std::optional<MassBalance> mass_balance(const RunRecord& rec) {
    std::optional<MassBalance> b;
    std::optional<double> previous_total, previous_time, previous_edges;
    for (const RunRecord::DumpMass& d : rec.dumps) {
        const auto mass = d.moving_and_lying();
        if (!mass || !d.time_s || !d.outflow) continue;
        const double total = *mass + *d.outflow;  // what the track has held so far
        if (!b) {
            b = MassBalance{};
            b->t_start = *d.time_s;
            b->start = *mass;
        } else {
            const double change = total - *previous_total;
            if (!b->largest_unexplained || std::fabs(change) > std::fabs(*b->largest_unexplained)) {
                b->largest_unexplained = change;
                b->unexplained_t0 = *previous_time;
                b->unexplained_t1 = *d.time_s;
                b->edges_then.reset();
                if (d.edges && previous_edges) b->edges_then = *d.edges - *previous_edges;
            }
        }
        b->t_end = *d.time_s;
        b->end = *mass;
        b->outflow_end = *d.outflow;
        previous_total = total;
        previous_time = d.time_s;
        previous_edges = d.edges;
    }
    return b;
}

}  // namespace torla::inspect
