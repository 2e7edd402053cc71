// The ensemble folder's files through the folder's handle (see folder.h).
#include "ensemble/folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support/files.h"

namespace torla::ensemble {

namespace {

std::string why(const std::string& what, const std::string& path) {
    return what + " `" + path + "': " + std::strerror(errno);
}

// The folder's wording of a failed read of path.
std::string read_error(const support::ReadOutcome& r, const std::string& path, std::size_t limit) {
    using support::ReadFault;
    switch (r.fault) {
    case ReadFault::kNone:
        return "";
    case ReadFault::kIsLink:
        return "`" + path + "' is a link";
    case ReadFault::kNotRegular:
    case ReadFault::kChanged:
        return "`" + path + "' is not a regular file";
    case ReadFault::kTooLarge:
        return "`" + path + "' is larger than " + std::to_string(limit) + " bytes";
    case ReadFault::kCannotStat:
    case ReadFault::kCannotOpen:
    case ReadFault::kCannotRead:
        break;
    }
    return "cannot read `" + path + "': " + std::strerror(r.error);
}

}  // namespace

Folder& Folder::operator=(Folder&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.fd_;
        path_ = std::move(o.path_);
        o.fd_ = -1;
    }
    return *this;
}

Folder::~Folder() {
    if (fd_ >= 0) ::close(fd_);
}

std::string Folder::open(const std::string& path, bool create, Folder& out) {
    if (create) {
        std::error_code ec;
        std::filesystem::create_directories(path, ec);
        if (ec) return "cannot create `" + path + "': " + ec.message();
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return why("cannot open the folder", path);
    out = Folder{};
    out.fd_ = fd;
    out.path_ = path;
    return "";
}

std::string Folder::sub(const std::string& rel, bool create, Folder& out) const {
    int at = fd_;
    std::string done = path_;
    Folder step;
    for (std::size_t b = 0; b <= rel.size();) {
        std::size_t e = rel.find('/', b);
        if (e == std::string::npos) e = rel.size();
        const std::string part = rel.substr(b, e - b);
        b = e + 1;
        if (part.empty() || part == "." || part == "..")
            return "`" + rel + "' is no folder name below `" + path_ + "'";
        done += "/" + part;
        if (create && mkdirat(at, part.c_str(), 0755) != 0 && errno != EEXIST)
            return why("cannot create", done);
        const int fd = openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ELOOP || errno == ENOTDIR)
                return "`" + done + "' is not a folder (a link or a file stands there)";
            return why("cannot open the folder", done);
        }
        Folder next;
        next.fd_ = fd;
        next.path_ = done;
        step = std::move(next);
        at = step.fd_;
    }
    out = std::move(step);
    return "";
}

std::string Folder::write(const std::string& name, const std::string& text, mode_t mode) const {
    support::WriteOptions o;
    o.folder_fd = fd_;
    o.mode = mode;
    o.durable = false;  // many small files; a status lost to a crash only runs its member again
    const support::WriteOutcome w = support::write_file_atomically(name, text, o);
    if (w.ok()) return "";
    const std::string full = path_ + "/" + name;
    if (std::strcmp(w.step, "create") != 0)
        return "cannot write `" + full + "': " + std::strerror(w.error);
    if (w.error == EEXIST) return "cannot create a temporary file for `" + full + "'";
    return "cannot create `" + path_ + "/" + w.temp + "': " + std::strerror(w.error);
}

int Folder::create(const std::string& name) const {
    remove(name);
    return openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

std::string Folder::read(const std::string& name, std::string& out, std::size_t limit) const {
    support::ReadOptions o;
    o.folder_fd = fd_;
    o.follow_links = false;
    return read_error(support::read_whole_file(name, limit, out, o), path_ + "/" + name, limit);
}

long long Folder::size_of(const std::string& name) const {
    struct stat st;
    if (fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<long long>(st.st_size);
}

bool Folder::remove(const std::string& name) const { return unlinkat(fd_, name.c_str(), 0) == 0; }

std::string Folder::rename(const std::string& name, const std::string& new_name) const {
    if (renameat(fd_, name.c_str(), fd_, new_name.c_str()) != 0)
        return why("cannot rename", path_ + "/" + name);
    return "";
}

std::string read_regular_file(const std::string& path, std::size_t limit, std::string& out) {
    return read_error(support::read_whole_file(path, limit, out), path, limit);
}

int lock_folder(const Folder& dir, std::string& err) {
    const int fd =
        openat(dir.fd(), "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = why("cannot open the lock file", dir.path() + "/lock");
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = errno == EWOULDBLOCK ? "`" + dir.path() + "' is in use by another torla-ensemble (" +
                                         dir.path() + "/lock is held); refused"
                                   : why("cannot lock", dir.path() + "/lock");
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace torla::ensemble
