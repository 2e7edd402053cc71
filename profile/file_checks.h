// The files torla-profile reads and writes: only regular files, checked
// before anything opens them (a FIFO would block the open, a device would
// be read without end); the output never one of the inputs; the output
// written beside and renamed into place.
#pragma once

#include <string>
#include <vector>

#include "profile/profile.h"

namespace torla::profile {

// One input: its role in messages ("DEM", "path line", ...) and its path.
struct NamedFile {
    std::string role, path;
};

// Refuses an input that does not exist or is not a regular file (after
// following symbolic links), naming it; throws Refusal.
void require_regular_input(const NamedFile& f);

// Refuses an output that exists and is not a regular file, or that is the
// same file as one of the inputs (by device and inode, so a symbolic or hard
// link is caught as well as another spelling); throws Refusal.
void require_safe_output(const std::string& out_path, const std::vector<NamedFile>& inputs);

// A write that failed (status 1 like a refusal, but nothing was wrong with
// the inputs).
struct WriteFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes text to a new file beside out_path, flushes it to the disk and
// renames it over out_path; on any failure the temporary file is removed,
// out_path is left as it was, and WriteFailure names the step.
void write_atomically(const std::string& out_path, const std::string& text);

}  // namespace torla::profile
