// The release: which points of the profile release, and what. From a
// fracture depth the released mass per square metre of slope is the cover
// density times the depth, split between the saltation and the suspension
// layer as in the bundled example's release (see docs/terrain.md).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "profile/profile.h"

class OGRSpatialReference;

namespace torla::profile {

// The bundled example's release: 1.5 m x 30 kg/m3 = 45 kg/m2 saltating and
// 8 m x 3 kg/m3 = 24 kg/m2 suspended. A fracture depth keeps these
// densities and this share of the mass and scales the two depths.
inline constexpr double kSaltationMassShare = 45.0 / 69.0;  // 1, of the released mass

// The release of `mass_kg_m2' per square metre of slope.
ReleaseValues release_for_mass(double mass_kg_m2);

// The attribute names (any case) read as a release polygon's fracture depth
// in metres, in the order they are looked for.
inline constexpr const char* kThicknessFields[] = {
    "release_depth", "release_thickness", "fracture_depth", "thickness", "depth", "d0"};

// Marks the points of p inside the polygons of o.release_polygon and sets
// p.release_depth_m from their thickness attribute (or --release-depth);
// throws Refusal.
void release_in_polygons(const Options& o, const OGRSpatialReference& dem_crs, Profile& p);

// Marks the points of p within o.release_m (default: the upper tenth) and
// sets p.release_depth_m from --release-depth; throws Refusal.
void release_along_path(const Options& o, Profile& p);

}  // namespace torla::profile
