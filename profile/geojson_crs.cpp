// The `crs' member of a GeoJSON file, read with nlohmann-json and checked
// against the CRS GDAL made of it (see geojson_crs.h).
#include "profile/geojson_crs.h"

#include <fstream>
#include <iterator>

#include <ogr_spatialref.h>
#include <nlohmann/json.hpp>

#include "profile/profile.h"
#include "profile/text_escape.h"

namespace torla::profile {

namespace {

// The CRS the member names, as text SetFromUserInput takes; empty when the
// member has none of the two forms.
std::string named_crs(const nlohmann::json& crs) {
    if (!crs.is_object() || !crs.contains("type") || !crs.contains("properties")) return "";
    const auto& type = crs["type"];
    const auto& props = crs["properties"];
    if (!type.is_string() || !props.is_object()) return "";
    if (type == "name" && props.contains("name") && props["name"].is_string())
        return props["name"].get<std::string>();
    if (type == "EPSG" && props.contains("code") && props["code"].is_number_integer())
        return "EPSG:" + std::to_string(props["code"].get<long long>());
    return "";
}

}  // namespace

void check_geojson_crs(const std::string& path, const OGRSpatialReference* layer_crs) {
    std::ifstream in(path, std::ios::binary);
    const nlohmann::json doc = nlohmann::json::parse(
        std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), nullptr, false);
    // What GDAL read and nlohmann-json does not (a text sequence, comments)
    // carries no crs member this check could see.
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("crs") || doc["crs"].is_null())
        return;
    const std::string name = named_crs(doc["crs"]);
    const std::string shown = escaped(doc["crs"].dump().substr(0, 120));
    if (name.empty())
        throw Refusal(escaped(path) + ": the GeoJSON crs member " + shown +
                      " is neither {\"type\": \"name\", ...} nor {\"type\": \"EPSG\", ...}; GDAL "
                      "would take the file as WGS84 (remove the member for WGS84, or write the "
                      "CRS's name)");
    OGRSpatialReference named;
    if (named.SetFromUserInput(name.c_str()) != OGRERR_NONE)
        throw Refusal(escaped(path) + ": the GeoJSON crs member names `" + escaped(name) +
                      "', which is no coordinate reference system PROJ knows; GDAL would take "
                      "the file as WGS84");
    named.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    // CRS84 is WGS84 with the axes swapped, and GDAL reads it so.
    const char* same[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES",
                          "CRITERION=EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS", nullptr};
    if (!layer_crs || !named.IsSame(layer_crs, same))
        throw Refusal(escaped(path) + ": the GeoJSON crs member names `" + escaped(name) +
                      "', but GDAL read the file in another CRS");
}

}  // namespace torla::profile
