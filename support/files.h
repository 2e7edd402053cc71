// Whole files: read at once from a regular file of bounded size, written at
// once under a temporary name beside the target and renamed into place, so
// that no reader and no crash ever sees half a file under the final name.
// The callers word the messages; these return what failed and errno.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace torla::support {

// ---- Reading.
enum class ReadFault {
    kNone,
    kCannotStat,  // the name cannot be looked at (errno; ENOENT: not there)
    kIsLink,      // a symbolic link, where links are not followed
    kNotRegular,  // a folder, FIFO, device or socket (mode says which)
    kTooLarge,    // more than the limit (before or while it was read)
    kCannotOpen,  // errno
    kChanged,     // not a regular file of at most the limit once opened
    kCannotRead,  // errno
};
struct ReadOutcome {
    ReadFault fault = ReadFault::kNone;
    int error = 0;    // errno of the failed call
    mode_t mode = 0;  // the file's type where looked at
    bool ok() const { return fault == ReadFault::kNone; }
};
struct ReadOptions {
    int folder_fd = AT_FDCWD;  // name relative to this folder
    bool follow_links = true;  // false: a link at name is refused (kIsLink)
};
// Reads name whole into out. It is looked at before it is opened (opening a
// FIFO would wait for a writer, a device would be read without end) and
// again on the open descriptor, as the name may change between.
ReadOutcome read_whole_file(const std::string& name, std::size_t limit, std::string& out,
                            const ReadOptions& opt = {});
// A file's type in words: "a FIFO", "a directory", ...
const char* kind_of(mode_t mode);

// ---- Writing.
struct WriteOptions {
    int folder_fd = AT_FDCWD;  // name relative to this folder (no link followed at the temporary)
    mode_t mode = 0666;        // of the new file, before the umask
    bool durable = true;       // fsync of the file before the rename, of its folder after
    std::string
        temp_prefix;  // the temporary's name begins so; "" for "." + the file's name + ".part-"
};
struct WriteOutcome {
    const char* step =
        nullptr;       // "create", "write", "fsync", "close" or "rename"; null when written
    int error = 0;     // errno of that step (EEXIST at "create": no free temporary name)
    std::string temp;  // the temporary's path (removed again on a failure)
    bool ok() const { return step == nullptr; }
};
// Writes text to a new file beside name (created exclusively, never through
// a link), then renames it over name; on a failure the temporary file is
// removed and name is left as it was.
WriteOutcome write_file_atomically(const std::string& name, const std::string& text,
                                   const WriteOptions& opt = {});

// The folder part of a path ("." where it has none).
std::string folder_of(const std::string& path);

// A file that a library writes by name (GDAL, netCDF): a temporary name
// beside the final one (same folder, so that the rename is atomic; same
// extension, for the drivers that go by it), moved into place by commit()
// only when whole: a full disk or a failure leaves no partial file, and an
// earlier output stays.
class OutputFile {
public:
    explicit OutputFile(std::string final_path);
    ~OutputFile();  // removes the temporary file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    const std::string& temp() const { return temp_; }
    // fsync of the temporary file, then the rename; "" or what failed.
    std::string commit();

private:
    std::string final_, temp_;
    bool committed_ = false;
};

}  // namespace torla::support
