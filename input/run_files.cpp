// The files a run reads and writes: each a file of its own, the outputs
// regular files, the temporary files never symbolic links.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "input/input.h"
#include "model/bytes.h"

namespace torla {

namespace {

struct RunFile {
    const char* role;
    std::string path;
};

[[noreturn]] void refuse(const std::string& what) {
    std::printf("   main:  FATAL ERROR:  %s STOP!\n\n", what.c_str());
    stop_run(kStatusFailure);
}

std::string normal_name(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(path, ec);
    return (ec ? std::filesystem::path(path) : p).lexically_normal().string();
}

bool same_file(const std::string& a, const std::string& b) {
    if (normal_name(a) == normal_name(b)) return true;
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

void check_run_files(const ModelState& s, const std::string& information_file) {
    const Names& n = s.names;
    const std::vector<RunFile> files = {
        {"information file", information_file},
        {"command file", n.command_file},
        {"result file", n.result_file},
        {"log file", n.log_file},
        {"run record", n.result_file + kRecordSuffix},
        {"temporary grid file", kGridFile},
        {"grid lock", kGridLockFile},
        {"result lock", n.result_file + kLockSuffix},
        {"temporary result file", n.result_file + kPartSuffix},
        {"temporary log file", n.log_file + kPartSuffix},
    };
    for (std::size_t a = 0; a < files.size(); ++a)
        for (std::size_t b = a + 1; b < files.size(); ++b)
            if (same_file(files[a].path, files[b].path))
                refuse("The " + std::string(files[a].role) + " `" + files[a].path + "' and the " +
                       files[b].role + " `" + files[b].path +
                       "' are the same file; every file of a run must be a file of its own.");

    // An output is a regular file or none: not a directory, a device or a
    // FIFO, where a run would fail late, wait for ever or write nowhere.
    for (const RunFile& f : {files[2], files[3], files[4]}) {
        const FileKind kind = file_kind(f.path);
        if (kind != FileKind::kAbsent && kind != FileKind::kRegular)
            refuse("The " + std::string(f.role) + " `" + f.path +
                   "' exists and is not a regular file.");
    }
    for (const RunFile& f : {files[5], files[6], files[7], files[8], files[9]}) {
        const FileKind kind = file_kind(f.path, false);
        if (kind == FileKind::kSymlink)
            refuse("The " + std::string(f.role) + " `" + f.path +
                   "' is a symbolic link; the run never follows one there. Remove it.");
        if (kind != FileKind::kAbsent && kind != FileKind::kRegular)
            refuse("The " + std::string(f.role) + " `" + f.path +
                   "' exists and is not a regular file. Remove it.");
    }
}

}  // namespace torla
