// Whole-file reads and atomic writes (see files.h).
#include "support/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace torla::support {

namespace {

ReadOutcome fault(ReadFault f, int error = 0, mode_t mode = 0) {
    return ReadOutcome{f, error, mode};
}

// Reads an open regular file to its end, at most limit bytes.
ReadOutcome read_open_file(int fd, std::size_t limit, std::string& out) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) > limit)
        return fault(ReadFault::kChanged, 0, st.st_mode);
    out.clear();
    char buf[65536];
    for (;;) {
        const ssize_t k = ::read(fd, buf, sizeof buf);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) return fault(ReadFault::kCannotRead, errno, st.st_mode);
        if (k == 0) return fault(ReadFault::kNone, 0, st.st_mode);
        out.append(buf, static_cast<std::size_t>(k));
        if (out.size() > limit) return fault(ReadFault::kTooLarge, 0, st.st_mode);
    }
}

bool write_all(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t k = ::write(fd, text.data() + done, text.size() - done);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) return false;
        if (k == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(k);
    }
    return true;
}

std::atomic<unsigned> temp_counter{0};

// A new temporary file beside name, created exclusively; -1 with the
// outcome's step set where none could be made.
int create_temp(const std::string& name, const WriteOptions& opt, WriteOutcome& w) {
    const std::size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    const std::string prefix = opt.temp_prefix.empty() ? "." + base + ".part-" : opt.temp_prefix;
    for (int attempt = 0; attempt < 100; ++attempt) {
        w.temp = folder + prefix + std::to_string(getpid()) + "-" + std::to_string(temp_counter++);
        const int fd = openat(opt.folder_fd, w.temp.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, opt.mode);
        if (fd >= 0) return fd;
        if (errno != EEXIST) break;
    }
    w.step = "create";
    w.error = errno;
    return -1;
}

WriteOutcome failed(WriteOutcome w, const char* step, int error, int folder_fd) {
    w.step = step;
    w.error = error;
    unlinkat(folder_fd, w.temp.c_str(), 0);
    return w;
}

// The rename made durable; a folder that cannot be synced (some network
// file systems) leaves the file written all the same.
void sync_folder(const std::string& name, int folder_fd) {
    const std::size_t slash = name.rfind('/');
    if (slash == std::string::npos && folder_fd != AT_FDCWD) {
        fsync(folder_fd);
        return;
    }
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : name.substr(0, slash);
    const int fd = openat(folder_fd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

ReadOutcome read_whole_file(const std::string& name, std::size_t limit, std::string& out,
                            const ReadOptions& opt) {
    struct stat st {};
    if (fstatat(opt.folder_fd, name.c_str(), &st, opt.follow_links ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return fault(ReadFault::kCannotStat, errno);
    if (S_ISLNK(st.st_mode)) return fault(ReadFault::kIsLink, 0, st.st_mode);
    if (!S_ISREG(st.st_mode)) return fault(ReadFault::kNotRegular, 0, st.st_mode);
    if (static_cast<unsigned long long>(st.st_size) > limit)
        return fault(ReadFault::kTooLarge, 0, st.st_mode);
    const int fd = openat(opt.folder_fd, name.c_str(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC | (opt.follow_links ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return fault(
            errno == ELOOP && !opt.follow_links ? ReadFault::kIsLink : ReadFault::kCannotOpen,
            errno, st.st_mode);
    const ReadOutcome r = read_open_file(fd, limit, out);
    ::close(fd);
    return r;
}

const char* kind_of(mode_t m) {
    if (S_ISFIFO(m)) return "a FIFO";
    if (S_ISCHR(m)) return "a character device";
    if (S_ISBLK(m)) return "a block device";
    if (S_ISDIR(m)) return "a directory";
    if (S_ISSOCK(m)) return "a socket";
    if (S_ISLNK(m)) return "a symbolic link";
    return "not a regular file";
}

WriteOutcome write_file_atomically(const std::string& name, const std::string& text,
                                   const WriteOptions& opt) {
    WriteOutcome w;
    const int fd = create_temp(name, opt, w);
    if (fd < 0) return w;
    if (!write_all(fd, text)) {
        const int e = errno;
        ::close(fd);
        return failed(w, "write", e, opt.folder_fd);
    }
    if (opt.durable && fsync(fd) != 0) {
        const int e = errno;
        ::close(fd);
        return failed(w, "fsync", e, opt.folder_fd);
    }
    if (::close(fd) != 0) return failed(w, "close", errno, opt.folder_fd);
    if (renameat(opt.folder_fd, w.temp.c_str(), opt.folder_fd, name.c_str()) != 0)
        return failed(w, "rename", errno, opt.folder_fd);
    if (opt.durable) sync_folder(name, opt.folder_fd);
    return w;
}

std::string folder_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

OutputFile::OutputFile(std::string final_path) : final_(std::move(final_path)) {
    const std::filesystem::path p(final_);
    const std::string stem = p.stem().string(), ext = p.extension().string();
    temp_ =
        (p.parent_path() / ("." + stem + "." + std::to_string(::getpid()) + ".tmp" + ext)).string();
}

OutputFile::~OutputFile() {
    if (!committed_) std::remove(temp_.c_str());
}

std::string OutputFile::commit() {
    // The bytes on the disk first, then the name: a crash never leaves a
    // partial file under the final name.
    const int fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "cannot write " + final_ + ": " + std::strerror(errno);
    const bool synced = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!synced) return "cannot write " + final_ + ": " + std::strerror(saved);
    if (std::rename(temp_.c_str(), final_.c_str()) != 0)
        return "cannot move " + temp_ + " to " + final_ + ": " + std::strerror(errno);
    committed_ = true;
    return "";
}

}  // namespace torla::support
