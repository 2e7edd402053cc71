// The log file: header, verbatim copy of the command file, then the report
// lines of the run as they arise.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "output/output.h"
#include "run/bytes.h"

namespace torla {

namespace {

[[noreturn]] void log_failure(const ModelState& s, const char* what) {
    std::printf("   open_log:  FATAL ERROR:  Could not %s log file `%s' (%s). STOP!\n\n", what,
                s.log_file.c_str(), std::strerror(errno));
    stop_run(1);
}

}  // namespace

void open_log(ModelState& s) {
    std::FILE* f = std::fopen(s.log_file.c_str(), "w");
    if (!f) log_failure(s, "create");
    bool ok = std::fprintf(f, "TORLA Version %s log file\n~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n\n",
                           kVersion) >= 0;
    ok = ok && std::fprintf(f, "Problem name:               %s\n", s.problem_name.c_str()) >= 0;
    ok = ok && std::fprintf(f, "Run name:                   %s\n", s.run_name.c_str()) >= 0;
    ok = ok && std::fprintf(f, "Command file:               %s\n\n\n", s.command_file.c_str()) >= 0;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) log_failure(s, "write");

    // The command file's text, byte for byte, after the header.
    std::vector<unsigned char> text;
    if (auto err = read_file_bytes(s.command_file, text); !err.empty()) {
        std::printf("   open_log:  FATAL ERROR:  Could not copy the command file into the log: %s. STOP!\n\n",
                    err.c_str());
        stop_run(1);
    }
    if (auto err = write_file_bytes(s.log_file, text, true); !err.empty()) log_failure(s, "append to");

    s.log = std::fopen(s.log_file.c_str(), "a");
    if (!s.log) log_failure(s, "reopen");
    log_printf(s, "\n\n");
}

void log_printf(ModelState& s, const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    int rc = std::vfprintf(s.log, fmt, ap);
    va_end(ap);
    // Flushed line by line, so a full disk is found at the line that fails.
    if (rc < 0 || std::fflush(s.log) != 0) {
        int saved = errno;
        std::printf("   main:  FATAL ERROR:  Could not write to log file `%s' (%s). STOP!\n\n",
                    s.log_file.c_str(), std::strerror(saved));
        std::fclose(s.log);
        s.log = nullptr;
        stop_run(1);
    }
}

void close_log(ModelState& s) {
    if (!s.log) return;
    int rc = std::fclose(s.log);
    s.log = nullptr;
    if (rc != 0) {
        std::printf("   main:  FATAL ERROR:  Could not close log file `%s' (%s). STOP!\n\n",
                    s.log_file.c_str(), std::strerror(errno));
        stop_run(1);
    }
}

}  // namespace torla
