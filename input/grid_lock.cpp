// The lock that serialises the grid phase of runs in one directory.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "input/input.h"
#include "model/interrupt.h"

namespace torla {

namespace {

// Opens (creating it) a lock file without following a symbolic link at its
// name; -1 with errno set when it cannot, or when it is not a regular file.
int open_lock_file(const std::string& path) {
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

GridLock::GridLock() {
    fd_ = open_lock_file(kGridLockFile);
    int rc = fd_ < 0 ? -1 : 0;
    while (rc == 0 && ::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) rc = -1;
        if (interrupt_signal()) {
            release();
            stop_interrupted();
        }
    }
    if (rc != 0) {
        const int saved = errno;
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        fatal(kStatusFailure, "   main:  FATAL ERROR:  Could not lock %s (%s). STOP!\n\n",
              kGridLockFile, std::strerror(saved));
    }
}

GridLock::~GridLock() { release(); }

void GridLock::release() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

ResultLock::ResultLock(const std::string& result_file) {
    // Where no lock file can be made (a folder that does not exist or may
    // not be written), no run can write the result either: the run goes on
    // to the step that fails there and says so, as it always has.
    const std::string path = result_file + kLockSuffix;
    fd_ = open_lock_file(path);
    if (fd_ < 0) return;
    int rc;
    while ((rc = ::flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const bool busy = errno == EWOULDBLOCK;
        std::printf(
            busy ? "   main:  FATAL ERROR:  Result file `%s' is being written by another run "
                   "(it holds %s). STOP!\n\n"
                 : "   main:  FATAL ERROR:  Could not lock %s for `%s'. STOP!\n\n",
            busy ? result_file.c_str() : path.c_str(), busy ? path.c_str() : result_file.c_str());
        ::close(fd_);
        fd_ = -1;
        stop_run(kStatusFailure);
    }
}

ResultLock::~ResultLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace torla
