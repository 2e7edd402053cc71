// The members' command files (the base with the varied keys written in),
// their check, their folders, the plan of an ensemble folder, and one
// member's run.
#include <fcntl.h>
#include <sys/mman.h>
#include <spawn.h>
#include <sys/wait.h>
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

#include <nlohmann/json.hpp>

#include "ensemble/ensemble.h"
#include "input/input.h"

namespace torla::ensemble {

namespace fs = std::filesystem;

namespace {

std::string strip_end(const std::string& line) {
    std::string t = line;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    return t;
}

std::string read_all(const std::string& path, bool& ok) {
    std::ifstream f(path, std::ios::binary);
    ok = static_cast<bool>(f);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Writes a file under a temporary name and renames it, so that a reader
// never sees half of it.
bool write_atomic(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".part";
    {
        std::ofstream f(tmp, std::ios::binary);
        if (!f) return false;
        f << text;
        if (!f) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Keys whose value reaches the grid generator: varying one gives every
// member its own grid.
bool changes_grid(const Variation& v) {
    static const char* keys[] = {"Elem_Size", "Max_Dev", "Ref_Radius", "Grid_Method", "Spline_Type",
                                 "Susp_Rate"};
    if (v.local()) return true;
    for (const char* k : keys)
        if (v.name == k) return true;
    return false;
}

std::string status_path(const std::string& dir, const Member& m) {
    return (fs::path(dir) / m.folder / "member.status").string();
}

int decode(int rc) { return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc); }

// Starts program with arguments in folder, its output into out_file.
pid_t spawn_program(const std::string& folder, const std::vector<std::string>& args,
                    const std::string& out_file) {
    // posix_spawn (a vfork underneath) instead of fork: a member's start
    // copies no page tables of this process.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Runs it and returns the exit status, or 128 + signal.
int run_program(const std::string& folder, const std::vector<std::string>& args,
                const std::string& out_file) {
    const pid_t pid = spawn_program(folder, args, out_file);
    if (pid < 0) return 127;
    int rc = 0;
    while (waitpid(pid, &rc, 0) < 0 && errno == EINTR) {
    }
    return decode(rc);
}

}  // namespace

std::string parse_base(const std::string& text, BaseFile& base) {
    base = BaseFile{};
    std::size_t b = 0;
    while (b < text.size()) {
        std::size_t e = text.find('\n', b);
        e = e == std::string::npos ? text.size() : e + 1;
        base.lines.push_back(text.substr(b, e - b));
        b = e;
    }
    for (const auto& l : base.lines)
        if (l.size() >= 2 && l.compare(l.size() - 2, 2, "\r\n") == 0) {
            base.line_end = "\r\n";
            break;
        }
    int powder = -1;
    for (int i = 0; i < static_cast<int>(base.lines.size()); ++i) {
        const std::string t = strip_end(base.lines[i]);
        if (powder < 0 && t == "| POWDER SNOW GLOBAL PARAMETERS") {
            powder = i;
        } else if (powder >= 0 && base.powder_end < 0 && !t.empty() && t[0] == '|') {
            base.powder_end = i;
        } else if (base.powder_end >= 0 && base.local_header < 0 && t == "| POWDER SNOW LOCAL PARAMETERS") {
            base.local_header = i;
        } else if (base.local_header >= 0) {
            if (!t.empty() && t[0] == '|') break;
            if (!t.empty() && t[0] == '#') continue;
            base.local_rows.push_back(i);
        }
    }
    if (powder < 0) return "it has no line \"| POWDER SNOW GLOBAL PARAMETERS\"";
    if (base.powder_end < 0) return "its powder-snow global parameters are not followed by a section";
    if (base.local_header < 0) return "it has no line \"| POWDER SNOW LOCAL PARAMETERS\"";
    return "";
}

std::string effective_command_file(const BaseFile& base, const EnsembleFile& ens, const MemberValues& v) {
    std::string out;
    bool any_local = false;
    for (const auto& var : ens.vary) any_local = any_local || var.local();
    std::size_t row = 0;
    for (int i = 0; i < static_cast<int>(base.lines.size()); ++i) {
        if (i == base.powder_end) {
            for (std::size_t j = 0; j < ens.vary.size(); ++j) {
                const Variation& var = ens.vary[j];
                if (var.local()) continue;
                out += var.name + " " + (var.word ? v.words[j] : format_value(v.numbers[j])) + base.line_end;
            }
        }
        if (any_local && row < base.local_rows.size() && base.local_rows[row] == i) {
            ++row;
            // The row's words without quotes; the varied columns scaled, the
            // others as they stand.
            std::string t = strip_end(base.lines[i]);
            for (char& c : t)
                if (c == '"') c = ' ';
            std::istringstream words(t);
            std::vector<std::string> w;
            for (std::string x; words >> x;) w.push_back(x);
            for (std::size_t j = 0; j < ens.vary.size(); ++j) {
                const Variation& var = ens.vary[j];
                // Word 0 is the row's index, word 1 place 0 of the table.
                const std::size_t k = static_cast<std::size_t>(var.column) + 1;
                if (!var.local() || k >= w.size()) continue;
                w[k] = format_value(std::strtod(w[k].c_str(), nullptr) * v.numbers[j]);
            }
            std::string line;
            for (std::size_t k = 0; k < w.size(); ++k) {
                if (k) line += " ";
                line += w[k];
            }
            out += line + base.line_end;
            continue;
        }
        out += base.lines[i];
    }
    return out;
}

// The scratch folder of the command-file checks: one per process (the
// reader writes the generator input into its working folder, so two
// processes never share one), made by the first check, removed by
// remove_check_folder.
fs::path check_folder() {
    // In memory where there is a tmpfs: the generator input the reader
    // rewrites at every check then costs no journal.
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK | X_OK) == 0
                              ? fs::path("/dev/shm")
                              : fs::temp_directory_path();
    return base / ("torla-ensemble-check-" + std::to_string(getpid()));
}

void remove_check_folder() {
    std::error_code ec;
    fs::remove_all(check_folder(), ec);
}

namespace {

// torla's message in what a refused check printed: the last line that stops
// the run.
std::string stop_message(const std::string& text) {
    std::istringstream lines(text);
    std::string msg;
    for (std::string l; std::getline(lines, l);)
        if (l.find("STOP") != std::string::npos) msg = l;
    std::size_t b = msg.find_first_not_of(" >");
    msg = b == std::string::npos ? "torla refuses it" : msg.substr(b);
    while (!msg.empty() && (msg.back() == ' ' || msg.back() == '<')) msg.pop_back();
    return msg;
}

// Checks command files in this process, one after another: the reader's
// standard output goes into a file in memory and its working folder is the
// process's scratch folder, both made once, so that a check creates and
// deletes no file (the generator input is rewritten in place).
class Checker {
public:
    ~Checker() {
        if (capture_ >= 0) close(capture_);
    }
    std::string check(const std::string& path) {
        const fs::path scratch = check_folder();
        std::error_code ec;
        if (capture_ < 0) {
            fs::create_directories(scratch, ec);
            if (ec) return "cannot create the scratch folder " + scratch.string();
            capture_ = memfd_create("torla-ensemble-check", MFD_CLOEXEC);
            if (capture_ < 0) return std::string("cannot capture the reader's output: ") + std::strerror(errno);
        }
        if (ftruncate(capture_, 0) != 0) return "cannot capture the reader's output";
        const fs::path home = fs::current_path();
        const std::string abs = fs::absolute(path).string();
        std::fflush(stdout);
        const int saved = dup(1);
        dup2(capture_, 1);
        lseek(capture_, 0, SEEK_SET);
        fs::current_path(scratch, ec);
        int status = 0;
        try {
            ModelState s;
            s.names.command_file = abs;
            read_command_file(s);
        } catch (const RunStop& stop) {
            status = stop.status == 0 ? -1 : stop.status;
        }
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        fs::current_path(home, ec);
        if (status == 0) return "";
        std::string text;
        char buf[4096];
        for (off_t at = 0;;) {
            const ssize_t k = pread(capture_, buf, sizeof buf, at);
            if (k <= 0) break;
            text.append(buf, static_cast<std::size_t>(k));
            at += k;
        }
        return stop_message(text);
    }

private:
    int capture_ = -1;
};

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    return static_cast<bool>(f);
}

// One member to write: its folder, command file and information file.
struct Pending {
    int index;
    fs::path folder;
    std::string cmd, info;
    bool cmd_there;  // member.cmd already holds cmd
};

// Writes one member's folder and checks its command file; returns an empty
// string or why the ensemble is refused. The information file comes last:
// a folder counts as prepared only when both files are right, so a member
// stopped between its write and its check is checked again.
std::string write_member(Checker& checker, const Pending& p) {
    const std::string cmd_path = (p.folder / "member.cmd").string();
    std::error_code ec;
    if (!p.cmd_there) {
        fs::create_directories(p.folder, ec);
        if (!write_file(cmd_path, p.cmd)) return "cannot write `" + cmd_path + "'";
    }
    if (auto err = checker.check(cmd_path); !err.empty()) {
        fs::remove_all(p.folder, ec);
        return "member " + std::to_string(p.index) + ": torla refuses its command file: " + err;
    }
    if (!write_file((p.folder / "member.info").string(), p.info))
        return "cannot write the information file of member " + std::to_string(p.index);
    return "";
}

// Writes and checks the pending members in `jobs` processes at once, each
// taking every jobs-th member and stopping at its first refusal; returns the
// refusal of the lowest member, as one process going through them in order
// would.
std::string write_members(const std::vector<Pending>& pending, int jobs) {
    const int workers = static_cast<int>(std::min<std::size_t>(std::max(1, jobs), pending.size()));
    if (workers <= 1) {
        Checker checker;
        for (const auto& p : pending)
            if (auto err = write_member(checker, p); !err.empty()) return err;
        return "";
    }
    std::fflush(stdout);
    std::fflush(stderr);
    struct Worker {
        pid_t pid = -1;
        int fd = -1;
    };
    std::vector<Worker> w(static_cast<std::size_t>(workers));
    std::string failure;
    for (int k = 0; k < workers; ++k) {
        int fds[2];
        if (pipe(fds) != 0) {
            failure = "cannot start the checks of the members' command files";
            break;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::string report;
            try {
                Checker checker;
                for (std::size_t i = static_cast<std::size_t>(k); i < pending.size() && report.empty();
                     i += static_cast<std::size_t>(workers))
                    if (auto err = write_member(checker, pending[i]); !err.empty())
                        report = std::to_string(pending[i].index) + "\n" + err;
            } catch (const std::exception& e) {
                report = "-1\n" + std::string(e.what());
            }
            remove_check_folder();
            for (std::size_t done = 0; done < report.size();) {
                const ssize_t n = write(fds[1], report.data() + done, report.size() - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            _exit(0);
        }
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            failure = "cannot start the checks of the members' command files";
            break;
        }
        w[static_cast<std::size_t>(k)] = {pid, fds[0]};
    }
    long lowest = -2;
    for (auto& x : w) {
        if (x.pid < 0) continue;
        std::string report;
        char buf[4096];
        for (ssize_t n; (n = read(x.fd, buf, sizeof buf)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            report.append(buf, static_cast<std::size_t>(n));
        }
        close(x.fd);
        int rc = 0;
        while (waitpid(x.pid, &rc, 0) < 0 && errno == EINTR) {
        }
        const std::size_t nl = report.find('\n');
        if (!WIFEXITED(rc) || WEXITSTATUS(rc) != 0) {
            if (failure.empty()) failure = "a check of the members' command files ended abnormally";
        } else if (nl != std::string::npos) {
            const long index = std::strtol(report.c_str(), nullptr, 10);
            if (lowest == -2 || index < lowest) {
                lowest = index;
                failure = report.substr(nl + 1);
            }
        }
    }
    return failure;
}

}  // namespace

std::string check_command_file(const std::string& path) {
    Checker checker;
    return checker.check(path);
}

std::string member_folder_name(int index, int count, const std::string& hash) {
    int width = 4;
    for (int n = count - 1; n >= 10000; n /= 10) ++width;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*d", width, index);
    return std::string(buf) + "-" + hash.substr(0, 12);
}

std::string prepare(const std::string& ensemble_path, const std::string& dir, const std::string& bin_dir,
                    Plan& plan, int jobs) {
    plan = Plan{};
    struct CheckFolderGuard {
        ~CheckFolderGuard() { remove_check_folder(); }
    } guard;
    if (auto err = read_ensemble_file(ensemble_path, plan.ensemble); !err.empty()) return ensemble_path + ": " + err;
    EnsembleFile& ens = plan.ensemble;
    bool ok = false;
    const std::string base_text = read_all(ens.base_path, ok);
    if (!ok) return ensemble_path + ": cannot read the base command file `" + ens.base_path + "'";
    BaseFile base;
    if (auto err = parse_base(base_text, base); !err.empty())
        return ens.base_path + ": not a command file the ensemble can vary: " + err;
    if (auto err = check_command_file(ens.base_path); !err.empty())
        return ens.base_path + ": not a valid command file: " + err;
    plan.shared_grid = true;
    for (const auto& v : ens.vary) plan.shared_grid = plan.shared_grid && !changes_grid(v);

    std::error_code ec;
    fs::create_directories(fs::path(dir) / "members", ec);
    if (ec) return "cannot create `" + dir + "': " + ec.message();
    const std::string abs_dir = fs::absolute(dir).lexically_normal().string();
    const std::string abs_bin = fs::absolute(bin_dir).lexically_normal().string();
    const std::string prefix = (plan.shared_grid ? abs_dir + "/grid" : abs_bin) + "/";

    const auto values = sample_members(ens);
    std::ostringstream plan_text;
    plan_text << "torla-ensemble plan\nbase " << ens.base_path << "\nshared_grid " << plan.shared_grid
              << "\n";
    // The members' files: only those not already right are written, and
    // every command file written is checked the way torla reads it, in
    // several processes at once.
    const std::string info = "member.cmd\nmember.res\n" + prefix + "\n";
    std::vector<Pending> pending;
    for (int i = 0; i < ens.members; ++i) {
        Member m;
        m.index = i;
        m.values = values[i];
        std::string cmd = effective_command_file(base, ens, m.values);
        m.hash = sha256_hex(cmd);
        m.folder = "members/" + member_folder_name(i, ens.members, m.hash);
        const fs::path folder = fs::path(dir) / m.folder;
        bool have_cmd = false, have_info = false;
        const bool cmd_there = read_all((folder / "member.cmd").string(), have_cmd) == cmd && have_cmd;
        const bool info_there = read_all((folder / "member.info").string(), have_info) == info && have_info;
        if (!cmd_there || !info_there) pending.push_back({i, folder, std::move(cmd), info, cmd_there});
        plan_text << "member " << i << " " << m.hash << " " << m.folder << "\n";
        plan.members.push_back(std::move(m));
    }
    if (auto err = write_members(pending, jobs); !err.empty()) return err;

    if (plan.shared_grid) {
        // The grid of member 0, made once; the folder's `knotline' hands it
        // to every member whose generator input is the same, and runs the
        // real generator for any other.
        const fs::path grid = fs::path(dir) / "grid";
        fs::create_directories(grid, ec);
        const std::string cmd0 = fs::absolute(fs::path(dir) / plan.members[0].folder / "member.cmd").string();
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(grid.c_str()) != 0) _exit(127);
            const int fd = open("/dev/null", O_WRONLY);
            dup2(fd, 1);
            close(fd);
            try {
                ModelState s;
                s.names.command_file = cmd0;
                read_command_file(s);
            } catch (const RunStop&) {
                _exit(1);
            }
            std::fflush(stdout);
            _exit(0);
        }
        int rc = 0;
        waitpid(pid, &rc, 0);
        if (!WIFEXITED(rc) || WEXITSTATUS(rc) != 0) return "cannot write the generator input of the shared grid";
        fs::copy_file(grid / kGridFile, grid / "input.tmp", fs::copy_options::overwrite_existing, ec);
        if (ec) return "cannot keep the generator input of the shared grid";
        const int st = run_program(grid.string(), {abs_bin + "/knotline", kGridFile, kGeneratorTag},
                                   (grid / "knotline.out").string());
        if (st != 0) return "knotline fails on the shared grid (status " + std::to_string(st) + ")";
        fs::rename(grid / kGridFile, grid / "grid.tmp", ec);
        if (ec) return "cannot keep the shared grid";
        std::ofstream(grid / "generator") << abs_bin << "/knotline\n";
        fs::copy_file(abs_bin + "/torla-grid-cache", grid / "knotline", fs::copy_options::overwrite_existing, ec);
        if (ec) return "cannot place `torla-grid-cache' as the shared grid's generator: " + ec.message();
    }

    if (!write_atomic((fs::path(dir) / "ensemble.toml").string(), ens.text) ||
        !write_atomic((fs::path(dir) / "plan.txt").string(), plan_text.str()))
        return "cannot write the plan into `" + dir + "'";
    return "";
}

std::string load_plan(const std::string& dir, Plan& plan) {
    plan = Plan{};
    const std::string plan_path = (fs::path(dir) / "plan.txt").string();
    std::ifstream f(plan_path);
    std::string line;
    if (!f || !std::getline(f, line) || line != "torla-ensemble plan")
        return "`" + dir + "' holds no ensemble (no plan.txt)";
    if (auto err = read_ensemble_file((fs::path(dir) / "ensemble.toml").string(), plan.ensemble); !err.empty())
        return "ensemble.toml of `" + dir + "': " + err;
    const auto values = sample_members(plan.ensemble);
    while (std::getline(f, line)) {
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
                return plan_path + ": a member line out of order";
            m.values = values[m.index];
            plan.members.push_back(std::move(m));
        }
    }
    if (static_cast<int>(plan.members.size()) != plan.ensemble.members)
        return plan_path + ": " + std::to_string(plan.members.size()) + " of " +
               std::to_string(plan.ensemble.members) + " members";
    return "";
}

MemberState member_state(const std::string& dir, const Member& m) {
    MemberState st;
    std::ifstream f(status_path(dir, m));
    std::string key, hash;
    int status = -1;
    // The tool's note of how the run ended: with the plan's hash and an exit
    // status (128 + N, a signal, is no ending).
    if (f >> key >> hash && key == "hash" && hash == m.hash && f >> key >> status && key == "exit_status" &&
        status >= 0 && status < 128) {
        st.finished = true;
        st.exit_status = status;
    }
    static const char* reasons[] = {"max_time", "error", "non_finite", "dump_limit", "error", "small_step"};
    if (st.finished) st.stop_reason = status <= 5 ? reasons[status] : "error";
    // The run record torla leaves beside the result: it must name the same
    // command file (its SHA-256) and an ending that was not an interruption.
    std::ifstream rec(fs::path(dir) / m.folder / "member.res.json");
    if (st.finished && rec) {
        try {
            const auto j = nlohmann::json::parse(rec);
            const auto& cmd = j.at("command_file");
            if (cmd.at("sha256").get<std::string>() != m.hash || j.value("stop_reason", "") == "interrupted" ||
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
    const fs::path folder = fs::path(dir) / m.folder;
    std::remove(status_path(dir, m).c_str());
    return spawn_program(folder.string(), {fs::absolute(bin_dir).string() + "/torla", "member.info"},
                         (folder / "member.out").string());
}

int finish_member(const std::string& dir, const Member& m, int wait_status) {
    const int st = decode(wait_status);
    // Written in place: a status cut short by a crash no longer reads as
    // finished, and the member runs again.
    std::ofstream(status_path(dir, m)) << "hash " << m.hash << "\nexit_status " << st << "\n";
    return st;
}

int run_member(const std::string& dir, const Member& m, const std::string& bin_dir) {
    const pid_t pid = start_member(dir, m, bin_dir);
    int rc = 127 << 8;
    if (pid > 0)
        while (waitpid(pid, &rc, 0) < 0 && errno == EINTR) {
        }
    return finish_member(dir, m, rc);
}

}  // namespace torla::ensemble
