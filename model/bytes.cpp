// Whole files in and out, for the binary files of the program and the text
// files it copies.
#include "model/bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace torla {

FileKind file_kind(const std::string& path, bool follow_links) {
    struct stat st;
    const int rc = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) return FileKind::kAbsent;
    if (S_ISREG(st.st_mode)) return FileKind::kRegular;
    if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
    if (S_ISLNK(st.st_mode)) return FileKind::kSymlink;
    return FileKind::kOther;
}

std::string text_input_problem(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return "";
    if (!S_ISREG(st.st_mode)) return "is not a regular file";
    if (static_cast<std::size_t>(st.st_size) > kMaxTextInput) return "is larger than 64 MB";
    return "";
}

std::string write_file_no_follow(const std::string& path, const std::vector<unsigned char>& bytes) {
    // Not blocking on a FIFO planted at the name: opening one without a
    // reader fails at once, and the check below refuses it anyway.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return "cannot create " + path + ": " + std::strerror(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return path + " is not a regular file";
    }
    std::string err;
    if (::ftruncate(fd, 0) != 0) err = "cannot truncate " + path + ": " + std::strerror(errno);
    std::size_t done = 0;
    while (err.empty() && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            err = "cannot write " + path + ": " + std::strerror(errno);
        else
            done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && err.empty()) err = "cannot write " + path + ": " + std::strerror(errno);
    return err;
}

std::string read_file_bytes(const std::string& path, std::vector<unsigned char>& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "cannot open " + path + ": " + std::strerror(errno);
    out.clear();
    unsigned char buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + got);
    bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) return "cannot read " + path;
    return "";
}

std::string write_file_bytes(const std::string& path, const std::vector<unsigned char>& bytes,
                             bool append) {
    return write_file_bytes(path, bytes.data(), bytes.size(), append);
}

std::string write_file_bytes(const std::string& path, const void* data, std::size_t size,
                             bool append) {
    std::FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb");
    if (!f) return "cannot open " + path + " for writing: " + std::strerror(errno);
    bool ok = std::fwrite(data, 1, size, f) == size;
    int saved = errno;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) return "cannot write " + path + ": " + std::strerror(saved ? saved : errno);
    return "";
}

}  // namespace torla
