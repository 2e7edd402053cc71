// The local engine: the members not yet finished, up to `jobs` at a time,
// with a progress bar on a terminal.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>

#include "ensemble/ensemble.h"
#include "support/process.h"

namespace torla::ensemble {

namespace {

void draw_progress(int done, int failed, int unstable, int total, double elapsed,
                   int pending_total) {
    const int width = 30;
    const int filled = total ? done * width / total : width;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(width, '.');
    const double left = done > 0 ? elapsed / done * (pending_total - done) : 0.0;
    std::fprintf(stderr, "\r[%s] %d/%d done, %d failed, %d unstable, %.0f s left  ", bar.c_str(),
                 done, total, failed, unstable, left);
    std::fflush(stderr);
}

// A stop: the running members (each a process group: torla and its
// generator) get the signal and are waited for; their folders keep no
// status, so the next run runs them again.
void stop_members(std::map<pid_t, const Member*>& running, int sig) {
    for (const auto& [pid, m] : running) support::signal_group(pid, sig);
    for (const auto& [pid, m] : running) support::wait_for(pid);
    running.clear();
}

}  // namespace

int run_local(const std::string& dir, const Plan& plan, const std::string& bin_dir,
              const LocalOptions& opt, const std::vector<int>& only) {
    std::vector<const Member*> todo;
    int already = 0;
    auto consider = [&](const Member& m) {
        if (member_state(dir, m).finished)
            ++already;
        else
            todo.push_back(&m);
    };
    if (only.empty()) {
        for (const auto& m : plan.members) consider(m);
    } else {
        for (int i : only)
            if (i >= 0 && i < static_cast<int>(plan.members.size())) consider(plan.members[i]);
    }
    const int total = already + static_cast<int>(todo.size());
    const int jobs = std::max(1, opt.jobs);
    const auto start = std::chrono::steady_clock::now();
    std::map<pid_t, const Member*> running;
    std::size_t next = 0;
    int done = already, failed = 0, unstable = 0, pending = static_cast<int>(todo.size());
    int done_now = 0;
    while ((next < todo.size() || !running.empty()) && !stop_signal()) {
        while (next < todo.size() && static_cast<int>(running.size()) < jobs) {
            const Member* m = todo[next++];
            const pid_t pid = start_member(dir, *m, bin_dir);
            if (pid < 0) {
                finish_member(dir, *m, 127 << 8);
                ++failed;
                ++done;
                continue;
            }
            running[pid] = m;
        }
        if (running.empty()) continue;
        int rc = 0;
        const pid_t pid = support::wait_any(rc);
        if (pid < 0) {
            if (errno == EINTR && stop_signal()) {
                stop_members(running, stop_signal());
                break;
            }
            if (errno == EINTR) continue;
            break;
        }
        auto it = running.find(pid);
        if (it == running.end()) continue;
        // A member that ended with an onset of instability (its run record
        // says so) is unstable, any other with a status but 0 failed.
        if (finish_member(dir, *it->second, rc) != 0) {
            if (member_state(dir, *it->second).onset)
                ++unstable;
            else
                ++failed;
        }
        running.erase(it);
        ++done;
        ++done_now;
        if (opt.progress)
            draw_progress(
                done, failed, unstable, total,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() *
                    (done - already) / std::max(1, done_now),
                pending + already);
    }
    if (stop_signal()) stop_members(running, stop_signal());
    if (opt.progress) std::fputc('\n', stderr);
    return failed + unstable;
}

}  // namespace torla::ensemble
