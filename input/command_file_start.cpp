// read_command_file: torla's start-up on its command file. The reader
// (input/command_file.h) reads it; here what it recorded is printed, the
// names and parameters are taken over, the run constants derived and the
// generator input written, or the run stops with the refusal's status.
#include <cstdio>

#include "input/command_file.h"
#include "input/input.h"

namespace torla {

int16_t read_command_file(ModelState& s) {
    const CommandFile f = load_command_file(s.names.command_file);
    std::fputs(f.console.c_str(), stdout);
    s.history.command_sha256 = f.sha256;
    s.history.crs_wkt = crs_wkt_of(f);
    if (!f.problem.empty()) s.names.problem = f.problem;
    if (!f.run.empty()) s.names.run = f.run;
    s.par = f.par;
    if (f.refusal) stop_run(f.refusal->status);

    derive_run_constants(s);
    if (auto err = write_generator_input(kGridFile, f.generator); !err.empty()) {
        std::printf(
            "   read_command_file:  FATAL ERROR:  Could not write the generator input "
            "file: %s. STOP!\n",
            err.c_str());
        stop_run(kStatusFailure);
    }
    return static_cast<int16_t>(f.points());
}

}  // namespace torla
