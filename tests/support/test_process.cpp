// The tools' child processes: both streams whole in any order and size, the status, failed starts.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
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
        // Reading one stream to its end first would wait forever on the other's full pipe.
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

}  // namespace
