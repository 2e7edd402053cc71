// One answer from the members: members.csv, exceedance.csv, runout.csv,
// fronts.csv and ensemble.json. Every result is read through the project's
// result-file reader; run-out, fronts and largest pressures are those of
// torla-inspect.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "ensemble/ensemble.h"
#include "ensemble/folder.h"
#include "input/command_file.h"
#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "model/quantities.h"
#include "model/runout.h"
#include "output/heights_format.h"
#include "output/result_format.h"
#include "support/json.h"
#include "support/process.h"
#include "support/run_files.h"

namespace torla::ensemble {

namespace fs = std::filesystem;

namespace {

// What collect keeps of one member.
struct MemberResult {
    const Member* member = nullptr;
    MemberState state;
    std::string use = "missing";  // used, failed, unstable, missing, mismatch
    std::string why;
    std::optional<double> runout;
    bool runout_at_end = false;
    float max_p2 = 0.0f, max_p3 = 0.0f;
    std::vector<inspect::FrontSample> front;
    std::vector<float> peaks[4];                 // per cell: p3, p2, h3, h2
    std::vector<std::vector<double>> at_height;  // kPa, per at_height entry: per cell
    std::vector<Runout> runouts;                 // at every limit of the run-out table
    double top_elevation = 0.0;                  // m, of the first coordinate row
    int cells = 0;                               // of its grid, when used
};

// The run-outs of both layers' pressures at the lower bounds of the zones
// and at the thresholds of the exceedance table.
std::vector<RunoutLimit> runout_table_limits(const EnsembleFile& ens) {
    std::vector<RunoutLimit> limits;
    for (const auto& [row, listed] :
         {std::pair{static_cast<int>(kRowSaltPressure), &ens.p2_thresholds},
          std::pair{static_cast<int>(kRowSuspPressure), &ens.p3_thresholds}}) {
        std::vector<double> t = *listed;
        for (const ZoneClass& c : ens.zones.classes) t.push_back(c.lower_kpa);
        for (const RunoutLimit& l : runout_limits(t))
            if (l.quantity == row) limits.push_back(l);
    }
    return limits;
}

std::vector<Runout> member_runouts(const ResultData& r, const std::vector<RunoutLimit>& limits) {
    RunoutHistory history(limits);
    for (const std::vector<float>& record : r.dumps) history.add_dump(record.data(), r.n_cells);
    const int n = r.n_cells;
    return compute_runouts(track_axis(r.geometry), PeakTable{r.peaks.data(), n, kPeakEntryFloats},
                           history);
}

constexpr int kPeakRows[4] = {kRowSuspPressure, kRowSaltPressure, kRowSuspDepth, kRowSaltDepth};
constexpr const char* kPeakNames[4] = {"p3", "p2", "h3", "h2"};
constexpr const char* kPeakUnits[4] = {"kPa", "kPa", "m", "m"};

std::string index_list(const std::vector<int>& v) {
    if (v.empty()) return "none";
    std::string s;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) s += " ";
        s += std::to_string(v[i]);
    }
    return s;
}

std::string result_path(const std::string& dir, const Member& m) {
    return (fs::path(dir) / m.folder / "member.res").string();
}

// Elevation of the first input point: the first row of the coordinate
// table (0 when the file cannot be read).
double first_elevation(const std::string& cmd_path) {
    const CommandFile f = load_command_file(cmd_path);
    return f.ok() && !f.coordinates.empty() ? f.coordinates[0][1] : 0.0;
}

// "" or where a member's peaks leave the finite range of a flow.
std::string blown_up(const std::vector<float> (&peaks)[4]) {
    for (int q = 0; q < 4; ++q)
        for (std::size_t c = 0; c < peaks[q].size(); ++c)
            if (!(std::fabs(peaks[q][c]) <= kLargestPeak))
                return "peak " + std::string(kPeakNames[q]) + " " + number_text(peaks[q][c]) + " " +
                       kPeakUnits[q] + " in cell " + std::to_string(c) + " (not finite or above " +
                       number_text(kLargestPeak) + ")";
    return "";
}

}  // namespace

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return std::nan("");
    const double h = (static_cast<double>(sorted.size()) - 1.0) * p / 100.0;
    const std::size_t lo = static_cast<std::size_t>(std::floor(h));
    const std::size_t hi = std::min(sorted.size() - 1, lo + 1);
    return sorted[lo] + (h - static_cast<double>(lo)) * (sorted[hi] - sorted[lo]);
}

namespace {

// ---- Reading the members' results.

// The member's peaks over height at every height of at_height, through
// torla-inspect's reader of RESULT.heights; "" or why they cannot be had.
std::string read_height_peaks(const std::string& path, const ResultData& r, const EnsembleFile& ens,
                              MemberResult& mr) {
    HeightsData h;
    bool found = false;
    if (auto err = inspect::read_kept_heights(path, r, h, found); !err.empty()) return err;
    if (!found)
        return "no " + support::heights_path_of(path) +
               ": the run kept no peaks over height, which [thresholds] at_height needs";
    for (const HeightThresholds& asked : ens.at_height) {
        const auto k = std::find(h.heights.begin(), h.heights.end(), asked.z_m) - h.heights.begin();
        if (k == static_cast<std::ptrdiff_t>(h.heights.size()))
            return support::heights_path_of(path) + " has no peaks at " + number_text(asked.z_m) +
                   " m";
        std::vector<double> column(r.n_cells);
        for (int c = 0; c < r.n_cells; ++c) {
            column[c] = h.peak_at(c, static_cast<std::size_t>(k));
            if (!(std::fabs(column[c]) <= kLargestPeak))
                return "peak pressure at " + number_text(asked.z_m) + " m " +
                       number_text(column[c]) + " kPa in cell " + std::to_string(c) +
                       " (not finite or above " + number_text(kLargestPeak) + ")";
        }
        mr.at_height.push_back(std::move(column));
    }
    return "";
}

// One member's folder: its state, and when it ran to the end its result.
MemberResult read_member(const std::string& dir, const Member& member, const EnsembleFile& ens,
                         const std::vector<RunoutLimit>& limits) {
    MemberResult mr;
    mr.member = &member;
    mr.state = member_state(dir, member);
    if (!mr.state.finished) {
        mr.why = "not run";
        return mr;
    }
    // An onset of instability makes a member unstable whatever its end
    // (a small-step stop, status 5, follows one); any other status but
    // 0 makes it failed.
    if (mr.state.onset) {
        mr.use = "unstable";
        mr.why = "onset of instability at " + number_text(mr.state.onset_time) + " s";
        return mr;
    }
    if (mr.state.exit_status != 0) {
        mr.use = "failed";
        mr.why = "exit status " + std::to_string(mr.state.exit_status);
        return mr;
    }
    ResultData r;
    if (auto err = read_result_file(result_path(dir, member), r);
        !err.empty() || !r.has_peak_table() || r.count_unpatched) {
        mr.use = "failed";
        mr.why = err.empty() ? "the result is incomplete" : err;
        return mr;
    }
    const inspect::Summary s = inspect::summarize(r, inspect::Thresholds{});
    if (s.runout_cell) mr.runout = r.geometry[*s.runout_cell].path_length;
    mr.runout_at_end = s.runout_at_track_end;
    mr.max_p2 = s.max_salt_pressure ? s.max_salt_pressure->value : 0.0f;
    mr.max_p3 = s.max_susp_pressure ? s.max_susp_pressure->value : 0.0f;
    mr.front = s.front;
    mr.runouts = member_runouts(r, limits);
    mr.top_elevation = first_elevation((fs::path(dir) / member.folder / "member.cmd").string());
    for (int q = 0; q < 4; ++q) {
        mr.peaks[q].resize(r.n_cells);
        for (int c = 0; c < r.n_cells; ++c) mr.peaks[q][c] = r.peak(kPeakRows[q], c, 0);
    }
    // A peak that is not finite or beyond any flow: the run blew up and
    // its numbers are not averaged in.
    std::string where = blown_up(mr.peaks);
    if (where.empty() && !ens.at_height.empty())
        where = read_height_peaks(result_path(dir, member), r, ens, mr);
    if (!where.empty()) {
        mr.use = "failed";
        mr.why = where;
        mr.at_height.clear();
        for (auto& p : mr.peaks) p.clear();
        mr.front.clear();
        mr.runout.reset();
        return mr;
    }
    mr.use = "used";
    mr.cells = r.n_cells;
    return mr;
}

// Every member's folder, each read on its own, in as many threads as there
// are cores.
std::vector<MemberResult> read_members(const std::string& dir, const Plan& plan,
                                       const std::vector<RunoutLimit>& limits) {
    std::vector<MemberResult> res(plan.members.size());
    const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1,
                                                        std::max<std::size_t>(1, res.size()));
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next++) < res.size();)
            res[i] = read_member(dir, plan.members[i], plan.ensemble, limits);
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (auto& t : pool) t.join();
    return res;
}

// The first member used sets the grid the others must have: a used member
// on another grid becomes a mismatch and nothing of its result is kept.
// `reference` is left empty when no member is used.
std::string match_grids(const std::string& dir, std::vector<MemberResult>& res,
                        std::optional<ResultData>& reference) {
    for (MemberResult& mr : res) {
        if (mr.use != "used") continue;
        if (!reference) {
            ResultData first;
            if (auto err = read_result_file(result_path(dir, *mr.member), first); !err.empty())
                return err;
            reference = std::move(first);
        } else if (mr.cells != reference->n_cells) {
            mr.runout.reset();
            mr.runout_at_end = false;
            mr.max_p2 = mr.max_p3 = 0.0f;
            mr.front.clear();
            for (auto& column : mr.peaks) column.clear();
            mr.at_height.clear();
            mr.runouts.clear();
            mr.use = "mismatch";
            mr.why = "its grid has " + std::to_string(mr.cells) + " cells, not " +
                     std::to_string(reference->n_cells);
        }
    }
    return "";
}

// The members' indices by their use.
struct Tally {
    std::vector<int> used, failed, unstable, missing;
};

Tally tally(const std::vector<MemberResult>& res) {
    Tally t;
    for (const auto& mr : res) {
        if (mr.use == "used")
            t.used.push_back(mr.member->index);
        else if (mr.use == "unstable")
            t.unstable.push_back(mr.member->index);
        else if (mr.use == "missing")
            t.missing.push_back(mr.member->index);
        else
            t.failed.push_back(mr.member->index);
    }
    return t;
}

// The comment lines heading exceedance.csv, runout.csv and fronts.csv.
std::string table_head(const CollectFigures& fig, const Tally& t) {
    return "# members " + std::to_string(fig.members) + ", used " + std::to_string(fig.used) +
           "\n# left out: failed " + index_list(t.failed) + "; unstable " + index_list(t.unstable) +
           "; not run " + index_list(t.missing) + "\n";
}

// ---- The tables.

// The exceedance table's columns: where the cell lies, the probabilities
// of p3's thresholds, then p2's, the 5th, 50th and 95th percentiles of each
// peak (p3, p2, h3, h2), then the probabilities at heights (at_height).
std::vector<inspect::ExceedanceColumn> exceedance_columns(const EnsembleFile& ens) {
    std::vector<inspect::ExceedanceColumn> columns;
    for (int k = 0; k < inspect::kExceedanceFixedColumns; ++k)
        columns.push_back(inspect::fixed_column(k));
    for (double t : ens.p3_thresholds) columns.push_back(inspect::probability_column("p3", t));
    for (double t : ens.p2_thresholds) columns.push_back(inspect::probability_column("p2", t));
    for (int q = 0; q < 4; ++q)
        for (int p : {5, 50, 95}) columns.push_back(inspect::percentile_column(kPeakNames[q], p));
    for (const HeightThresholds& h : ens.at_height)
        for (double t : h.p_kpa) columns.push_back(inspect::height_probability_column(h.z_m, t));
    return columns;
}

// One cell's row: the values of exceedance_columns over the used members.
std::vector<double> exceedance_row(const EnsembleFile& ens, const ResultData& r, int c,
                                   double elevation, const std::vector<const MemberResult*>& use) {
    const GeometryRow& g = r.geometry[c];
    std::vector<double> row = {static_cast<double>(c), g.path_length, g.aux2, g.aux6, elevation};
    const double n = static_cast<double>(use.size());
    auto fraction = [&](int q, double t) {
        const float th = static_cast<float>(t);
        int k = 0;
        for (const auto* mr : use) k += mr->peaks[q][c] > th;
        return k / n;
    };
    for (double t : ens.p3_thresholds) row.push_back(fraction(0, t));
    for (double t : ens.p2_thresholds) row.push_back(fraction(1, t));
    std::vector<double> values(use.size());
    for (int q = 0; q < 4; ++q) {
        for (std::size_t k = 0; k < use.size(); ++k) values[k] = use[k]->peaks[q][c];
        std::sort(values.begin(), values.end());
        for (double p : {5.0, 50.0, 95.0}) row.push_back(percentile(values, p));
    }
    for (std::size_t h = 0; h < ens.at_height.size(); ++h)
        for (double t : ens.at_height[h].p_kpa) {
            int k = 0;
            for (const auto* mr : use) k += mr->at_height[h][c] > t;
            row.push_back(k / n);
        }
    // Each value as the CSV gives it back, so that the table, the map and
    // the NetCDF agree to the last digit.
    for (std::size_t k = 1; k < row.size(); ++k)
        row[k] = std::strtod(number_text(row[k]).c_str(), nullptr);
    return row;
}

// The table per cell of the reference grid, as the exports take it.
inspect::ExceedanceTable exceedance_table(const std::string& dir, const EnsembleFile& ens,
                                          const ResultData& r, double top,
                                          const std::vector<MemberResult>& res,
                                          const CollectFigures& fig, const Tally& t) {
    inspect::ExceedanceTable table;
    table.path = (fs::path(dir) / "exceedance.csv").string();
    table.members = fig.members;
    table.used = fig.used;
    table.failed = index_list(t.failed);
    table.unstable = index_list(t.unstable);
    table.not_run = index_list(t.missing);
    table.columns = exceedance_columns(ens);
    const std::vector<double> rel = inspect::relative_elevation(r);
    std::vector<const MemberResult*> use;
    for (const auto& mr : res)
        if (mr.use == "used") use.push_back(&mr);
    for (int c = 0; c < r.n_cells; ++c)
        table.rows.push_back(exceedance_row(ens, r, c, top + rel[c], use));
    return table;
}

// One used member's run-out at one limit, with its rank among those that
// reach the limit.
struct RunoutRow {
    const MemberResult* member = nullptr;
    const Runout* runout = nullptr;
    std::size_t rank = 0;   // 1 for the shortest
    double fraction = 0.0;  // of those reaching the limit, at or below it
};

// Per limit of the run-out table, what the used members say of it.
struct RunoutSummary {
    std::string name;  // e.g. "p3>1kPa"
    std::size_t reached = 0;
    int never = 0, decided = 0;
    std::string why;                        // why the first undecided one is not decided
    double p5 = 0.0, p50 = 0.0, p95 = 0.0;  // m, horizontal
    std::vector<RunoutRow> rows;            // ranked by horizontal distance from the top
};

RunoutSummary runout_summary(const std::vector<MemberResult>& res, std::size_t k,
                             const RunoutLimit& limit) {
    RunoutSummary s;
    std::vector<std::pair<double, const MemberResult*>> reached;
    for (const auto& mr : res) {
        if (mr.use != "used") continue;
        const Runout& r = mr.runouts[k];
        if (r.cell < 0) {
            ++s.never;
            continue;
        }
        reached.emplace_back(r.horizontal_m, &mr);
        s.decided += r.determined;
        if (!r.determined && s.why.empty()) s.why = r.reason;
    }
    std::sort(reached.begin(), reached.end(), [](const auto& a, const auto& b) {
        return a.first < b.first ||
               (a.first == b.first && a.second->member->index < b.second->member->index);
    });
    std::vector<double> sorted;
    for (const auto& [d, mr] : reached) sorted.push_back(d);
    s.name = std::string(runout_quantity_name(limit.quantity)) + ">" +
             number_text(limit.threshold) + "kPa";
    s.reached = reached.size();
    s.p5 = percentile(sorted, 5.0);
    s.p50 = percentile(sorted, 50.0);
    s.p95 = percentile(sorted, 95.0);
    for (std::size_t i = 0; i < reached.size(); ++i)
        s.rows.push_back({reached[i].second, &reached[i].second->runouts[k], i + 1,
                          static_cast<double>(i + 1) / static_cast<double>(reached.size())});
    return s;
}

std::vector<RunoutSummary> runout_tables(const std::vector<MemberResult>& res,
                                         const std::vector<RunoutLimit>& limits) {
    std::vector<RunoutSummary> table;
    for (std::size_t k = 0; k < limits.size(); ++k)
        table.push_back(runout_summary(res, k, limits[k]));
    return table;
}

// The used members' run-outs (torla-inspect's), ascending, and the used
// members without one.
struct RunoutSpread {
    std::vector<double> sorted;  // m
    std::vector<int> no_runout;  // member indices
};

RunoutSpread runout_spread(const std::vector<MemberResult>& res) {
    std::vector<std::pair<double, int>> runouts;
    RunoutSpread s;
    for (const auto& mr : res) {
        if (mr.use != "used") continue;
        if (mr.runout)
            runouts.emplace_back(*mr.runout, mr.member->index);
        else
            s.no_runout.push_back(mr.member->index);
    }
    std::sort(runouts.begin(), runouts.end());
    for (const auto& [v, i] : runouts) s.sorted.push_back(v);
    return s;
}

// A number as the double of its nine-digit text: the value ensemble.json
// has always given.
nlohmann::ordered_json nine_digits(double v) {
    return std::isfinite(v) ? nlohmann::ordered_json(std::strtod(number_text(v).c_str(), nullptr))
                            : nlohmann::ordered_json();
}

// ensemble.json: the ensemble, the counts, why members were left out and the
// run-out percentiles.
nlohmann::ordered_json ensemble_json(const EnsembleFile& ens, bool shared_grid,
                                     const CollectFigures& fig,
                                     const std::vector<MemberResult>& res, const Tally& t,
                                     const RunoutSpread& spread) {
    using Json = nlohmann::ordered_json;
    Json j = {{"ensemble_file", ens.text},
              {"base", ens.base_path},
              {"sampling", sampling_name(ens.sampling)},
              {"seed", ens.seed},
              {"shared_grid", shared_grid}};
    j["counts"] = {{"members", fig.members},
                   {"used", fig.used},
                   {"failed", fig.failed},
                   {"unstable", fig.unstable},
                   {"not_run", fig.missing}};
    j["failed"] = Json::array();
    for (const auto& mr : res)
        if (mr.use == "failed" || mr.use == "mismatch")
            j["failed"].push_back({{"member", mr.member->index}, {"why", mr.why}});
    j["unstable"] = t.unstable;
    j["not_run"] = t.missing;
    Json p3 = Json::array(), p2 = Json::array();
    for (double v : ens.p3_thresholds) p3.push_back(nine_digits(v));
    for (double v : ens.p2_thresholds) p2.push_back(nine_digits(v));
    j["thresholds_kpa"] = {{"p3", p3}, {"p2", p2}};
    for (const HeightThresholds& h : ens.at_height) {
        Json p = Json::array();
        for (double v : h.p_kpa) p.push_back(nine_digits(v));
        j["thresholds_kpa"]["at_height"].push_back({{"z_m", nine_digits(h.z_m)}, {"p", p}});
    }
    const std::vector<double>& sorted = spread.sorted;
    Json runout = {{"members", sorted.size()}, {"no_runout", spread.no_runout}};
    for (double p : {5, 10, 25, 50, 75, 90, 95})
        runout["p" + number_text(p)] = sorted.empty() ? Json() : nine_digits(percentile(sorted, p));
    j["runout_m"] = runout;
    return j;
}

// ---- The files.

// members.csv: every member, its varied values, its use and its figures.
std::string members_csv(const EnsembleFile& ens, const std::vector<MemberResult>& res) {
    std::ostringstream o;
    o << "member,hash";
    for (const auto& v : ens.vary) o << "," << v.name << (v.local() ? "[factor]" : "");
    o << ",use,exit_status,stop_reason,runout[m],runout_at_track_end,max_p2[kPa],max_p3[kPa],"
         "onset_time[s],onset_cell\n";
    for (const auto& mr : res) {
        const Member& m = *mr.member;
        o << m.index << "," << m.hash;
        for (std::size_t j = 0; j < ens.vary.size(); ++j)
            o << "," << (ens.vary[j].word ? m.values.words[j] : number_text(m.values.numbers[j]));
        o << "," << mr.use << ",";
        if (mr.state.finished) o << mr.state.exit_status;
        o << "," << mr.state.stop_reason << ",";
        if (mr.runout) o << number_text(*mr.runout);
        o << "," << (mr.use == "used" ? (mr.runout_at_end ? "yes" : "no") : "") << ",";
        if (mr.use == "used")
            o << number_text(mr.max_p2) << "," << number_text(mr.max_p3);
        else
            o << ",";
        o << ",";
        if (mr.state.onset)
            o << number_text(mr.state.onset_time) << "," << mr.state.onset_cell;
        else
            o << ",";
        o << "\n";
    }
    return o.str();
}

// exceedance.csv: the table under the comment lines, the cell index as a
// whole number and every other value in nine digits.
std::string exceedance_csv(const inspect::ExceedanceTable& table, const std::string& head) {
    std::ostringstream o;
    o << head;
    for (std::size_t k = 0; k < table.columns.size(); ++k)
        o << (k ? "," : "") << table.columns[k].header;
    o << "\n";
    for (const std::vector<double>& row : table.rows) {
        o << static_cast<int>(row[0]);
        for (std::size_t k = 1; k < row.size(); ++k) o << "," << number_text(row[k]);
        o << "\n";
    }
    return o.str();
}

// runout.csv: per limit, every used member's run-out, ranked by its
// horizontal distance from the top, with whether the run decides it; the
// comment lines say per limit how many members reach it, how many decide it
// and the percentiles, and when none decides it why.
std::string runout_csv(const std::vector<RunoutSummary>& table, const ZoneSet& zones,
                       const std::string& head) {
    std::ostringstream o;
    o << head << "# zones: " << describe_zone_set(zones)
      << "; limits: the zones' lower bounds and the [thresholds] of both layers\n";
    std::string rows;
    for (const RunoutSummary& s : table) {
        o << "# " << s.name << ": reached by " << s.reached << ", never by " << s.never
          << ", determined for " << s.decided << "; horizontal run-out [m]";
        for (auto [p, v] : {std::pair{5.0, s.p5}, {50.0, s.p50}, {95.0, s.p95}})
            o << " p" << p << "=" << number_text(v);
        o << "\n";
        if (s.reached > 0 && s.decided == 0)
            o << "# " << s.name << ": no member decides it: " << s.why << "\n";
        for (const RunoutRow& row : s.rows) {
            const Runout& r = *row.runout;
            const MemberResult& mr = *row.member;
            rows += std::string(runout_quantity_name(r.limit.quantity)) + "," +
                    number_text(r.limit.threshold) + "," + std::to_string(mr.member->index) + "," +
                    std::to_string(row.rank) + "," + number_text(row.fraction) + "," +
                    std::to_string(r.cell) + "," + number_text(r.path_m) + "," +
                    number_text(r.horizontal_m) + "," + number_text(mr.top_elevation - r.drop_m) +
                    "," + number_text(r.angle_deg) + "," + (r.determined ? "yes" : "no") + "," +
                    inspect::csv_field(r.reason) + "\n";
        }
    }
    o << "quantity,threshold[kPa],member,rank,fraction_at_or_below,cell,s_path[m],s_horizontal[m],"
         "elevation[m],angle[deg],determined,reason\n"
      << rows;
    return o.str();
}

// fronts.csv: every used member's front at every dump.
std::string fronts_csv(const std::vector<MemberResult>& res, const std::string& head) {
    std::ostringstream o;
    o << head << "member,time[s],front[m]\n";
    for (const auto& mr : res)
        for (const auto& f : mr.front) {
            o << mr.member->index << "," << number_text(f.time) << ",";
            if (f.present()) o << number_text(f.path_length);
            o << "\n";
        }
    return o.str();
}

// Writes `text` as `name` in `out`; a refusal marks the figures.
std::string write_file(Folder& out, const char* name, const std::string& text,
                       CollectFigures& fig) {
    auto err = out.write(name, text);
    if (!err.empty()) fig.write_failed = true;
    return err;
}

}  // namespace

std::string collect(const std::string& dir, CollectFigures& fig,
                    std::vector<std::string>* export_notes) {
    Plan plan;
    if (auto err = load_plan(dir, plan); !err.empty()) return err;
    const EnsembleFile& ens = plan.ensemble;
    fig = CollectFigures{};
    Folder out;
    if (auto err = Folder::open(dir, false, out); !err.empty()) return err;
    fig.members = static_cast<int>(plan.members.size());

    const std::vector<RunoutLimit> limits = runout_table_limits(ens);
    std::vector<MemberResult> res = read_members(dir, plan, limits);
    std::optional<ResultData> reference;
    if (auto err = match_grids(dir, res, reference); !err.empty()) return err;
    const Tally t = tally(res);
    fig.used = static_cast<int>(t.used.size());
    fig.failed = static_cast<int>(t.failed.size());
    fig.unstable = static_cast<int>(t.unstable.size());
    fig.missing = static_cast<int>(t.missing.size());
    const std::string head = table_head(fig, t);

    if (auto err = write_file(out, "members.csv", members_csv(ens, res), fig); !err.empty())
        return err;
    std::optional<inspect::ExceedanceTable> table;
    if (reference) {
        const double top = first_elevation(
            (fs::path(dir) / plan.members[t.used[0]].folder / "member.cmd").string());
        table = exceedance_table(dir, ens, *reference, top, res, fig, t);
        if (auto err = write_file(out, "exceedance.csv", exceedance_csv(*table, head), fig);
            !err.empty())
            return err;
    } else {
        out.remove("exceedance.csv");
    }
    const std::vector<RunoutSummary> runouts = runout_tables(res, limits);
    if (auto err = write_file(out, "runout.csv", runout_csv(runouts, ens.zones, head), fig);
        !err.empty())
        return err;
    if (auto err = write_file(out, "fronts.csv", fronts_csv(res, head), fig); !err.empty())
        return err;
    const nlohmann::ordered_json json =
        ensemble_json(ens, plan.shared_grid, fig, res, t, runout_spread(res));
    if (auto err = write_file(out, "ensemble.json", support::json_text(json, 2) + "\n", fig);
        !err.empty())
        return err;
    if (export_notes) *export_notes = export_exceedance(dir, table ? &*table : nullptr);
    return "";
}

}  // namespace torla::ensemble
