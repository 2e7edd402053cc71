// Child processes: fork and exec without a shell, the exec's failure sent
// back through a close-on-exec pipe, both output streams read by poll.
#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace torla::support {

namespace {

// In the child: reports errno to the parent and ends.
[[noreturn]] void fail_start(int report) {
    const int e = errno;
    [[maybe_unused]] const ssize_t n = write(report, &e, sizeof e);
    _exit(127);
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void become(char* const* argv, const SpawnOptions& o, pid_t parent, int report) {
    if (o.dies_with_parent) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);  // the tool ended before the prctl
    }
    if (o.own_group) setpgid(0, 0);
    if (o.clear_signal_mask) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
    }
    if (o.folder_fd >= 0 && fchdir(o.folder_fd) != 0) fail_start(report);
    if (o.stdout_fd >= 0 && dup2(o.stdout_fd, 1) < 0) fail_start(report);
    if (o.stderr_fd >= 0 && dup2(o.stderr_fd, 2) < 0) fail_start(report);
    if (o.search_path)
        execvp(argv[0], argv);
    else
        execv(argv[0], argv);
    fail_start(report);
}

// Reads both pipes until each is closed, whichever the child writes first.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
    pollfd p[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* into[2] = {&out, &err};
    char buf[65536];
    for (int open = 2; open > 0;) {
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0) continue;
            const ssize_t k = read(p[i].fd, buf, sizeof buf);
            if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (k > 0) {
                into[i]->append(buf, static_cast<std::size_t>(k));
                continue;
            }
            close(p[i].fd);
            p[i].fd = -1;
            --open;
        }
    }
    for (const pollfd& q : p)
        if (q.fd >= 0) close(q.fd);
}

}  // namespace

pid_t spawn(const std::vector<std::string>& args, const SpawnOptions& opt) {
    if (args.empty()) {
        errno = EINVAL;
        return -1;
    }
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return -1;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        become(argv.data(), opt, parent, report[1]);
    }
    const int fork_errno = errno;
    close(report[1]);
    int child_errno = 0;
    ssize_t n = 0;
    while (pid > 0 && (n = read(report[0], &child_errno, sizeof child_errno)) < 0 &&
           errno == EINTR) {
    }
    close(report[0]);
    if (pid < 0) {
        errno = fork_errno;
        return -1;
    }
    if (n == static_cast<ssize_t>(sizeof child_errno)) {
        wait_for(pid);
        errno = child_errno;
        return -1;
    }
    return pid;
}

pid_t fork_worker() {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
    }
    return pid;
}

int wait_for(pid_t pid, bool stop_on_signal) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR || stop_on_signal) return -1;
    return status;
}

pid_t wait_any(int& wait_status) { return waitpid(-1, &wait_status, 0); }

int exit_code(int wait_status) {
    if (wait_status < 0) return 127;
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return 128;
}

void signal_group(pid_t pid, int sig) {
    if (pid > 0) kill(-pid, sig);
}

Captured capture(const std::vector<std::string>& args, SpawnOptions opt) {
    Captured c;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return c.start_error = errno, c;
    if (pipe2(err, O_CLOEXEC) != 0) {
        c.start_error = errno;
        close(out[0]);
        close(out[1]);
        return c;
    }
    opt.stdout_fd = out[1];
    opt.stderr_fd = err[1];
    const pid_t pid = spawn(args, opt);
    const int spawn_errno = errno;
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        c.start_error = spawn_errno;
        close(out[0]);
        close(err[0]);
        return c;
    }
    c.started = true;
    drain(out[0], err[0], c.out, c.err);
    c.status = exit_code(wait_for(pid));
    return c;
}

pid_t spawn_into_memory(const std::vector<std::string>& args, int& memory_fd, SpawnOptions opt) {
    memory_fd = memfd_create("torla-child-output", MFD_CLOEXEC);
    if (memory_fd < 0) return -1;
    opt.stdout_fd = opt.stderr_fd = memory_fd;
    const pid_t pid = spawn(args, opt);
    if (pid < 0) {
        const int e = errno;
        close(memory_fd);
        memory_fd = -1;
        errno = e;
    }
    return pid;
}

std::string memory_text(int memory_fd) {
    std::string text;
    char buf[65536];
    for (off_t at = 0;;) {
        const ssize_t k = pread(memory_fd, buf, sizeof buf, at);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        text.append(buf, static_cast<std::size_t>(k));
        at += k;
    }
    return text;
}

}  // namespace torla::support
