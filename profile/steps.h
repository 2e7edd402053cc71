// Steps of torla-profile after the sampling: the optional smoothing of the
// sampled elevations and the alpha-beta split point.
#pragma once

#include <string>
#include <vector>

#include "profile/profile.h"

class OGRSpatialReference;

namespace torla::profile {

// A centred moving average of the elevations over `window_m' horizontal
// metres: each point takes the mean of the points within half the window on
// either side, the half-window narrowed near the ends so that it stays
// symmetric (the first and last points keep their elevation, so the drop is
// kept). Returns the largest change of a point (m).
double smooth_elevations(const std::vector<double>& distance_m, std::vector<double>& elevation_m,
                         double window_m);

// The largest distance (m) of a split point from the path.
inline constexpr double kSplitPointTolerance = 50.0;

// Sets p.split_s_m and p.split_source from --split-at, --split-point or the
// lower end of the release; throws Refusal.
void locate_split(const Options& o, const OGRSpatialReference& dem_crs, Profile& p);

}  // namespace torla::profile
