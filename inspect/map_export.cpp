// torla-inspect RESULT map -o FILE.gpkg|FILE.geojson [--zones Z] [--crs CRS]
//
// One point per cell at its map coordinates with the peaks, the arrival
// time and a zone class, and the path as a line measured by path length;
// in the run's CRS (GeoPackage) or in WGS84 (GeoJSON, with the path in a
// second file beside it, as GeoJSON holds one layer).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include "inspect/exports.h"
#include "output/heights_format.h"
#include "inspect/inspect.h"
#include "model/quantities.h"

namespace torla::inspect {

namespace {

constexpr int kStatusBadFile = 1;
constexpr int kStatusUsage = 2;

const char* const kMapUsage =
    "usage: torla-inspect RESULT map -o FILE.gpkg|FILE.geojson [--zones "
    "swiss|austria|damage|KPA,KPA,...]\n"
    "                                [--zone-pressure p3|p2|max] [--crs CRS]\n"
    "  one point per cell with its peaks, arrival time and zone class, and the path as a\n"
    "  line; in the run's CRS (from the command file of torla-profile in the log, or --crs);\n"
    "  GeoJSON in WGS84 with the path in FILE-path.geojson. Zones default to swiss, from the\n"
    "  peak suspension-layer pressure p3 (--zone-pressure: p2, or the larger of the two).\n";

struct MapOptions {
    std::string out, zones_text = "swiss", crs;
    std::string zone_pressure = "p3";  // p3, p2 or max
};

int map_usage(const std::string& what) {
    std::cerr << "torla-inspect: " << what << "\n" << kMapUsage;
    return kStatusUsage;
}

struct DatasetCloser {
    void operator()(GDALDataset* d) const { GDALClose(d); }
};

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() &&
           std::equal(tail.rbegin(), tail.rend(), s.rbegin(),
                      [](char a, char b) { return std::tolower(a) == b; });
}

std::string gdal_error(const std::string& what) {
    const std::string why = CPLGetLastErrorMsg();
    return what + (why.empty() ? "" : ": " + why);
}

}  // namespace

int map_main(int argc, char** argv) {
    MapOptions o;
    for (int a = 3; a < argc; ++a) {
        const std::string opt = argv[a];
        if ((opt == "-o" || opt == "--zones" || opt == "--crs" || opt == "--zone-pressure") &&
            a + 1 >= argc)
            return map_usage(opt + " needs a value");
        if (opt == "-o")
            o.out = argv[++a];
        else if (opt == "--zones")
            o.zones_text = argv[++a];
        else if (opt == "--crs")
            o.crs = argv[++a];
        else if (opt == "--zone-pressure") {
            o.zone_pressure = argv[++a];
            if (o.zone_pressure != "p3" && o.zone_pressure != "p2" && o.zone_pressure != "max")
                return map_usage("--zone-pressure takes p3, p2 or max, not `" + o.zone_pressure +
                                 "'");
        } else
            return map_usage("unknown option `" + opt + "' of map");
    }
    if (o.out.empty()) return map_usage("map needs -o FILE.gpkg or -o FILE.geojson");
    const bool geojson = ends_with(o.out, ".geojson") || ends_with(o.out, ".json");
    if (!geojson && !ends_with(o.out, ".gpkg"))
        return map_usage("-o " + o.out + ": the name must end in .gpkg or .geojson");
    std::vector<ZoneClass> zones;
    if (const std::string err = parse_zones(o.zones_text, zones); !err.empty())
        return map_usage(err);

    const std::string path = argv[1];
    ResultData r;
    if (const std::string err = read_result_file(path, r); !err.empty()) {
        std::cerr << "torla-inspect: " << err << "\n";
        return kStatusBadFile;
    }
    if (!r.has_peak_table()) {
        std::cerr << "torla-inspect: " << path << ": no peak table, the run did not finish\n";
        return kStatusBadFile;
    }
    const int n = r.n_cells;
    bool placed = false;
    for (const GeometryRow& g : r.geometry) placed |= g.aux2 != 0.0f || g.aux6 != 0.0f;
    if (!placed) {
        std::cerr
            << "torla-inspect: " << path
            << ": the geometry table carries no map coordinates (places 2 and 3 of the "
               "coordinate rows are 0 in every cell); make the command file with torla-profile, "
               "or put easting and northing there\n";
        return kStatusBadFile;
    }
    std::vector<std::string> notes;
    const RunContext ctx = read_run_context(path, r, notes);
    HeightsData kept;
    bool has_kept = false;
    if (const std::string err = read_kept_heights(path, r, kept, has_kept); !err.empty()) {
        std::cerr << "torla-inspect: " << err << "\n";
        return kStatusBadFile;
    }

    GDALAllRegister();
    OGRSpatialReference run_crs;
    run_crs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (!o.crs.empty()) {
        if (run_crs.SetFromUserInput(o.crs.c_str()) != OGRERR_NONE)
            return map_usage("--crs: `" + o.crs + "' is no CRS GDAL knows");
    } else if (!ctx.crs_wkt.empty()) {
        if (run_crs.importFromWkt(ctx.crs_wkt.c_str()) != OGRERR_NONE) {
            std::cerr << "torla-inspect: " << ctx.log_path
                      << ": the crs_wkt lines of the command file are no CRS GDAL reads\n";
            return kStatusBadFile;
        }
    } else {
        for (const auto& note : notes) std::cerr << "torla-inspect: note: " << note << "\n";
        std::cerr << "torla-inspect: " << path << ": no CRS: the command file copied into "
                  << ctx.log_path
                  << " has no crs_wkt lines (torla-profile writes them); name it with --crs\n";
        return kStatusBadFile;
    }
    for (const auto& note : notes) std::cerr << "torla-inspect: note: " << note << "\n";

    const std::vector<double> rel = relative_elevation(r);
    std::vector<double> x(n), y(n);
    for (int i = 0; i < n; ++i) x[i] = r.geometry[i].aux2, y[i] = r.geometry[i].aux6;
    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (geojson && !run_crs.IsSame(&wgs84)) {
        std::unique_ptr<OGRCoordinateTransformation> ct(
            OGRCreateCoordinateTransformation(&run_crs, &wgs84));
        if (!ct || !ct->Transform(n, x.data(), y.data())) {
            std::cerr << "torla-inspect: "
                      << gdal_error("cannot transform the cells to WGS84 for GeoJSON") << "\n";
            return kStatusBadFile;
        }
    }
    const OGRSpatialReference& out_crs = geojson ? wgs84 : run_crs;

    GDALDriver* drv = GetGDALDriverManager()->GetDriverByName(geojson ? "GeoJSON" : "GPKG");
    std::string path_file = o.out;
    if (geojson) path_file = o.out.substr(0, o.out.rfind('.')) + "-path.geojson";
    for (const std::string& written : {o.out, path_file}) {
        const std::string clash =
            output_clobbers_input(written, {path, ctx.log_path, ctx.record_path});
        if (!clash.empty()) {
            std::cerr << "torla-inspect: " << clash << "\n";
            return kStatusBadFile;
        }
    }
    CPLPushErrorHandler(CPLQuietErrorHandler);
    VSIUnlink(o.out.c_str());
    if (geojson) VSIUnlink(path_file.c_str());
    std::unique_ptr<GDALDataset, DatasetCloser> ds(
        drv->Create(o.out.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    CPLPopErrorHandler();
    if (!ds) {
        std::cerr << "torla-inspect: " << gdal_error("cannot create " + o.out) << "\n";
        return kStatusBadFile;
    }
    char** lco = geojson ? CSLSetNameValue(nullptr, "RFC7946", "YES") : nullptr;
    OGRLayer* cells =
        ds->CreateLayer("cells", const_cast<OGRSpatialReference*>(&out_crs), wkbPoint, lco);
    if (!cells) {
        CSLDestroy(lco);
        std::cerr << "torla-inspect: " << gdal_error("cannot create layer cells in " + o.out)
                  << "\n";
        return kStatusBadFile;
    }
    struct Field {
        const char* name;
        OGRFieldType type;
    };
    const Field fields[] = {
        {"cell", OFTInteger},       {"path_length_m", OFTReal},  {"elevation_m", OFTReal},
        {"slope_deg", OFTReal},     {"p2_max_kpa", OFTReal},     {"p3_max_kpa", OFTReal},
        {"h2_max_m", OFTReal},      {"h3_max_m", OFTReal},       {"u2_max_m_s", OFTReal},
        {"u3_max_m_s", OFTReal},    {"arrival_time_s", OFTReal}, {"zone_pressure_kpa", OFTReal},
        {"zone_index", OFTInteger}, {"zone", OFTString},
    };
    bool ok = true;
    for (const Field& f : fields) {
        OGRFieldDefn d(f.name, f.type);
        ok = ok && cells->CreateField(&d) == OGRERR_NONE;
    }
    // The peaks over height of a run with Height_Peaks on, a field per height.
    for (std::size_t k = 0; k < kept.heights.size(); ++k) {
        OGRFieldDefn d(height_field_name(kept.heights[k]).c_str(), OFTReal);
        ok = ok && cells->CreateField(&d) == OGRERR_NONE;
    }
    ok = ok && cells->StartTransaction() == OGRERR_NONE;
    for (int i = 0; ok && i < n; ++i) {
        OGRFeature f(cells->GetLayerDefn());
        f.SetField("cell", i);
        f.SetField("path_length_m", static_cast<double>(r.geometry[i].path_length));
        if (ctx.top_elevation_m)
            f.SetField("elevation_m", *ctx.top_elevation_m + rel[i]);
        else
            f.SetFieldNull(f.GetFieldIndex("elevation_m"));
        f.SetField("slope_deg", static_cast<double>(r.geometry[i].slope_deg));
        const float p2 = r.peak(kRowSaltPressure, i, 0), p3 = r.peak(kRowSuspPressure, i, 0);
        f.SetField("p2_max_kpa", static_cast<double>(p2));
        f.SetField("p3_max_kpa", static_cast<double>(p3));
        f.SetField("h2_max_m", static_cast<double>(r.peak(kRowSaltDepth, i, 0)));
        f.SetField("h3_max_m", static_cast<double>(r.peak(kRowSuspDepth, i, 0)));
        f.SetField("u2_max_m_s", static_cast<double>(r.peak(kRowSaltVelocity, i, 0)));
        f.SetField("u3_max_m_s", static_cast<double>(r.peak(kRowSuspVelocity, i, 0)));
        if (i < static_cast<int>(ctx.arrival_time_s.size()) && ctx.arrival_time_s[i])
            f.SetField("arrival_time_s", *ctx.arrival_time_s[i]);
        else
            f.SetFieldNull(f.GetFieldIndex("arrival_time_s"));
        const double zp = o.zone_pressure == "p3"   ? p3
                          : o.zone_pressure == "p2" ? p2
                                                    : std::max(p2, p3);
        const int z = zone_of(zones, zp);
        f.SetField("zone_pressure_kpa", zp);
        f.SetField("zone_index", z);
        f.SetField("zone", z == 0 ? "none" : zones[z - 1].name.c_str());
        for (std::size_t k = 0; k < kept.heights.size(); ++k)
            f.SetField(height_field_name(kept.heights[k]).c_str(), kept.peak_at(i, k));
        OGRPoint pt(x[i], y[i]);
        f.SetGeometry(&pt);
        ok = cells->CreateFeature(&f) == OGRERR_NONE;
    }
    ok = ok && cells->CommitTransaction() == OGRERR_NONE;

    // The path, its measure the path length.
    std::unique_ptr<GDALDataset, DatasetCloser> path_ds;
    GDALDataset* target = ds.get();
    if (ok && geojson) {
        path_ds.reset(drv->Create(path_file.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        target = path_ds.get();
        ok = target != nullptr;
    }
    OGRLayer* line = ok ? target->CreateLayer("path", const_cast<OGRSpatialReference*>(&out_crs),
                                              geojson ? wkbLineString : wkbLineStringM, lco)
                        : nullptr;
    CSLDestroy(lco);
    ok = ok && line;
    if (ok) {
        OGRFieldDefn name("name", OFTString), run("run", OFTString),
            measures("path_length_m", OFTRealList);
        ok = line->CreateField(&name) == OGRERR_NONE && line->CreateField(&run) == OGRERR_NONE &&
             line->CreateField(&measures) == OGRERR_NONE;
    }
    if (ok) {
        OGRFeature f(line->GetLayerDefn());
        f.SetField("name", r.problem_name.c_str());
        f.SetField("run", r.run_name.c_str());
        std::vector<double> m(n);
        for (int i = 0; i < n; ++i) m[i] = r.geometry[i].path_length;
        f.SetField(f.GetFieldIndex("path_length_m"), n, m.data());
        OGRLineString ls;
        for (int i = 0; i < n; ++i) {
            if (geojson)
                ls.addPoint(x[i], y[i]);
            else
                ls.addPointM(x[i], y[i], m[i]);
        }
        f.SetGeometry(&ls);
        ok = line->CreateFeature(&f) == OGRERR_NONE;
    }
    if (!ok) {
        std::cerr << "torla-inspect: " << gdal_error("cannot write " + o.out) << "\n";
        return kStatusBadFile;
    }
    std::cerr << "torla-inspect: " << o.out << ": " << n << " cells"
              << (geojson ? ", the path in " + path_file : "") << "\n";
    return 0;
}

}  // namespace torla::inspect
