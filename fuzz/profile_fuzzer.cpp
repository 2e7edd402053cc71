// Fuzz target: torla-profile's readers of the vector inputs and what it
// makes of them.
//
// The first byte picks the input the rest of the data stands for: the path
// line (0), a release polygon file (1) or a split-point file (2), written as
// fuzz.geojson; the other inputs are a valley DEM and its path made at the
// start. The second byte's bits add options (--release-depth, --smooth,
// --cell-size, --split-at). make_profile either refuses (Refusal) or gives a
// profile of 2 to 32767 finite points, strictly increasing from 0, with a
// release and a split point on the path; the command file made of it keeps
// every comment in its line: no control character or line separator in any
// line, no line beyond the reader's 255 characters, one Elem_Size.
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include "fuzz/fuzz_support.h"
#include "profile/profile.h"

namespace {

// A valley in UTM 32N rising northwards by 0.5 m per m, 400 x 1200 m of 2 m pixels.
void make_dem(const char* path) {
    GDALAllRegister();
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path, 200, 600, 1, GDT_Float32, nullptr);
    double gt[6] = {400000.0, 2.0, 0.0, 5101200.0, 0.0, -2.0};
    ds->SetGeoTransform(gt);
    OGRSpatialReference s;
    s.importFromEPSG(32632);
    ds->SetSpatialRef(&s);
    std::vector<float> row(200);
    for (int r = 0; r < 600; ++r) {
        for (int c = 0; c < 200; ++c)
            row[c] = static_cast<float>(1000.0 + 0.5 * (1200.0 - 2.0 * r) +
                                        0.002 * (2.0 * c - 200.0) * (2.0 * c - 200.0));
        TORLA_FUZZ_ASSERT(ds->GetRasterBand(1)->RasterIO(GF_Write, 0, r, 200, 1, row.data(), 200, 1,
                                                         GDT_Float32, 0, 0) == CE_None);
    }
    GDALClose(ds);
}

const char kPath[] =
    "{\"type\": \"FeatureCollection\", \"crs\": {\"type\": \"name\", \"properties\": {\"name\": "
    "\"EPSG:32632\"}}, \"features\": [{\"type\": \"Feature\", \"properties\": {\"name\": "
    "\"valley\"}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [[400200, 5101100], "
    "[400230, 5100700], [400190, 5100300], [400200, 5100100]]}}]}\n";

bool clean_line(const std::string& l) {
    if (l.size() > 255) return false;
    for (std::size_t i = 0; i < l.size(); ++i) {
        const auto c = static_cast<unsigned char>(l[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == 0xC2 && i + 1 < l.size() && static_cast<unsigned char>(l[i + 1]) <= 0x9F)
            return false;
        if (c == 0xE2 && l.compare(i, 3, "\xe2\x80\xa8") == 0) return false;
        if (c == 0xE2 && l.compare(i, 3, "\xe2\x80\xa9") == 0) return false;
    }
    return true;
}

void check_command_file(const std::string& text) {
    std::istringstream in(text);
    std::string line, last;
    bool comments = true;
    int elem_size = 0;
    while (std::getline(in, line)) {
        if (line.empty()) comments = false;
        TORLA_FUZZ_ASSERT(!comments || line[0] == '#');
        TORLA_FUZZ_ASSERT(clean_line(line));
        elem_size += line.rfind("Elem_Size ", 0) == 0;
        last = line;
    }
    TORLA_FUZZ_ASSERT(elem_size == 1 && last == "| END OF FILE");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    torla::fuzz::enter_scratch_directory();
    make_dem("dem.tif");
    torla::fuzz::write_input("path.geojson", reinterpret_cast<const uint8_t*>(kPath),
                             std::strlen(kPath));
    CPLSetErrorHandler(CPLQuietErrorHandler);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    torla::fuzz::write_input("fuzz.geojson", data + 2, size - 2);
    torla::profile::Options o;
    o.dem_path = "dem.tif";
    o.line_path = "path.geojson";
    o.argv_text = "torla-profile (fuzz)";
    const int role = data[0] % 3;
    if (role == 0) o.line_path = "fuzz.geojson";
    if (role == 1) o.release_polygon = "fuzz.geojson";
    if (role == 2) o.split_point_path = "fuzz.geojson";
    if (data[1] & 1) o.release_depth_m = 0.7;
    if (data[1] & 2) o.smooth_m = 30.0;
    if (data[1] & 4) o.cell_size_m = 5.0;
    if (data[1] & 8) o.split_at_m = 200.0;
    if (role == 2) o.split_at_m.reset();
    torla::profile::Profile p;
    try {
        p = torla::profile::make_profile(o);
    } catch (const torla::profile::Refusal&) {
        return 0;
    }
    const std::size_t n = p.distance_m.size();
    TORLA_FUZZ_ASSERT(n >= 2 && n <= static_cast<std::size_t>(torla::profile::kMaxPoints));
    TORLA_FUZZ_ASSERT(p.distance_m[0] == 0.0);
    TORLA_FUZZ_ASSERT(p.elevation_m.size() == n && p.easting.size() == n && p.northing.size() == n);
    for (std::size_t i = 0; i < n; ++i) {
        TORLA_FUZZ_ASSERT(std::isfinite(p.elevation_m[i]) && std::isfinite(p.easting[i]) &&
                          std::isfinite(p.northing[i]));
        TORLA_FUZZ_ASSERT(i == 0 || p.distance_m[i] > p.distance_m[i - 1]);
    }
    TORLA_FUZZ_ASSERT(p.released.size() == n && p.release_depth_m.size() == n);
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) any |= p.released[i];
    TORLA_FUZZ_ASSERT(any);
    TORLA_FUZZ_ASSERT(p.split_s_m >= 0.0 && p.split_s_m <= p.distance_m.back());
    check_command_file(torla::profile::command_file_text(o, p));
    return 0;
}
