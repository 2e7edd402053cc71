// The lock that serialises the grid phase of runs in one directory.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "input/input.h"

namespace torla {

GridLock::GridLock() {
    fd_ = ::open(kGridLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    int rc = fd_ < 0 ? -1 : 0;
    while (rc == 0 && ::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) rc = -1;
    }
    if (rc != 0) {
        std::printf("   main:  FATAL ERROR:  Could not lock %s (%s). STOP!\n\n", kGridLockFile,
                    std::strerror(errno));
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        stop_run(kStatusFailure);
    }
}

GridLock::~GridLock() { release(); }

void GridLock::release() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace torla
