// torla-profile's command line into Options (profile.h).
#pragma once

#include "profile/profile.h"

namespace torla::profile {

// Reads DEM PATH -o FILE.cmd [options] into o (and the command line into
// o.argv_text). Returns -1 to go on, 0 after --help, 2 after wrong usage
// (the message and the usage line on standard error).
int parse_profile_options(int argc, char** argv, Options& o);

}  // namespace torla::profile
