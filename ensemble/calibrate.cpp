// torla-ensemble calibrate (calibrate.h): the rounds run as ensembles, every
// member scored against the observations, and calibration.csv, best.cmd and
// calibration.json written from them.
#include "ensemble/calibrate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "ensemble/folder.h"
#include "ensemble/slurm.h"
#include "inspect/score.h"
#include "support/json.h"

namespace torla::ensemble {

namespace fs = std::filesystem;

namespace {

constexpr int kDone = 0, kIncomplete = 1, kRefused = 3;

using Options = CalibrateOptions;

struct Evaluated {
    int index = 0, round = 0;
    std::string folder;  // relative to DIR
    std::vector<double> values;
    std::optional<double> misfit;
    // Each observation's term of the misfit as a signed residual (its z,
    // capped as the misfit caps it), in the score's order.
    std::vector<double> residuals;
    std::string note;
};

// Only ranges of numbers can be searched.
std::string check_ranges(const EnsembleFile& ens) {
    if (ens.vary.empty()) return ens.path + ": [vary] names nothing to calibrate";
    for (const Variation& v : ens.vary)
        if (!v.range || v.word)
            return ens.path + ":" + std::to_string(v.line) + ": calibrate searches ranges: give `" +
                   v.name + "' as { min = ..., max = ... } (a factor range for a local column)";
    return "";
}

std::string column_name(const Variation& v) { return v.name + (v.local() ? "[factor]" : ""); }

// Text as a TOML basic string: quotes and backslashes escaped, control
// characters as \uXXXX.
std::string toml_string(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// One ensemble of a round: its folder's name under DIR/rounds/ (round-KK
// for the members that follow the best, region-KK for those that sample
// the accepted region), its seed and its box.
struct Batch {
    std::string name;
    std::uint64_t seed = 0;
    Box box;
    int members = 0;
};

// Seeds of the region batches lie this far from the rounds' own.
constexpr std::uint64_t kRegionSeedOffset = 1000;

Batch round_batch(const EnsembleFile& ens, const char* prefix, std::uint64_t seed_offset, int round,
                  const Box& box, int members) {
    char name[32];
    std::snprintf(name, sizeof name, "%s-%02d", prefix, round);
    return Batch{name, ens.seed + seed_offset + static_cast<std::uint64_t>(round), box, members};
}

// The ensemble file of one batch: the calibration file's base, a latin
// hypercube of its members over its box, with its seed.
std::string round_file_text(const EnsembleFile& ens, const Batch& batch, int round) {
    const Box& box = batch.box;
    std::ostringstream t;
    t << "# Round " << round << " (" << batch.name
      << ") of torla-ensemble calibrate, written by it.\n";
    t << "base = " << toml_string(fs::absolute(ens.base_path).lexically_normal().string()) << "\n";
    t << "members = " << batch.members << "\nsampling = \"latin-hypercube\"\nseed = " << batch.seed
      << "\n[vary]\n";
    for (std::size_t i = 0; i < ens.vary.size(); ++i) {
        const std::string range =
            "{ min = " + number_text(box.min[i]) + ", max = " + number_text(box.max[i]) + " }";
        t << ens.vary[i].name << " = "
          << (ens.vary[i].local() ? "{ factor = " + range + " }" : range) << "\n";
    }
    return t.str();
}

// The misfit of one member's result, or why there is none.
void score_member(const std::string& result, const inspect::Observations& obs, Evaluated& e) {
    inspect::RunViewOptions vo;
    vo.zones = inspect::score_zones(obs);
    ResultReader reader;
    ResultTables r;
    inspect::RunView v;
    inspect::Score s;
    std::string err = reader.open(result, r);
    if (err.empty()) err = inspect::read_run_view(reader, r, result, vo, v);
    if (err.empty()) err = inspect::score_run(r, v, obs, s, result);
    if (err.empty()) {
        e.misfit = s.misfit;
        for (const inspect::ScoreItem& item : s.items)
            e.residuals.push_back(std::copysign(std::sqrt(item.misfit_term), item.z.value_or(1.0)));
    } else
        e.note = err;
}

// Runs the plan of one round with the chosen engine.
std::string run_round(const std::string& dir, const Plan& plan, const std::string& program,
                      const Options& o) {
    const std::string bin_dir = fs::path(program).parent_path().string();
    if (o.engine == "local") {
        LocalOptions local;
        local.jobs = o.jobs;
        run_local(dir, plan, bin_dir, local);
        return "";
    }
    std::string job;
    if (std::string err = submit_slurm(dir, plan, program, o.slurm, job); !err.empty()) return err;
    return wait_slurm(o.slurm, job);
}

// Prepares, runs (or resumes) and scores one batch of a round; its members
// join `all`.
std::string run_round_of(const EnsembleFile& ens, const Batch& batch, int round,
                         const inspect::Observations& obs, const std::string& program,
                         const Options& o, std::vector<Evaluated>& all) {
    const std::string& name = batch.name;
    Folder top, rounds;
    std::string err = Folder::open(o.dir, false, top);
    if (err.empty()) err = top.sub("rounds", true, rounds);
    if (err.empty()) err = rounds.write(name + ".toml", round_file_text(ens, batch, round));
    if (!err.empty()) return err;
    const fs::path file = fs::path(o.dir) / "rounds" / (name + ".toml");
    const std::string dir = (fs::path(o.dir) / "rounds" / name).string();
    Plan plan;
    const std::string bin_dir = fs::path(program).parent_path().string();
    if (err = prepare(file.string(), dir, bin_dir, plan, o.jobs); !err.empty()) return err;
    err = run_round(dir, plan, program, o);
    die_of_stop_signal();  // stopped: the members left unfinished are run when calibrate is run
                           // again
    if (!err.empty()) return err;
    for (const Member& m : plan.members) {
        Evaluated e;
        e.index = static_cast<int>(all.size());
        e.round = round;
        e.folder = "rounds/" + name + "/" + m.folder;
        e.values = m.values.numbers;
        const MemberState st = member_state(dir, m);
        if (!st.finished)
            e.note = "not run";
        else if (st.exit_status != 0)
            e.note = "the run ended with status " + std::to_string(st.exit_status) + " (" +
                     st.stop_reason + ")";
        else
            score_member((fs::path(dir) / m.folder / "member.res").string(), obs, e);
        all.push_back(std::move(e));
    }
    return "";
}

const Evaluated* best_of(const std::vector<Evaluated>& all);

// The box of round k: around the surrogate's minimum within the box of the
// same width around the best member, else around the best member; `how`
// says which. Empty when no member so far has a misfit.
std::optional<Box> next_box(const EnsembleFile& ens, const std::vector<Evaluated>& all, int k,
                            std::string& how) {
    const Evaluated* best = best_of(all);
    if (!best) return std::nullopt;
    std::vector<std::vector<double>> points;
    std::vector<double> misfits;
    std::vector<std::vector<double>> residuals;
    for (const Evaluated& e : all)
        if (e.misfit)
            points.push_back(e.values), misfits.push_back(*e.misfit),
                residuals.push_back(e.residuals);
    const Box around_best = round_box(ens, best->values, k);
    if (auto m = surrogate_minimum(points, misfits, around_best, residuals)) {
        how = "surrogate minimum near the best member";
        return round_box(ens, *m, k);
    }
    how = "best member";
    return around_best;
}

const Evaluated* best_of(const std::vector<Evaluated>& all) {
    const Evaluated* best = nullptr;
    for (const Evaluated& e : all)
        if (e.misfit && (!best || *e.misfit < *best->misfit)) best = &e;
    return best;
}

std::string write_csv(const EnsembleFile& ens, const std::vector<Evaluated>& all,
                      const Folder& dir) {
    std::ostringstream o;
    o << "member";
    for (const Variation& v : ens.vary) o << "," << column_name(v);
    o << ",misfit,round,folder,note\n";
    for (const Evaluated& e : all) {
        o << e.index;
        for (double v : e.values) o << "," << number_text(v);
        o << "," << (e.misfit ? number_text(*e.misfit) : "") << "," << e.round << "," << e.folder
          << "," << inspect::csv_field(e.note) << "\n";
    }
    return dir.write("calibration.csv", o.str());
}

nlohmann::ordered_json parameters_json(const EnsembleFile& ens, const std::vector<double>& values) {
    nlohmann::ordered_json p = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < ens.vary.size(); ++i) p[column_name(ens.vary[i])] = values[i];
    return p;
}

// The scored members' parameters and misfits, and their indices in `all`.
struct Scored {
    std::vector<std::vector<double>> points;
    std::vector<double> misfits;
    std::vector<int> index;
};

Scored scored_of(const std::vector<Evaluated>& all) {
    Scored s;
    for (const Evaluated& e : all)
        if (e.misfit)
            s.points.push_back(e.values), s.misfits.push_back(*e.misfit),
                s.index.push_back(e.index);
    return s;
}

nlohmann::ordered_json accepted_json(const EnsembleFile& ens, const std::vector<Evaluated>& all,
                                     double limit) {
    const Scored s = scored_of(all);
    const Accepted acc = accepted_members(s.points, s.misfits, limit);
    nlohmann::ordered_json a;
    a["misfit_limit"] = limit;
    a["members"] = nlohmann::ordered_json::array();
    for (std::size_t k : acc.members) a["members"].push_back(s.index[k]);
    a["parameters"] = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < acc.span.min.size(); ++i)
        a["parameters"][column_name(ens.vary[i])] = {{"min", acc.span.min[i]},
                                                     {"max", acc.span.max[i]}};
    return a;
}

// A later round gives a share of its members to the accepted region (the
// accepted members so far, widened): the members that follow the best
// crowd around it, and the span of accepted members would otherwise be the
// best's neighbourhood rather than the region the observations allow.
void add_region_batch(const EnsembleFile& ens, const std::vector<Evaluated>& all, double limit,
                      int round, std::vector<Batch>& batches, nlohmann::ordered_json& entry) {
    const Scored s = scored_of(all);
    const Evaluated* best = best_of(all);
    if (!best) return;
    const double below = region_limit(limit, *best->misfit);
    const std::optional<Box> region = region_box(ens, accepted_members(s.points, s.misfits, below));
    const int share = region ? region_share(batches[0].members) : 0;
    if (share == 0) return;
    batches[0].members -= share;
    batches.push_back(round_batch(ens, "region", kRegionSeedOffset, round, *region, share));
    entry["members"] = batches[0].members;
    entry["region"] = {{"members", share},
                       {"misfit_below", below},
                       {"box", {{"min", region->min}, {"max", region->max}}}};
}

// Runs (or resumes) the rounds of the given sizes, each after the one
// before has been scored; their members join `all`, their boxes `rounds`.
std::string run_rounds(const EnsembleFile& ens, const std::vector<int>& sizes,
                       const inspect::Observations& obs, const std::string& program,
                       const Options& o, std::vector<Evaluated>& all,
                       nlohmann::ordered_json& rounds) {
    Box box;
    for (const Variation& v : ens.vary) box.min.push_back(v.min), box.max.push_back(v.max);
    std::string how = "the whole ranges";
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        const int round = static_cast<int>(k);
        if (k > 0) {
            const std::optional<Box> next = next_box(ens, all, round, how);
            if (!next) break;  // no member of the rounds so far could be scored
            box = *next;
        }
        std::vector<Batch> batches{round_batch(ens, "round", 0, round, box, sizes[k])};
        nlohmann::ordered_json entry = {{"round", k},
                                        {"members", sizes[k]},
                                        {"centre", how},
                                        {"box", {{"min", box.min}, {"max", box.max}}}};
        if (k > 0) add_region_batch(ens, all, accepted_misfit(obs.count()), round, batches, entry);
        rounds.push_back(entry);
        for (const Batch& batch : batches)
            if (std::string err = run_round_of(ens, batch, round, obs, program, o, all);
                !err.empty())
                return err;
        if (const Evaluated* b = best_of(all))
            std::fprintf(
                stderr,
                "torla-ensemble: round %zu: %d members, best misfit so far %s (member %d)\n", k,
                sizes[k], number_text(*b->misfit).c_str(), b->index);
    }
    return "";
}

std::string write_results(const EnsembleFile& ens, const inspect::Observations& obs,
                          const Options& o, const std::vector<Evaluated>& all,
                          const nlohmann::ordered_json& rounds) {
    Folder dir;
    if (std::string err = Folder::open(o.dir, false, dir); !err.empty()) return err;
    if (std::string err = write_csv(ens, all, dir); !err.empty()) return err;
    nlohmann::ordered_json j;
    j["calibration_file"] = ens.path;
    j["observations"] = obs.path;
    j["observation_count"] = obs.count();
    j["budget"] = o.budget;
    j["members"] = all.size();
    j["method"] =
        "latin-hypercube rounds over boxes halving in width, centred on the minimum of a quadratic "
        "surrogate of the misfit (Gauss-Newton: the mean square of each observation's residual "
        "fitted linearly to the best members; NLopt BOBYQA), sought within the box around the "
        "best member";
    j["rounds"] = rounds;
    const Evaluated* best = best_of(all);
    if (best) {
        j["best"] = {{"member", best->index},
                     {"round", best->round},
                     {"folder", best->folder},
                     {"misfit", *best->misfit},
                     {"parameters", parameters_json(ens, best->values)}};
        Folder member;
        std::string cmd;
        std::string err = dir.sub(best->folder, false, member);
        if (err.empty()) err = member.read("member.cmd", cmd);
        if (err.empty()) err = dir.write("best.cmd", cmd);
        if (!err.empty()) return "best.cmd: " + err;
    } else {
        j["best"] = nullptr;
    }
    j["accepted"] = accepted_json(ens, all, accepted_misfit(obs.count()));
    return dir.write("calibration.json", support::json_text(j, 2) + "\n");
}

}  // namespace

int calibrate_main(CalibrateOptions o, const std::string& program) {
    EnsembleFile ens;
    std::string err = read_ensemble_file(o.calib_file, ens);
    if (!err.empty()) err = o.calib_file + ": " + err;
    if (err.empty()) err = check_ranges(ens);
    inspect::Observations obs;
    if (err.empty())
        for (const std::string& r : inspect::read_observations(o.observed, obs))
            err += (err.empty() ? "" : "\n") + r;
    if (!err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", inspect::plain_text(err).c_str());
        return kRefused;
    }
    if (o.budget == 0) o.budget = ens.members;
    // One calibration at a time on a folder: the lock is held until this process ends.
    Folder held;
    std::string lock_err = Folder::open(o.dir, true, held);
    if (lock_err.empty() && lock_folder(held, lock_err) < 0 && lock_err.empty())
        lock_err = "cannot lock " + o.dir;
    if (!lock_err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", inspect::plain_text(lock_err).c_str());
        return kIncomplete;
    }
    const std::vector<int> sizes = calibration_rounds(o.budget, static_cast<int>(ens.vary.size()));
    std::vector<Evaluated> all;
    nlohmann::ordered_json rounds = nlohmann::ordered_json::array();
    err = run_rounds(ens, sizes, obs, program, o, all, rounds);
    if (std::string w = write_results(ens, obs, o, all, rounds); !w.empty())
        err += (err.empty() ? "" : "; ") + w;
    if (!err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", inspect::plain_text(err).c_str());
        return kIncomplete;
    }
    const Evaluated* best = best_of(all);
    std::printf("%zu members in %zu rounds; best member %d, misfit %s; results in %s\n", all.size(),
                sizes.size(), best ? best->index : -1,
                best ? number_text(*best->misfit).c_str() : "none", o.dir.c_str());
    return best ? kDone : kIncomplete;
}

}  // namespace torla::ensemble
