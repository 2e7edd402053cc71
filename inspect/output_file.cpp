// An export's output written under a temporary name beside its own and
// moved into place only when whole.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "inspect/inspect.h"

namespace torla::inspect {

OutputFile::OutputFile(std::string final_path) : final_(std::move(final_path)) {
    const std::filesystem::path p(final_);
    const std::string stem = p.stem().string(), ext = p.extension().string();
    temp_ = (p.parent_path() / ("." + stem + "." + std::to_string(::getpid()) + ".tmp" + ext)).string();
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

}  // namespace torla::inspect
