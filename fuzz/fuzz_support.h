// Shared by the fuzz targets: every target works in a private temporary
// directory (the readers use fixed file names in the working directory),
// keeps the program's console messages out of the fuzzer's output, and
// hands its input over as a file.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace torla::fuzz {

// Enters a fresh directory under TMPDIR and sends standard output to
// /dev/null (TORLA_FUZZ_VERBOSE=1 keeps it, to see the messages of one input).
inline void enter_scratch_directory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/torla-fuzz-XXXXXX";
    if (!mkdtemp(dir.data()) || chdir(dir.c_str()) != 0) {
        std::perror("torla fuzz: scratch directory");
        std::abort();
    }
    const char* verbose = std::getenv("TORLA_FUZZ_VERBOSE");
    if (!(verbose && std::string(verbose) == "1") && !std::freopen("/dev/null", "w", stdout)) {
        std::perror("torla fuzz: /dev/null");
        std::abort();
    }
}

inline void write_input(const char* path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path, "wb");
    if (!f || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        std::perror(path);
        std::abort();
    }
}

// A broken promise of the code under test: reported as a crash.
#define TORLA_FUZZ_ASSERT(cond)                                                               \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: assertion failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

}  // namespace torla::fuzz
