// Checks of the files torla-profile touches, and its atomic write.
#include "profile/file_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "profile/text_escape.h"

namespace torla::profile {

namespace {

const char* kind_of(mode_t m) {
    if (S_ISFIFO(m)) return "a FIFO";
    if (S_ISCHR(m)) return "a character device";
    if (S_ISBLK(m)) return "a block device";
    if (S_ISDIR(m)) return "a directory";
    if (S_ISSOCK(m)) return "a socket";
    return "not a regular file";
}

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void require_regular_input(const NamedFile& f) {
    struct stat st {};
    if (stat(f.path.c_str(), &st) != 0)
        throw Refusal(escaped(f.path) + ": the " + f.role + " cannot be read: " +
                      std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw Refusal(escaped(f.path) + ": the " + f.role + " is " + kind_of(st.st_mode) +
                      "; only a regular file is read");
}

void require_safe_output(const std::string& out_path, const std::vector<NamedFile>& inputs) {
    struct stat out {};
    if (stat(out_path.c_str(), &out) != 0) return;  // a new file: nothing to clash with
    if (!S_ISREG(out.st_mode))
        throw Refusal(escaped(out_path) + ": -o names " + kind_of(out.st_mode) +
                      "; the command file is written only as a regular file");
    for (const NamedFile& f : inputs) {
        struct stat in {};
        if (stat(f.path.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
            throw Refusal(escaped(out_path) + ": -o is the same file as the " + f.role + " " +
                          escaped(f.path) + "; it would be overwritten");
    }
}

void write_atomically(const std::string& out_path, const std::string& text) {
    std::string tmp = directory_of(out_path) + "/.torla-profile-XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0)
        throw WriteFailure("cannot write " + escaped(out_path) + ": cannot create a file in " +
                           escaped(directory_of(out_path)) + ": " + std::strerror(errno));
    auto fail = [&](const char* step) {
        const int e = errno;
        close(fd);
        unlink(tmp.c_str());
        throw WriteFailure("cannot write " + escaped(out_path) + ": " + step + ": " +
                           std::strerror(e));
    };
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) fail("write");
        done += static_cast<std::size_t>(w);
    }
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) fail("chmod");
    if (fsync(fd) != 0) fail("fsync");
    if (close(fd) != 0) {
        const int e = errno;
        unlink(tmp.c_str());
        throw WriteFailure("cannot write " + escaped(out_path) + ": close: " + std::strerror(e));
    }
    if (rename(tmp.c_str(), out_path.c_str()) != 0) {
        const int e = errno;
        unlink(tmp.c_str());
        throw WriteFailure("cannot write " + escaped(out_path) + ": rename: " + std::strerror(e));
    }
    // The rename itself made durable; a directory that cannot be synced
    // (some network file systems) leaves the file written all the same.
    const int dir = open(directory_of(out_path).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

}  // namespace torla::profile
