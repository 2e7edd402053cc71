// The log file: header, verbatim copy of the command file, then the report
// lines of the run as they arise.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "model/bytes.h"
#include "output/output.h"

namespace torla {

namespace {

[[noreturn]] void log_failure(const ModelState& s, const char* what) {
    fatal(kStatusFailure, "   open_log:  FATAL ERROR:  Could not %s log file `%s' (%s). STOP!\n\n",
          what, s.names.log_file.c_str(), std::strerror(errno));
}

}  // namespace

void open_log(ModelState& s) {
    std::FILE* f = std::fopen(log_target(s).c_str(), "w");
    if (!f) log_failure(s, "create");
    s.files.log_created = true;
    bool ok = std::fprintf(f, "TORLA Version %s log file\n~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n\n",
                           kVersion) >= 0;
    ok = ok && std::fprintf(f, "Problem name:               %s\n", s.names.problem.c_str()) >= 0;
    ok = ok && std::fprintf(f, "Run name:                   %s\n", s.names.run.c_str()) >= 0;
    ok = ok &&
         std::fprintf(f, "Command file:               %s\n\n\n", s.names.command_file.c_str()) >= 0;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) log_failure(s, "write");

    // The command file's text, byte for byte, after the header.
    std::vector<unsigned char> text;
    if (auto err = read_file_bytes(s.names.command_file, text); !err.empty()) {
        fatal(kStatusFailure,
              "   open_log:  FATAL ERROR:  Could not copy the command file into the log: %s. "
              "STOP!\n\n",
              err.c_str());
    }
    if (auto err = write_file_bytes(log_target(s), text, true); !err.empty())
        log_failure(s, "append to");

    s.files.log = std::fopen(log_target(s).c_str(), "a");
    if (!s.files.log) log_failure(s, "reopen");
    log_printf(s, "\n\n");
}

void log_printf(ModelState& s, const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    int rc = std::vfprintf(s.files.log, fmt, ap);
    va_end(ap);
    // Flushed line by line, so a full disk is found at the line that fails.
    if (rc < 0 || std::fflush(s.files.log) != 0) {
        int saved = errno;
        std::fclose(s.files.log);
        s.files.log = nullptr;
        fatal(kStatusFailure,
              "   main:  FATAL ERROR:  Could not write to log file `%s' (%s). STOP!\n\n",
              s.names.log_file.c_str(), std::strerror(saved));
    }
}

void close_log(ModelState& s) {
    if (!s.files.log) return;
    int rc = std::fclose(s.files.log);
    s.files.log = nullptr;
    if (rc != 0) {
        fatal(kStatusFailure,
              "   main:  FATAL ERROR:  Could not close log file `%s' (%s). STOP!\n\n",
              s.names.log_file.c_str(), std::strerror(errno));
    }
}

void report_trailing_grid_data(ModelState& s) {
    const char* warning =
        "   read_grid_file:  WARNING:  Data lines beyond number of grid points ignored!\n";
    log_printf(s, "%s", warning);
    std::printf("%s", warning);
}

void report_form_factors(ModelState& s) {
    const FormFactors& f = s.ff;
    log_printf(s,
               "\n"
               "   form_factor:         S_CZ = %6.3f\n"
               "                         S_U = %6.3f          S_CU = %6.3f\n"
               "                        T_UU = %6.3f         S_CUU = %6.3f\n"
               "                        T_UK = %6.3f         S_CUK = %6.3f\n"
               "                        T_UE = %6.3f         S_CUE = %6.3f\n"
               "                     T_KKK_E = %6.3f      S_CKKK_E = %6.3f\n"
               "                        T_KK = %6.3f         S_CKK = %6.3f\n"
               "                     T_UKK_E = %6.3f      S_CUKK_E = %6.3f\n"
               "                    T_UUKK_E = %6.3f     S_CUUKK_E = %6.3f\n"
               "                  T_dUdUKK_E = %6.3f   S_CdUdUKK_E = %6.3f\n"
               "                 S_dCdUUKK_E = %6.3f\n"
               "                     S_CKK_E = %6.3f      S_dCKK_E = %6.3f\n"
               "                       T_UUK = %6.3f        S_CUUK = %6.3f\n"
               "                     T_dUdUK = %6.3f      S_CdUdUK = %6.3f\n"
               "                    S_dCdUUK = %6.3f\n"
               "                        S_CK = %6.3f         S_dCK = %6.3f\n"
               "                      T_EE_K = %6.3f       S_CEE_K = %6.3f\n"
               "\n"
               "\n",
               f.S_CZ, f.S_U, f.S_CU, f.T_UU, f.S_CUU, f.T_UK, f.S_CUK, f.T_UE, f.S_CUE, f.T_KKK_E,
               f.S_CKKK_E, f.T_KK, f.S_CKK, f.T_UKK_E, f.S_CUKK_E, f.T_UUKK_E, f.S_CUUKK_E,
               f.T_dUdUKK_E, f.S_CdUdUKK_E, f.S_dCdUUKK_E, f.S_CKK_E, f.S_dCKK_E, f.T_UUK, f.S_CUUK,
               f.T_dUdUK, f.S_CdUdUK, f.S_dCdUUK, f.S_CK, f.S_dCK, f.T_EE_K, f.S_CEE_K);
}

}  // namespace torla
