// The tool's processes: the private scratch folder of the command-file
// checks (removed on every exit, a SIGKILL included, by a small janitor
// process that waits for the tool's end), the stop signals (SIGINT,
// SIGTERM, SIGHUP) noted and forwarded to the members, and the start of a
// child that dies with the tool.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "ensemble/ensemble.h"

namespace torla::ensemble {

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t g_stop = 0;
std::string g_scratch;        // the scratch folder, once made
pid_t g_scratch_owner = -1;   // the process that made it (the one to remove it)

void note_stop(int sig) { g_stop = sig; }

// The janitor: waits until every write end of its pipe is closed (the tool
// and its workers have ended, however), then removes the folder.
void start_janitor(const std::string& folder) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    const pid_t pid = fork();
    if (pid == 0) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(sig, SIG_IGN);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != fds[0]) close(fd);
        // Holds no one's terminal or pipe open while it waits.
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3 && null >= 0; ++fd) dup2(null, fd);
        if (null > 2) close(null);
        if (fork() != 0) _exit(0);  // not the tool's child: it never waits for it
        setsid();
        char c;
        while (read(fds[0], &c, 1) != 0) {
        }
        std::error_code ec;
        fs::remove_all(folder, ec);
        _exit(0);
    }
    close(fds[0]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    // The write end stays open, without CLOEXEC in forks (workers keep the
    // janitor waiting), closed at exec (members never hold it).
}

}  // namespace

std::string scratch_folder(std::string& err) {
    if (!g_scratch.empty()) return g_scratch;
    std::error_code ec;
    const char* env = std::getenv("TMPDIR");
    // TMPDIR where it is set; else in memory where there is a tmpfs (the
    // generator input the reader rewrites at every check then costs no
    // journal); else /tmp.
    const bool shm = fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK | X_OK) == 0;
    const std::string base = env && *env ? env : shm ? "/dev/shm" : "/tmp";
    std::string name = base + "/torla-ensemble-XXXXXX";
    if (!mkdtemp(name.data())) {
        err = "cannot create a scratch folder in " + base + ": " + std::strerror(errno);
        return "";
    }
    g_scratch = name;
    g_scratch_owner = getpid();
    start_janitor(g_scratch);
    return g_scratch;
}

void remove_scratch() {
    if (g_scratch.empty() || getpid() != g_scratch_owner) return;
    std::error_code ec;
    fs::remove_all(g_scratch, ec);
    g_scratch.clear();
}

void install_stop_handlers() {
    struct sigaction sa {};
    sa.sa_handler = note_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a wait returns at the signal
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

int stop_signal() { return g_stop; }

void die_of_stop_signal() {
    const int sig = g_stop;
    remove_scratch();
    if (!sig) return;
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    _exit(128 + sig);
}

pid_t spawn_member_process(int folder_fd, const std::vector<std::string>& args, int out_fd) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // Dies with the tool, even of a SIGKILL; its own process group, so that a
    // stop reaches torla and the generator it starts.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (fchdir(folder_fd) != 0 || dup2(out_fd, 1) < 0 || dup2(out_fd, 2) < 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
}

}  // namespace torla::ensemble
