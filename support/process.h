// Child processes of the tools: started without a shell, their output
// captured or sent where asked, waited for, signalled as a group.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace torla::support {

// How a child is started. Every descriptor the tools open is close-on-exec,
// so the child holds only 0, 1 and 2.
struct SpawnOptions {
    int folder_fd = -1;              // working folder (fchdir) where >= 0
    int stdout_fd = -1;              // standard output onto this descriptor where >= 0
    int stderr_fd = -1;              // standard error onto this descriptor where >= 0
    bool search_path = false;        // args[0] looked up on PATH when it holds no '/'
    bool own_group = false;          // a process group of its own (stopped as one)
    bool dies_with_parent = false;   // SIGKILL when the tool ends, however
    bool clear_signal_mask = false;  // the child starts with no signal blocked
};

// Starts args[0] with args. Returns the child's id, or -1 with errno set
// when it cannot start (no such program, not executable, no process): the
// exec's failure comes back to the caller, not as a status of the child.
pid_t spawn(const std::vector<std::string>& args, const SpawnOptions& opt = {});

// Starts a copy of this process (no exec) that dies with it; returns as
// fork does (0 in the child, -1 when it fails).
pid_t fork_worker();

// Waits for pid, again after an interruption by a signal unless
// stop_on_signal; returns the wait status, or -1 (errno EINTR when a signal
// broke the wait off, ECHILD when pid is no child).
int wait_for(pid_t pid, bool stop_on_signal = false);

// Waits for any child; returns its id with its wait status in wait_status,
// or -1 (errno EINTR at a signal, which is not waited through).
pid_t wait_any(int& wait_status);

// A wait status as one number: the exit status, or 128 + the signal that
// ended the child.
int exit_code(int wait_status);

// Sends sig to the process group that pid leads (started with own_group).
void signal_group(pid_t pid, int sig);

// What a child printed and how it ended.
struct Captured {
    bool started = false;  // false: it could not start (start_error says why)
    int start_error = 0;   // errno of the failed start
    int status = 127;      // exit_code of its end; 127 when it never started
    std::string out, err;  // its standard output and standard error, whole
};

// Runs args to its end, reading both of its output streams as they come (a
// child that fills one pipe while the tool waits on the other never hangs).
// opt's stdout_fd and stderr_fd are ignored.
Captured capture(const std::vector<std::string>& args, SpawnOptions opt = {});

// Starts args with its standard output and error both into a new file in
// memory (memory_fd, close-on-exec, for the caller to close), for children
// that run side by side; -1 when it cannot start (memory_fd then -1).
pid_t spawn_into_memory(const std::vector<std::string>& args, int& memory_fd,
                        SpawnOptions opt = {});
// Everything written into such a file, from its start.
std::string memory_text(int memory_fd);

}  // namespace torla::support
