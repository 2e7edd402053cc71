// Whole files: a read refuses what is not a bounded regular file before it could block or read
// without end; a write never leaves half a file, a stray temporary, or writes through a link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/files.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using torla::support::ReadFault;

// Every name in dir, sorted, for checking that nothing was left behind.
std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(SupportFiles, ReadsOnlyRegularFilesOfBoundedSize) {
    torla::test::TempDir dir;
    torla::test::write_text(dir.file("ten"), "0123456789");
    torla::test::write_text(dir.file("empty"), "");
    fs::create_symlink(dir.file("ten"), dir.file("link"));
    // Opening a FIFO plainly would wait for a writer.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct Case {
        std::string name;
        std::size_t limit;
        bool follow;
        ReadFault fault;
        int error;
        std::string text;
        int folder_fd = AT_FDCWD;  // names relative to a folder's handle
    } cases[] = {
        {dir.file("ten"), 10, true, ReadFault::kNone, 0, "0123456789"},
        {dir.file("empty"), 0, true, ReadFault::kNone, 0, ""},
        {dir.file("ten"), 9, true, ReadFault::kTooLarge, 0, ""},
        {dir.file("missing"), 10, true, ReadFault::kCannotStat, ENOENT, ""},
        {dir.file("fifo"), 10, true, ReadFault::kNotRegular, 0, ""},
        {"/dev/zero", 10, true, ReadFault::kNotRegular, 0, ""},
        {dir.file("link"), 10, true, ReadFault::kNone, 0, "0123456789"},
        {dir.file("link"), 10, false, ReadFault::kIsLink, 0, ""},
        {"ten", 10, true, ReadFault::kNone, 0, "0123456789", folder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + (c.follow ? "" : " (links not followed)"));
        std::string out = "left over";
        torla::support::ReadOptions o;
        o.follow_links = c.follow;
        o.folder_fd = c.folder_fd;
        const auto r = torla::support::read_whole_file(c.name, c.limit, out, o);
        EXPECT_EQ(r.fault, c.fault);
        EXPECT_EQ(r.error, c.error);
        if (c.fault == ReadFault::kNone) {
            EXPECT_EQ(out, c.text);
        }
    }
    close(folder);
}

TEST(SupportFiles, WritesWholeFilesOrNothing) {
    torla::test::TempDir dir;
    torla::test::write_text(dir.file("old"), "old text");
    torla::test::write_text(dir.file("elsewhere"), "not to be touched");
    fs::create_symlink(dir.file("elsewhere"), dir.file("planted"));
    fs::create_directories(dir.path() / "a-folder" / "inside");
    struct Case {
        const char* what;
        std::string name;
        const char* step;  // null: written
        int error;
        std::string after;  // what name holds afterwards ("" for a folder)
    } cases[] = {
        {"over an earlier file", dir.file("old"), nullptr, 0, "text"},
        // The link is replaced, not written through.
        {"over a link", dir.file("planted"), nullptr, 0, "text"},
        {"in a folder that is not there", dir.file("no-folder/file"), "create", ENOENT, ""},
        {"over a folder", dir.file("a-folder"), "rename", EISDIR, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto w = torla::support::write_file_atomically(c.name, "text");
        if (c.step) {
            ASSERT_FALSE(w.ok());
            EXPECT_STREQ(w.step, c.step);
            EXPECT_EQ(w.error, c.error);
        } else {
            EXPECT_TRUE(w.ok()) << (w.step ? w.step : "") << ": " << std::strerror(w.error);
            EXPECT_EQ(torla::test::read_text(c.name), c.after);
        }
    }
    EXPECT_EQ(torla::test::read_text(dir.file("elsewhere")), "not to be touched");
    // No temporary is left, whatever failed.
    EXPECT_EQ(names_in(dir.path()),
              (std::vector<std::string>{"a-folder", "elsewhere", "old", "planted"}));
}

TEST(SupportFiles, AnOutputFileAppearsOnlyWhenCommitted) {
    torla::test::TempDir dir;
    const std::string final_path = dir.file("map.gpkg");
    torla::test::write_text(final_path, "earlier");
    {
        torla::support::OutputFile abandoned(final_path);
        EXPECT_EQ(fs::path(abandoned.temp()).extension(), ".gpkg");  // the drivers go by it
        EXPECT_EQ(fs::path(abandoned.temp()).parent_path(), dir.path());
        torla::test::write_text(abandoned.temp(), "half");
    }
    EXPECT_EQ(torla::test::read_text(final_path), "earlier");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"map.gpkg"});
    torla::support::OutputFile out(final_path);
    torla::test::write_text(out.temp(), "whole");
    EXPECT_EQ(out.commit(), "");
    EXPECT_EQ(torla::test::read_text(final_path), "whole");
    torla::support::OutputFile never_written(dir.file("other.nc"));
    EXPECT_CONTAINS(never_written.commit(), "cannot write " + dir.file("other.nc"));
}

}  // namespace
