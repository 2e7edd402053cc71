// The path line: every line of every layer of a vector file, and the one
// the user picked.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <ogr_spatialref.h>

#include "profile/profile.h"

namespace torla::profile {

struct LineCandidate {
    std::string layer, name;  // as read (escape them for any output)
    GIntBig fid = 0;
    std::vector<std::pair<double, double>> points;  // in the file's CRS
    std::unique_ptr<OGRSpatialReference> crs;       // null: the file has none
    int parts = 1;                                  // a multi-line of several is not usable
    // "FILE: layer \"L\", feature F" escaped, for messages.
    std::string where;
};

// The line picked by --line or --line-index (or the only one), with every
// vertex a finite number; throws Refusal listing the lines otherwise.
LineCandidate pick_line(const Options& o);

}  // namespace torla::profile
