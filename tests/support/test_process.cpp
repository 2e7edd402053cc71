// The tools' child processes: what a child prints reaches the tool whole
// whatever order and size it comes in, statuses and signals come back as
// one number, a program that is not there is a failed start.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "support/process.h"
#include "test_support.h"

namespace {

using torla::support::capture;
using torla::support::Captured;
using torla::support::SpawnOptions;

// A child that hangs fails the test (SIGALRM) instead of holding the suite.
struct Deadline {
    explicit Deadline(unsigned seconds) { alarm(seconds); }
    ~Deadline() { alarm(0); }
};

Captured sh(const std::string& script) {
    Deadline d(60);
    return capture({"/bin/sh", "-c", script});
}

TEST(SupportProcess, CapturesBothStreamsWithTheirStatus) {
    const std::string mb = "1048576";
    struct Case {
        const char* what;
        std::string script;
        int status;
        std::size_t out_size, err_size;
        std::string out_tail, err_tail;  // the last bytes of each stream
    } cases[] = {
        {"an exit status", "printf why >&2; exit 3", 3, 0, 3, "", "why"},
        // The pipe of standard error fills long before standard output is
        // written: read one stream to its end first and both wait forever.
        {"1 MB on standard error before standard output",
         "head -c " + mb + " /dev/zero >&2; printf end", 0, 3, 1048576, "end",
         std::string(3, '\0')},
        {"1 MB on standard output before standard error",
         "head -c " + mb + " /dev/zero; printf end >&2", 0, 1048576, 3, std::string(3, '\0'),
         "end"},
        {"killed by a signal after writing", "printf x; kill -TERM $$", 128 + SIGTERM, 1, 0, "x",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Captured r = sh(c.script);
        EXPECT_TRUE(r.started);
        EXPECT_EQ(r.status, c.status);
        ASSERT_EQ(r.out.size(), c.out_size);
        ASSERT_EQ(r.err.size(), c.err_size);
        EXPECT_EQ(r.out.substr(r.out.size() - c.out_tail.size()), c.out_tail);
        EXPECT_EQ(r.err.substr(r.err.size() - c.err_tail.size()), c.err_tail);
    }
}

TEST(SupportProcess, AProgramThatCannotStartIsAFailedStart) {
    torla::test::TempDir dir;
    torla::test::write_text(dir.file("not-executable"), "#!/bin/sh\nexit 0\n");
    chmod(dir.file("not-executable").c_str(), 0644);
    struct Case {
        const char* what;
        std::string program;
        bool search_path;
        int error;
    } cases[] = {
        {"not on PATH", "torla-no-such-program", true, ENOENT},
        {"a name without a slash is not looked up unless asked", "sh", false, ENOENT},
        {"not executable", dir.file("not-executable"), false, EACCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SpawnOptions o;
        o.search_path = c.search_path;
        const Captured r = capture({c.program}, o);
        EXPECT_FALSE(r.started);
        EXPECT_EQ(r.start_error, c.error);
        EXPECT_EQ(r.status, 127);
        errno = 0;
        EXPECT_EQ(torla::support::spawn({c.program}, o), -1);
        EXPECT_EQ(errno, c.error);
    }
    // Found on PATH when asked.
    SpawnOptions o;
    o.search_path = true;
    EXPECT_EQ(capture({"sh", "-c", "exit 4"}, o).status, 4);
    EXPECT_EQ(torla::support::spawn({}, o), -1);
}

// 0 and 3 are the capture cases' (through exit_code too).
TEST(SupportProcess, WaitStatusesAsOneNumber) {
    struct Case {
        int wait_status, code;
    } cases[] = {
        {255 << 8, 255}, {SIGKILL, 128 + SIGKILL}, {SIGTERM | 0x80, 128 + SIGTERM}, {-1, 127}};
    for (const Case& c : cases)
        EXPECT_EQ(torla::support::exit_code(c.wait_status), c.code) << c.wait_status;
}

TEST(SupportProcess, StartsInTheFolderGivenWithOutputIntoOneFile) {
    torla::test::TempDir dir;
    const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    SpawnOptions o;
    o.folder_fd = folder;
    int memory = -1;
    const pid_t pid = torla::support::spawn_into_memory(
        {"/bin/sh", "-c", "pwd; printf err >&2; printf x > here"}, memory, o);
    close(folder);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(torla::support::exit_code(torla::support::wait_for(pid)), 0);
    EXPECT_EQ(torla::support::memory_text(memory),
              std::filesystem::canonical(dir.path()).string() + "\nerr");
    close(memory);
    EXPECT_EQ(torla::test::read_text(dir.file("here")), "x");
    int none = 0;
    EXPECT_LT(torla::support::spawn_into_memory({dir.file("missing")}, none), 0);
    EXPECT_EQ(none, -1);
}

TEST(SupportProcess, AGroupOfItsOwnIsStoppedAsOne) {
    Deadline d(60);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    SpawnOptions o;
    o.own_group = true;
    o.stdout_fd = fds[1];
    // The child starts a grandchild and reports its process group; the
    // grandchild would outlive the child unless the group is signalled.
    const pid_t pid = torla::support::spawn(
        {"/bin/sh", "-c",
         "sleep 30 & read -r _ _ _ _ pg _ < /proc/$$/stat; echo $pg; echo $!; wait"},
        o);
    close(fds[1]);
    ASSERT_GT(pid, 0);
    FILE* from_child = fdopen(fds[0], "r");
    long group = 0, grandchild = 0;
    ASSERT_EQ(std::fscanf(from_child, "%ld %ld", &group, &grandchild), 2);
    std::fclose(from_child);
    EXPECT_EQ(group, pid);
    torla::support::signal_group(pid, SIGTERM);
    EXPECT_EQ(torla::support::exit_code(torla::support::wait_for(pid)), 128 + SIGTERM);
    // The grandchild got it too (it is init's to reap: gone or a zombie
    // within moments).
    auto ended = [grandchild] {
        std::string stat = torla::test::read_text("/proc/" + std::to_string(grandchild) + "/stat");
        const std::size_t paren = stat.rfind(')');
        return stat.empty() || (paren != std::string::npos && stat.compare(paren, 3, ") Z") == 0);
    };
    ASSERT_GT(grandchild, 0);
    bool gone = ended();
    for (int i = 0; i < 300 && !gone; ++i) usleep(10000), gone = ended();
    EXPECT_TRUE(gone);
}

}  // namespace
