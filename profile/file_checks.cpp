// Checks of the files torla-profile touches, and its atomic write.
#include "profile/file_checks.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "profile/text_escape.h"
#include "support/files.h"

namespace torla::profile {

using support::kind_of;

void require_regular_input(const NamedFile& f) {
    struct stat st {};
    if (stat(f.path.c_str(), &st) != 0)
        throw Refusal(escaped(f.path) + ": the " + f.role +
                      " cannot be read: " + std::strerror(errno));
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
    support::WriteOptions o;
    o.temp_prefix = ".torla-profile-";
    const support::WriteOutcome w = support::write_file_atomically(out_path, text, o);
    if (w.ok()) return;
    if (std::strcmp(w.step, "create") == 0)
        throw WriteFailure("cannot write " + escaped(out_path) + ": cannot create a file in " +
                           escaped(support::folder_of(out_path)) + ": " + std::strerror(w.error));
    throw WriteFailure("cannot write " + escaped(out_path) + ": " + w.step + ": " +
                       std::strerror(w.error));
}

}  // namespace torla::profile
