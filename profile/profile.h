// torla-profile: a command file from a digital elevation model and a path
// line. The line is taken into the DEM's coordinate reference system,
// oriented downhill, resampled at a fixed horizontal spacing and the DEM is
// sampled bilinearly under it; the snow cover and the release follow from a
// few options. GDAL/OGR and PROJ do the reading and the reprojection.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace torla::profile {

// What the user chose; every default is documented in docs/terrain.md.
struct Options {
    std::string dem_path, line_path, out_path;
    std::optional<std::string> line_name;  // value of the line's name attribute
    std::optional<int> line_index;         // among the lines listed in file order
    std::string assume_crs;                // for inputs without one, e.g. "EPSG:2056"
    std::string argv_text;                 // the command line, for the comment block
    double spacing_m = 10.0;               // m, horizontal distance between points
    std::optional<double> cell_size_m;     // m, Elem_Size; default: the spacing
    double smooth_m = 0.0;                 // m, moving-average window; 0: off

    // Snow cover: depth at a reference elevation, changing with elevation.
    double snow_depth_m = 1.0;               // m, at snow_elevation_m
    std::optional<double> snow_elevation_m;  // m; default: the top of the profile
    double snow_gradient_m_per_100m = 0.05;  // m of depth per 100 m of elevation
    double snow_density_kg_m3 = 120.0;       // kg/m3
    double threshold_velocity_m_s = 0.4;     // m/s, of the cover

    // Release: along the path (m from the top), or where the path is inside
    // the polygons of a file. Default: the upper tenth of the path.
    std::optional<std::pair<double, double>> release_m;
    std::string release_polygon;
    // Fracture depth (m, across the slope): the released mass is the cover
    // density times it; overrides a polygon's thickness attribute.
    std::optional<double> release_depth_m;

    // Alpha-beta split point: --split-at (m from the top) or a point file.
    std::optional<double> split_at_m;
    std::string split_point_path;

    // Run control written into the global section.
    double max_time_s = 100.0;        // s
    double dump_interval_s = 2.0;     // s
    std::string numerics = "robust";  // "standard" or "robust"
    std::string track_name, run_name;
};

// The released layers at every release point (as in the bundled example).
struct ReleaseValues {
    double h2_m = 1.5, u2_m_s = 5.0, rho2_kg_m3 = 30.0;
    double h3_m = 8.0, u3_m_s = 5.0, snow_kg_m3 = 3.0, k3_m2_s2 = 2.0, eps3_m2_s3 = 1.2;
};

// A refusal: the message names the file, the layer and the position.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The resampled path in the DEM's coordinate reference system.
struct Profile {
    std::vector<double> distance_m;         // m, horizontal, from the top
    std::vector<double> elevation_m;        // m, from the DEM
    std::vector<double> easting, northing;  // map coordinates (CRS units, metres)
    std::vector<bool> released;
    std::vector<double> release_depth_m;  // m, per point; NaN: the bundled release
    std::string release_depth_source;     // "--release-depth", "attribute of FILE" or ""
    double split_s_m = 0.0;               // m, horizontal, from the top
    std::string split_source;             // release, split-at or split-point FILE
    double smooth_change_m = 0.0;         // m, the largest change the smoothing made
    double slope_length_m = 0.0;          // m, along the sampled surface
    std::string crs_wkt;                  // WKT2 of the DEM's CRS as used
    std::string crs_name;                 // e.g. "WGS 84 / UTM zone 32N"
    std::string crs_epsg;                 // e.g. "EPSG:32632", or empty
    std::string dem_text, line_text;      // what was read, for the comment block
    double line_length_m = 0.0;           // m, horizontal length of the whole line
    bool flipped = false;                 // the line was drawn uphill
    std::vector<std::string> notes;       // what the tool chose; also on standard error
};

// Reads the DEM and the line and makes the profile; throws Refusal.
Profile make_profile(const Options& o);

// The command file: comment block, global section, coordinates, locals.
std::string command_file_text(const Options& o, const Profile& p);

// The most points torla reads (Number_of_Points) and the most grid points
// knotline makes.
inline constexpr long kMaxPoints = 32767;

// The lines of a comment block with a key: each at most `width` characters
// after "# key ", continued on further lines with the same key.
std::vector<std::string> keyed_comment_lines(const std::string& key, const std::string& value,
                                             std::size_t width = 200);

}  // namespace torla::profile
