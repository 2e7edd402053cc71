// The ensemble folder's files, made and read relative to the folder's own
// handle: a name is never followed through a symbolic link, a new file is
// created exclusively under a temporary name and renamed within its folder,
// so a reader never sees half a file and a link planted in the folder is
// replaced, not written through.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace torla::ensemble {

// Largest file of the folder the tool reads back (plan, status, record), bytes.
inline constexpr std::size_t kMaxFolderFile = std::size_t{256} << 20;

class Folder {
public:
    Folder() = default;
    Folder(Folder&& o) noexcept : fd_(o.fd_), path_(std::move(o.path_)) { o.fd_ = -1; }
    Folder& operator=(Folder&& o) noexcept;
    Folder(const Folder&) = delete;
    ~Folder();

    // Opens the folder path (made with its parents where missing when
    // create); the path itself may be a link the user made, what is below
    // it is not followed.
    static std::string open(const std::string& path, bool create, Folder& out);
    // A folder below this one, "a" or "a/b", each part opened without
    // following a link (and made where missing when create).
    std::string sub(const std::string& rel, bool create, Folder& out) const;

    // The whole of name written under a new temporary name and renamed.
    std::string write(const std::string& name, const std::string& text, mode_t mode = 0644) const;
    // A new file at name (whatever stood there removed first), for a child's
    // output; returns its descriptor or -1.
    int create(const std::string& name) const;
    // A regular file of at most limit bytes, not through a link; "" or why not.
    std::string read(const std::string& name, std::string& out,
                     std::size_t limit = kMaxFolderFile) const;
    // Size of a regular file at name (not followed), or -1.
    long long size_of(const std::string& name) const;
    // Removes a file or link (not what it points to); false where none was there.
    bool remove(const std::string& name) const;
    // Moves name to new_name within this folder.
    std::string rename(const std::string& name, const std::string& new_name) const;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// A text input named by the user (ensemble file, base command file): a
// regular file of at most limit bytes, checked before it is opened and again
// on the open descriptor. Returns "" or why it is refused.
std::string read_regular_file(const std::string& path, std::size_t limit, std::string& out);

// An exclusive lock on dir/lock (opened without following a link), held
// until the descriptor is closed; -1 and why when another process holds it.
int lock_folder(const Folder& dir, std::string& err);

}  // namespace torla::ensemble
