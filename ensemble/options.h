// torla-ensemble's command line: the sub-command and its options.
#pragma once

#include <string>

#include "ensemble/calibrate.h"
#include "ensemble/ensemble.h"
#include "ensemble/slurm.h"

namespace torla::ensemble {

// run ENSEMBLE.toml -o DIR [--engine local|slurm] [--jobs N] [Slurm's options]
struct RunCommand {
    std::string ensemble_path, dir, engine = "local";
    LocalOptions local;
    SlurmOptions slurm;
};
// run-chunk DIR FIRST COUNT: members FIRST ... FIRST + COUNT - 1 (one Slurm array task)
struct ChunkCommand {
    std::string dir;
    int first = 0, count = 0;
};
struct EnsembleCommand {
    std::string name;  // run, run-chunk, calibrate, collect or status
    RunCommand run;
    ChunkCommand chunk;
    CalibrateOptions calibrate;
    std::string dir;  // of collect and status
};

// Reads the command line into c. Returns -1 to go on, 0 after --help, 2
// after wrong usage (the message and the usage line on standard error).
int parse_ensemble_options(int argc, char** argv, EnsembleCommand& c);

}  // namespace torla::ensemble
