// The members' command files (the base with the varied keys written in),
// their check, their folders, the plan of an ensemble folder, and one
// member's run.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "ensemble/ensemble.h"
#include "ensemble/folder.h"
#include "input/command_file.h"
#include "input/command_writer.h"
#include "input/input.h"
#include "model/bytes.h"
#include "model/height_pressure.h"
#include "support/process.h"
#include "support/run_files.h"

namespace torla::ensemble {

namespace fs = std::filesystem;

namespace {

// Keys whose value reaches the grid generator: varying one gives every
// member its own grid.
bool changes_grid(const Variation& v) {
    static const char* keys[] = {"Elem_Size",   "Max_Dev",     "Ref_Radius",
                                 "Grid_Method", "Spline_Type", "Susp_Rate"};
    if (v.local()) return true;
    for (const char* k : keys)
        if (v.name == k) return true;
    return false;
}

// The member's folder, opened without following a link.
std::string member_dir(const std::string& dir, const Member& m, Folder& out, bool create = false) {
    Folder top;
    if (auto err = Folder::open(dir, false, top); !err.empty()) return err;
    return top.sub(m.folder, create, out);
}

// Runs a program in a folder, its output into out_name there; returns the
// exit status, or 128 + signal.
int run_program(const Folder& folder, const std::vector<std::string>& args,
                const std::string& out_name) {
    const int out = folder.create(out_name);
    if (out < 0) return 127;
    const pid_t pid = spawn_member_process(folder.fd(), args, out);
    close(out);
    return pid < 0 ? 127 : support::exit_code(support::wait_for(pid));
}

// What the reader refuses in a command file: the line and the message.
std::string refusal_of(const CommandFile& f) {
    const CommandFileRefusal& r = *f.refusal;
    return (r.line > 0 ? "line " + std::to_string(r.line) + ": " : std::string()) + r.message;
}

}  // namespace

std::string parse_base(const std::string& text, BaseFile& base, const std::string& name) {
    base.file = parse_command_file(name, std::vector<unsigned char>(text.begin(), text.end()));
    return base.file.ok() ? "" : refusal_of(base.file);
}

std::string member_peak_heights(const BaseFile& base, const EnsembleFile& ens, std::string& list) {
    list.clear();
    if (ens.at_height.empty()) return "";
    // Merged with the base's own peaks over height, so that its product
    // keeps every height it had.
    std::vector<double> heights;
    const RunParameters& par = base.file.par;
    if (par.Height_Peaks == "on" &&
        !parse_height_list(par.Peak_Heights.empty() ? kDefaultPeakHeights : par.Peak_Heights,
                           heights)
             .empty())
        heights.clear();
    for (const HeightThresholds& h : ens.at_height) heights.push_back(h.z_m);
    std::sort(heights.begin(), heights.end());
    heights.erase(std::unique(heights.begin(), heights.end()), heights.end());
    for (double z : heights) {
        if (!list.empty()) list += ',';
        list += number_text(z);
    }
    std::vector<double> checked;
    std::string err = parse_height_list(list, checked);
    const std::string line = "Peak_Heights " + list;
    if (err.empty() && line.size() > kMaxLine)
        err = "its line has " + std::to_string(line.size()) + " characters, more than the " +
              std::to_string(kMaxLine) + " of a command file's line";
    if (err.empty()) return "";
    const HeightThresholds& first = ens.at_height.front();
    return "line " + std::to_string(first.line) + ", column " + std::to_string(first.column) +
           ": at_height: the members' Peak_Heights `" + list + "' (with the base's) are " +
           "refused as torla refuses them: " + err;
}

std::string effective_command_file(const BaseFile& base, const EnsembleFile& ens,
                                   const MemberValues& v) {
    CommandDocument doc(base.file);
    // The peaks over height the exceedance at heights needs, after the
    // base's own lines of the keys so that they win (prepare checked them).
    if (std::string list; member_peak_heights(base, ens, list).empty() && !list.empty()) {
        doc.set_parameter("Height_Peaks", "on");
        doc.set_parameter("Peak_Heights", list);
    }
    for (std::size_t j = 0; j < ens.vary.size(); ++j) {
        const Variation& var = ens.vary[j];
        if (!var.local())
            doc.set_parameter(var.name, var.word ? v.words[j] : number_text(v.numbers[j]));
    }
    for (std::size_t j = 0; j < ens.vary.size(); ++j)
        if (ens.vary[j].local())
            doc.scale_local_column(ens.vary[j].column, v.numbers[j],
                                   [](double x) { return number_text(x); });
    return doc.text();
}

// The scratch folder of this process's checks: a folder of its own in the
// tool's private scratch folder, where the generator runs on the base's
// generator input.
std::string check_folder(std::string& err) {
    const std::string root = scratch_folder(err);
    if (root.empty()) return "";
    const std::string mine = root + "/" + std::to_string(getpid());
    if (mkdir(mine.c_str(), 0700) != 0 && errno != EEXIST) {
        err = "cannot create the scratch folder " + mine + ": " + std::strerror(errno);
        return "";
    }
    return mine;
}

namespace {

// The generator, as torla runs it, on the input the command file gives, in
// this process's scratch folder.
std::string run_generator(const CommandFile& f, const std::string& generator) {
    std::string err;
    const std::string scratch = check_folder(err);
    if (scratch.empty()) return err;
    if (err = write_generator_input(scratch + "/" + kGridFile, f.generator); !err.empty())
        return "cannot write the generator input: " + err;
    Folder folder;
    if (err = Folder::open(scratch, false, folder); !err.empty()) return err;
    const int st = run_program(folder, {generator, kGridFile, kGeneratorTag}, "generator.out");
    if (st == 0) return "";
    std::string out;
    folder.read("generator.out", out, 1 << 20);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    const std::size_t nl = out.rfind('\n');
    return "the grid generator refuses it (status " + std::to_string(st) + ")" +
           (out.empty() ? "" : ": " + out.substr(nl == std::string::npos ? 0 : nl + 1));
}

// One member to write: its folder, command file and information file. The
// command file is made again where it is written, so that no more than one
// is held at a time.
struct Pending {
    int index;
    bool cmd_there;  // member.cmd already holds its command file
};
struct Writing {
    const Folder* members;  // DIR/members
    const Plan* plan;
    const BaseFile* base;
    std::string info;
};

// Writes one member's folder and checks its command file; returns an empty
// string or why the ensemble is refused. The information file comes last:
// a folder counts as prepared only when both files are right, so a member
// stopped between its write and its check is checked again.
std::string write_member(const Writing& w, const Pending& p) {
    const Member& m = w.plan->members[static_cast<std::size_t>(p.index)];
    const std::string name = fs::path(m.folder).filename().string();
    Folder folder;
    if (auto err = w.members->sub(name, true, folder); !err.empty()) return err;
    if (!p.cmd_there)
        if (auto err = folder.write("member.cmd",
                                    effective_command_file(*w.base, w.plan->ensemble, m.values));
            !err.empty())
            return err;
    if (auto err = check_command_file(folder.path() + "/member.cmd"); !err.empty()) {
        folder.remove("member.cmd");
        unlinkat(w.members->fd(), name.c_str(), AT_REMOVEDIR);
        return "member " + std::to_string(p.index) + ": torla refuses its command file: " + err;
    }
    return folder.write("member.info", w.info);
}

// Writes and checks the pending members in `jobs` threads at once, each
// taking every jobs-th member and stopping at its first refusal; returns the
// refusal of the lowest member, as one thread going through them in order
// would.
std::string write_members(const Writing& wr, const std::vector<Pending>& pending, int jobs) {
    const std::size_t workers =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(1, jobs)), pending.size());
    struct Refusal {
        int index = -1;
        std::string why;
    };
    std::vector<Refusal> first(workers);
    auto work = [&](std::size_t k) {
        for (std::size_t i = k; i < pending.size() && !stop_signal(); i += workers) {
            try {
                if (auto err = write_member(wr, pending[i]); !err.empty())
                    first[k] = {pending[i].index, err};
            } catch (const std::exception& e) {
                first[k] = {pending[i].index, std::string("member ") +
                                                  std::to_string(pending[i].index) +
                                                  " could not be written: " + e.what()};
            }
            if (!first[k].why.empty()) return;
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t k = 1; k < workers; ++k) threads.emplace_back(work, k);
    if (workers > 0) work(0);
    for (auto& t : threads) t.join();
    if (stop_signal()) return "interrupted";
    const Refusal* lowest = nullptr;
    for (const auto& r : first)
        if (!r.why.empty() && (!lowest || r.index < lowest->index)) lowest = &r;
    return lowest ? lowest->why : "";
}

}  // namespace

std::string check_command_file(const std::string& path, const std::string& generator) {
    const CommandFile f = load_command_file(path);
    if (!f.ok()) return refusal_of(f);
    return generator.empty() ? "" : run_generator(f, generator);
}

std::string member_folder_name(int index, int count, const std::string& hash) {
    int width = 4;
    for (int n = count - 1; n >= 10000; n /= 10) ++width;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*d", width, index);
    return std::string(buf) + "-" + hash.substr(0, 12);
}

namespace {

// The grid of member 0, made once in a fresh DIR/grid/ (whatever stood there
// is removed, not followed); the folder's `knotline' hands it to every member
// whose generator input is the same, and runs the real generator for any
// other.
std::string make_shared_grid(const Folder& top, const Plan& plan, const std::string& abs_bin) {
    std::error_code ec;
    fs::remove_all(fs::path(top.path()) / "grid", ec);
    Folder grid;
    if (auto err = top.sub("grid", true, grid); !err.empty()) return err;
    const CommandFile f0 =
        load_command_file((fs::path(top.path()) / plan.members[0].folder / "member.cmd").string());
    if (!f0.ok()) return "cannot write the generator input of the shared grid: " + refusal_of(f0);
    if (auto err = write_generator_input(grid.path() + "/" + kGridFile, f0.generator); !err.empty())
        return "cannot write the generator input of the shared grid: " + err;
    std::string input, cache;
    if (auto err = grid.read(kGridFile, input); !err.empty())
        return "cannot keep the generator input of the shared grid: " + err;
    if (auto err = grid.write("input.tmp", input); !err.empty()) return err;
    const int st =
        run_program(grid, {abs_bin + "/knotline", kGridFile, kGeneratorTag}, "knotline.out");
    if (st != 0) return "knotline fails on the shared grid (status " + std::to_string(st) + ")";
    if (auto err = grid.rename(kGridFile, "grid.tmp"); !err.empty())
        return "cannot keep the shared grid: " + err;
    if (auto err = grid.write("generator", abs_bin + "/knotline\n"); !err.empty()) return err;
    if (auto err = read_regular_file(abs_bin + "/torla-grid-cache", kMaxFolderFile, cache);
        !err.empty())
        return "cannot place `torla-grid-cache' as the shared grid's generator: " + err;
    return grid.write("knotline", cache, 0755);
}

bool is_hash(const std::string& h) {
    return h.size() == 64 && h.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The ensemble file and its base command file, read and checked before
// anything is written, with what the output folder's name and the members'
// number allow; "" or why the input is refused.
std::string read_inputs(const std::string& ensemble_path, const std::string& abs_dir,
                        const std::string& abs_bin, EnsembleFile& ens, BaseFile& base) {
    if (auto err = read_ensemble_file(ensemble_path, ens); !err.empty())
        return ensemble_path + ": " + err;
    std::string base_text;
    if (auto err = read_regular_file(ens.base_path, kMaxTextInput, base_text); !err.empty())
        return ensemble_path + ": cannot read the base command file `" + ens.base_path +
               "': " + err;
    if (auto err = parse_base(base_text, base, ens.base_path); !err.empty())
        return ens.base_path + ": not a valid command file: " + err;
    std::string heights;
    if (auto err = member_peak_heights(base, ens, heights); !err.empty())
        return ensemble_path + ": " + err;
    if (abs_dir.size() > kMaxFolderName)
        return "the output folder `" + abs_dir + "' has a name of " +
               std::to_string(abs_dir.size()) +
               " characters; the members' information files hold it on a line, which allows " +
               std::to_string(kMaxFolderName);
    // What the members hold in memory while they are prepared (measured: 50
    // MB at 60000 members of one varied key, 19 MB at 20000): refused before
    // anything is written where it would not fit.
    const double bytes =
        static_cast<double>(ens.members) * (800.0 + 48.0 * static_cast<double>(ens.vary.size()));
    if (bytes > kMaxPlanBytes)
        return ensemble_path + ": " + std::to_string(ens.members) + " members of " +
               std::to_string(ens.vary.size()) + " varied keys need about " +
               std::to_string(static_cast<long long>(bytes / 1048576)) +
               " MB to prepare, more than the " +
               std::to_string(static_cast<long long>(kMaxPlanBytes / 1048576)) +
               " MB allowed; split the ensemble";
    if (auto err = check_command_file(ens.base_path, abs_bin + "/knotline"); !err.empty())
        return ens.base_path + ": not a valid command file: " + err;
    return "";
}

// Every member of the plan, its command file's hash and its folder, with
// a line of plan_text each; those whose folder does not already hold its
// files as they should be are pending.
std::vector<Pending> list_members(const BaseFile& base, const Folder& members,
                                  const std::string& info, Plan& plan,
                                  std::ostringstream& plan_text) {
    const EnsembleFile& ens = plan.ensemble;
    const auto values = sample_members(ens);
    std::vector<Pending> pending;
    for (int i = 0; i < ens.members; ++i) {
        Member m;
        m.index = i;
        m.values = values[i];
        const std::string cmd = effective_command_file(base, ens, m.values);
        m.hash = sha256_hex(cmd);
        const std::string name = member_folder_name(i, ens.members, m.hash);
        m.folder = "members/" + name;
        Folder f;
        std::string have_cmd, have_info;
        const bool there = members.sub(name, false, f).empty();
        const bool cmd_there = there && f.read("member.cmd", have_cmd).empty() && have_cmd == cmd;
        const bool info_there =
            there && f.read("member.info", have_info).empty() && have_info == info;
        if (!cmd_there || !info_there) pending.push_back({i, cmd_there});
        plan_text << "member " << i << " " << m.hash << " " << m.folder << "\n";
        plan.members.push_back(std::move(m));
    }
    return pending;
}

}  // namespace

std::string prepare(const std::string& ensemble_path, const std::string& dir,
                    const std::string& bin_dir, Plan& plan, int jobs) {
    plan = Plan{};
    struct ScratchGuard {
        ~ScratchGuard() { remove_scratch(); }
    } guard;
    const std::string abs_dir = fs::absolute(dir).lexically_normal().string();
    const std::string abs_bin = fs::absolute(bin_dir).lexically_normal().string();
    BaseFile base;
    if (auto err = read_inputs(ensemble_path, abs_dir, abs_bin, plan.ensemble, base);
        !err.empty()) {
        plan.refused = true;  // a refusal of the input (status 3), not a file left unwritten
        return err;
    }
    const EnsembleFile& ens = plan.ensemble;
    plan.shared_grid = true;
    for (const auto& v : ens.vary) plan.shared_grid = plan.shared_grid && !changes_grid(v);

    Folder top, members;
    if (auto err = Folder::open(dir, true, top); !err.empty()) return err;
    if (auto err = top.sub("members", true, members); !err.empty()) return err;
    const std::string prefix = (plan.shared_grid ? abs_dir + "/grid" : abs_bin) + "/";
    std::ostringstream plan_text;
    plan_text << "torla-ensemble plan\nbase " << ens.base_path << "\nshared_grid "
              << plan.shared_grid << "\n";
    // The members' files: only those not already right are written, and
    // every command file written is checked the way torla reads it, in
    // several processes at once.
    const std::string info = "member.cmd\nmember.res\n" + prefix + "\n";
    const std::vector<Pending> pending = list_members(base, members, info, plan, plan_text);
    if (auto err = write_members({&members, &plan, &base, info}, pending, jobs); !err.empty()) {
        plan.refused = err.find(": torla refuses its command file: ") != std::string::npos;
        return err;
    }
    if (plan.shared_grid)
        if (auto err = make_shared_grid(top, plan, abs_bin); !err.empty()) return err;
    if (stop_signal()) return "interrupted";
    if (auto err = top.write("ensemble.toml", ens.text); !err.empty()) return err;
    return top.write("plan.txt", plan_text.str());
}

std::string load_plan(const std::string& dir, Plan& plan) {
    plan = Plan{};
    const std::string plan_path = (fs::path(dir) / "plan.txt").string();
    Folder top;
    std::string text, toml;
    if (!Folder::open(dir, false, top).empty() || !top.read("plan.txt", text).empty() ||
        text.rfind("torla-ensemble plan\n", 0) != 0)
        return "`" + dir + "' holds no ensemble (no plan.txt)";
    const std::string toml_path = (fs::path(dir) / "ensemble.toml").string();
    if (auto err = top.read("ensemble.toml", toml, kMaxEnsembleFile); !err.empty()) return err;
    if (auto err = parse_ensemble_file(toml_path, toml, plan.ensemble); !err.empty())
        return "ensemble.toml of `" + dir + "': " + err;
    const auto values = sample_members(plan.ensemble);
    std::istringstream f(text);
    std::string line;
    for (int n = 1; std::getline(f, line); ++n) {
        std::istringstream w(line);
        std::string word;
        w >> word;
        if (word == "base") {
            plan.ensemble.base_path = line.substr(5);
        } else if (word == "shared_grid") {
            w >> plan.shared_grid;
        } else if (word == "member") {
            Member m;
            w >> m.index >> m.hash >> m.folder;
            if (!w || m.index != static_cast<int>(plan.members.size()) ||
                m.index >= static_cast<int>(values.size()))
                return plan_path + ": line " + std::to_string(n) + ": a member line out of order";
            // A member's folder is the one its index and hash name, inside DIR/members.
            if (!is_hash(m.hash) ||
                m.folder != "members/" + member_folder_name(m.index, plan.ensemble.members, m.hash))
                return plan_path + ": line " + std::to_string(n) + ": member " +
                       std::to_string(m.index) + " names a folder that is not its own";
            m.values = values[m.index];
            plan.members.push_back(std::move(m));
        }
    }
    if (static_cast<int>(plan.members.size()) != plan.ensemble.members)
        return plan_path + ": " + std::to_string(plan.members.size()) + " of " +
               std::to_string(plan.ensemble.members) + " members";
    return "";
}

namespace {

// The tool's note of how the run ended: the plan's hash, an exit status
// (128 + N, a signal, is no ending) and the size the result file had then.
bool read_status(const Folder& f, const Member& m, int& status) {
    std::string text;
    if (!f.read("member.status", text, 4096).empty()) return false;
    std::istringstream in(text);
    std::string key, hash;
    long long bytes = -2;
    if (!(in >> key >> hash) || key != "hash" || hash != m.hash || !(in >> key >> status) ||
        key != "exit_status" || status < 0 || status >= 128)
        return false;
    if (in >> key >> bytes && key == "result_bytes" && f.size_of("member.res") != bytes)
        return false;
    // A result deleted or cut since: the member runs again.
    return status != 0 || f.size_of("member.res") >= 0;
}

}  // namespace

MemberState member_state(const std::string& dir, const Member& m) {
    MemberState st;
    Folder f;
    int status = -1;
    if (!member_dir(dir, m, f).empty() || !read_status(f, m, status)) return st;
    st.finished = true;
    st.exit_status = status;
    st.stop_reason = support::stop_reason_of_status(status);
    // The run record torla leaves beside the result: it must name the same
    // command file (its SHA-256) and an ending that was not an interruption.
    std::string record;
    if (f.read(support::record_path_of("member.res"), record).empty()) {
        try {
            const auto j = nlohmann::json::parse(record);
            const auto& cmd = j.at("command_file");
            if (cmd.at("sha256").get<std::string>() != m.hash ||
                j.value("stop_reason", "") == "interrupted" ||
                j.value("exit_status", -1) != status) {
                st = MemberState{};
                return st;
            }
            st.stop_reason = j.value("stop_reason", st.stop_reason);
            if (j.contains("onset") && j["onset"].is_object()) {
                st.onset = true;
                st.onset_time = j["onset"].value("time_s", 0.0);
                st.onset_cell = j["onset"].value("cell", -1);
            }
        } catch (const nlohmann::json::exception&) {
            st = MemberState{};  // a record that cannot be read: run the member again
        }
    }
    return st;
}

pid_t start_member(const std::string& dir, const Member& m, const std::string& bin_dir) {
    Folder f;
    if (!member_dir(dir, m, f).empty()) return -1;
    f.remove("member.status");
    const int out = f.create("member.out");
    if (out < 0) return -1;
    const pid_t pid = spawn_member_process(
        f.fd(), {fs::absolute(bin_dir).string() + "/torla", "member.info"}, out);
    close(out);
    return pid;
}

int finish_member(const std::string& dir, const Member& m, int wait_status) {
    const int st = support::exit_code(wait_status);
    Folder f;
    if (!member_dir(dir, m, f).empty()) return st;
    // Written whole under a temporary name and renamed: a status is either
    // there complete or not at all, and the member then runs again.
    f.write("member.status", "hash " + m.hash + "\nexit_status " + std::to_string(st) +
                                 "\nresult_bytes " + std::to_string(f.size_of("member.res")) +
                                 "\n");
    return st;
}

int run_member(const std::string& dir, const Member& m, const std::string& bin_dir) {
    const pid_t pid = start_member(dir, m, bin_dir);
    return finish_member(dir, m, pid > 0 ? support::wait_for(pid) : 127 << 8);
}

}  // namespace torla::ensemble
