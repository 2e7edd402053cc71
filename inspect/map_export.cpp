// torla-inspect RESULT map -o FILE.gpkg|FILE.geojson [--zones Z] [--zone-pressure P] [--crs CRS]
//
// One point per cell at its map coordinates with the peaks, the arrival
// time and a zone class; the path as a line measured by path length; and a
// point for every run-out (of both layers at the zone limits, and of the
// alpha-beta model); in the run's CRS (GeoPackage) or in WGS84 (GeoJSON,
// with the path and the run-outs in files of their own beside it, as
// GeoJSON holds one layer). A run that blew up is mapped with the peaks it
// trusts (the run record's, before the onset) and marked unstable.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "inspect/run_view.h"
#include "model/quantities.h"
#include "output/heights_format.h"
#include "support/cli_options.h"

namespace torla::inspect {

namespace {

constexpr int kStatusUsage = 2;

// A peak pressure no zone is drawn from: not finite, or beyond anything an
// avalanche exerts (the sign of a run whose numbers went bad).
constexpr double kImplausibleKpa = 1.0e5;  // kPa
const char* unzonable(double kpa) {
    if (!std::isfinite(kpa)) return "not finite";
    if (kpa > kImplausibleKpa) return "implausible";
    return nullptr;
}

struct MapOptions {
    std::string out, zones_text = "swiss", crs;
    std::string zone_pressure = "p3";  // p3, p2 or max
    ZoneSet zones;
    bool geojson = false;
};

// A mistake found after the options were read (the CRS): the message and
// where to look, status 2.
int map_usage(const std::string& what) {
    std::cerr << "torla-inspect: " << plain_text(what) << "\nRun with --help for more.\n";
    return kStatusUsage;
}

std::string gdal_error(const std::string& what) {
    const std::string why = CPLGetLastErrorMsg();
    return what + (why.empty() ? "" : ": " + why);
}

// What is wrong with the options together, or "".
std::string check_map_options(MapOptions& o) {
    if (o.out.empty()) return "map needs -o FILE.gpkg or -o FILE.geojson";
    o.geojson = has_extension(o.out, ".geojson") || has_extension(o.out, ".json");
    if (!o.geojson && !has_extension(o.out, ".gpkg"))
        return "-o " + o.out + ": the name must end in .gpkg or .geojson";
    return parse_zone_set(o.zones_text, o.zone_pressure, o.zones);
}

// Returns -1 to go on, 0 after --help, 2 after wrong usage.
int parse_map_options(int argc, char** argv, MapOptions& o) {
    CLI::App app{
        "One point per cell with its peaks, arrival time and zone class, the path as a line, and a "
        "point per run-out (both layers at the zone limits, and alpha-beta); in the run's CRS "
        "(from the "
        "command file of torla-profile in the log, or --crs); GeoJSON in WGS84 with the path in "
        "FILE-path.geojson and the run-outs in FILE-runouts.geojson.",
        "torla-inspect RESULT map"};
    cli::house_style(app);
    app.add_option("-o", o.out, "the file written: FILE.gpkg or FILE.geojson")->type_name("FILE");
    app.add_option("--zones", o.zones_text,
                   "swiss (default), austria, damage or rising kPa limits (1,3,30)")
        ->type_name("Z");
    app.add_option(
           "--zone-pressure", o.zone_pressure,
           "p3 (default, the peak suspension-layer pressure), p2 or max (the larger of the two)")
        ->type_name("P");
    app.add_option("--crs", o.crs,
                   "the run's CRS where the log has none (EPSG:2056, a WKT, a PROJ string)")
        ->type_name("CRS");
    return cli::parse(
        app, argc - 2, argv + 2, "torla-inspect", plain_text, [&o] { return check_map_options(o); },
        "map");
}

// The map coordinates of the cells, in the CRS of the output.
struct MapFrame {
    OGRSpatialReference run_crs, wgs84;
    std::vector<double> x, y;
    const OGRSpatialReference* out = nullptr;
};

// The run's CRS (from --crs or the command file's crs_wkt lines) and the
// cells in the output's CRS; returns an empty string or the refusal.
std::string place_cells(const std::string& path, const ResultTables& r, const RunContext& ctx,
                        const MapOptions& o, MapFrame& m) {
    m.run_crs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (!o.crs.empty()) {
        if (m.run_crs.SetFromUserInput(o.crs.c_str()) != OGRERR_NONE)
            return "--crs: `" + o.crs + "' is no CRS GDAL knows";
    } else if (!ctx.crs_wkt.empty()) {
        if (m.run_crs.importFromWkt(ctx.crs_wkt.c_str()) != OGRERR_NONE)
            return ctx.log_path + ": the crs_wkt lines of the command file are no CRS GDAL reads";
    } else {
        return path + ": no CRS: the command file copied into " + ctx.log_path +
               " has no crs_wkt lines (torla-profile writes them); name it with --crs";
    }
    const int n = r.n_cells;
    m.x.resize(n);
    m.y.resize(n);
    for (int i = 0; i < n; ++i) m.x[i] = r.geometry[i].aux2, m.y[i] = r.geometry[i].aux6;
    m.wgs84.importFromEPSG(4326);
    m.wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    m.out = o.geojson ? &m.wgs84 : &m.run_crs;
    if (o.geojson && !m.run_crs.IsSame(&m.wgs84)) {
        std::unique_ptr<OGRCoordinateTransformation> ct(
            OGRCreateCoordinateTransformation(&m.run_crs, &m.wgs84));
        if (!ct || !ct->Transform(n, m.x.data(), m.y.data()))
            return gdal_error("cannot transform the cells to WGS84 for GeoJSON");
    }
    return "";
}

// The output files: the cells, and for GeoJSON the path and the run-outs.
struct MapFiles {
    std::string cells, path, runouts;
};

MapFiles map_files(const MapOptions& o) {
    if (!o.geojson) return {o.out, o.out, o.out};
    const std::string stem = o.out.substr(0, o.out.rfind('.'));
    return {o.out, stem + "-path.geojson", stem + "-runouts.geojson"};
}

struct Field {
    const char* name;
    OGRFieldType type;
};

bool add_fields(OGRLayer* layer, std::initializer_list<Field> fields) {
    for (const Field& f : fields) {
        OGRFieldDefn d(f.name, f.type);
        if (layer->CreateField(&d) != OGRERR_NONE) return false;
    }
    return true;
}

void set_or_null(OGRFeature& f, const char* field, double v, bool known = true) {
    if (known && std::isfinite(v))
        f.SetField(field, v);
    else
        f.SetFieldNull(f.GetFieldIndex(field));
}

bool write_cells(OGRLayer* cells, const ResultTables& r, const RunView& v, const RunContext& ctx,
                 const HeightsData& kept, const MapFrame& m, int& unzoned) {
    bool ok = add_fields(cells, {{"cell", OFTInteger},
                                 {"path_length_m", OFTReal},
                                 {"s_horizontal_m", OFTReal},
                                 {"elevation_m", OFTReal},
                                 {"slope_deg", OFTReal},
                                 {"p2_max_kpa", OFTReal},
                                 {"p3_max_kpa", OFTReal},
                                 {"h2_max_m", OFTReal},
                                 {"h3_max_m", OFTReal},
                                 {"u2_max_m_s", OFTReal},
                                 {"u3_max_m_s", OFTReal},
                                 {"arrival_time_s", OFTReal},
                                 {"zone_pressure_kpa", OFTReal},
                                 {"zone_index", OFTInteger},
                                 {"zone", OFTString},
                                 {"zone_note", OFTString},
                                 {"unstable", OFTInteger}});
    // The peaks over height of a run with Height_Peaks on, a field per height.
    for (std::size_t k = 0; k < kept.heights.size(); ++k) {
        OGRFieldDefn d(height_field_name(kept.heights[k]).c_str(), OFTReal);
        ok = ok && cells->CreateField(&d) == OGRERR_NONE;
    }
    ok = ok && cells->StartTransaction() == OGRERR_NONE;
    for (int i = 0; ok && i < r.n_cells; ++i) {
        OGRFeature f(cells->GetLayerDefn());
        f.SetField("cell", i);
        f.SetField("path_length_m", static_cast<double>(r.geometry[i].path_length));
        f.SetField("s_horizontal_m", v.axis.horizontal_m[i]);
        set_or_null(f, "elevation_m", ctx.top_elevation_m.value_or(0.0) + v.axis.elevation_m[i],
                    ctx.top_elevation_m.has_value());
        f.SetField("slope_deg", static_cast<double>(r.geometry[i].slope_deg));
        const double p2 = r.peak(kRowSaltPressure, i, 0), p3 = r.peak(kRowSuspPressure, i, 0);
        set_or_null(f, "p2_max_kpa", p2);
        set_or_null(f, "p3_max_kpa", p3);
        set_or_null(f, "h2_max_m", r.peak(kRowSaltDepth, i, 0));
        set_or_null(f, "h3_max_m", r.peak(kRowSuspDepth, i, 0));
        set_or_null(f, "u2_max_m_s", r.peak(kRowSaltVelocity, i, 0));
        set_or_null(f, "u3_max_m_s", r.peak(kRowSuspVelocity, i, 0));
        const bool arrived =
            i < static_cast<int>(ctx.arrival_time_s.size()) && ctx.arrival_time_s[i];
        set_or_null(f, "arrival_time_s", arrived ? *ctx.arrival_time_s[i] : 0.0, arrived);
        const double zp = judged_pressure(v.zones, p2, p3);
        if (const char* why = unzonable(zp)) {
            // Marked, never zoned: a NaN or 3e38 kPa is no red zone.
            ++unzoned;
            f.SetFieldNull(f.GetFieldIndex("zone_pressure_kpa"));
            f.SetFieldNull(f.GetFieldIndex("zone_index"));
            f.SetField("zone", "not zoned");
            f.SetField("zone_note", (std::string("peak pressure ") + why).c_str());
        } else {
            const int z = zone_of(v.zones, zp);
            f.SetField("zone_pressure_kpa", zp);
            f.SetField("zone_index", z);
            f.SetField("zone", z == 0 ? "none" : v.zones.classes[z - 1].name.c_str());
            f.SetFieldNull(f.GetFieldIndex("zone_note"));
        }
        f.SetField("unstable", v.unstable ? 1 : 0);
        for (std::size_t k = 0; k < kept.heights.size(); ++k)
            f.SetField(height_field_name(kept.heights[k]).c_str(), kept.peak_at(i, k));
        OGRPoint pt(m.x[i], m.y[i]);
        f.SetGeometry(&pt);
        ok = cells->CreateFeature(&f) == OGRERR_NONE;
    }
    return ok && cells->CommitTransaction() == OGRERR_NONE;
}

bool write_path(OGRLayer* line, const ResultTables& r, const RunView& v, const MapFrame& m,
                bool geojson) {
    if (!add_fields(line, {{"name", OFTString},
                           {"run", OFTString},
                           {"path_length_m", OFTRealList},
                           {"zones", OFTString},
                           {"unstable", OFTInteger},
                           {"peaks_source", OFTString}}))
        return false;
    OGRFeature f(line->GetLayerDefn());
    f.SetField("name", r.problem_name.c_str());
    f.SetField("run", r.run_name.c_str());
    const int n = r.n_cells;
    std::vector<double> s(n);
    for (int i = 0; i < n; ++i) s[i] = r.geometry[i].path_length;
    f.SetField(f.GetFieldIndex("path_length_m"), n, s.data());
    f.SetField("zones", describe_zone_set(v.zones).c_str());
    f.SetField("unstable", v.unstable ? 1 : 0);
    f.SetField("peaks_source", v.peaks_source.c_str());
    OGRLineString ls;
    for (int i = 0; i < n; ++i) {
        if (geojson)
            ls.addPoint(m.x[i], m.y[i]);
        else
            ls.addPointM(m.x[i], m.y[i], s[i]);
    }
    f.SetGeometry(&ls);
    return line->CreateFeature(&f) == OGRERR_NONE;
}

// The map point at a horizontal distance from the top, between two cells.
OGRPoint point_at(const RunView& v, const MapFrame& m, double s) {
    const std::vector<double>& h = v.axis.horizontal_m;
    std::size_t i = 1;
    while (i + 1 < h.size() && h[i] < s) ++i;
    const double w =
        h[i] > h[i - 1] ? std::clamp((s - h[i - 1]) / (h[i] - h[i - 1]), 0.0, 1.0) : 0.0;
    return OGRPoint(m.x[i - 1] + w * (m.x[i] - m.x[i - 1]), m.y[i - 1] + w * (m.y[i] - m.y[i - 1]));
}

bool write_runouts(OGRLayer* layer, const RunView& v, const MapFrame& m) {
    if (!add_fields(layer, {{"kind", OFTString},
                            {"quantity", OFTString},
                            {"threshold_kpa", OFTReal},
                            {"s_path_m", OFTReal},
                            {"s_horizontal_m", OFTReal},
                            {"drop_m", OFTReal},
                            {"angle_deg", OFTReal},
                            {"determined", OFTInteger},
                            {"reason", OFTString}}))
        return false;
    bool ok = true;
    std::vector<std::pair<const char*, Runout>> simulated;
    for (const Runout& r : v.runouts)
        if (pressure_runout(r)) simulated.emplace_back("simulated", r);
    if (const std::optional<Runout> flow = flow_runout(v.runouts))
        simulated.emplace_back("flow", *flow);
    for (const auto& [kind, r] : simulated) {
        if (r.cell < 0) continue;
        OGRFeature f(layer->GetLayerDefn());
        f.SetField("kind", kind);
        f.SetField("quantity", runout_quantity_name(r.limit.quantity));
        f.SetField("threshold_kpa", r.limit.threshold);
        f.SetField("s_path_m", r.path_m);
        f.SetField("s_horizontal_m", r.horizontal_m);
        f.SetField("drop_m", r.drop_m);
        f.SetField("angle_deg", r.angle_deg);
        f.SetField("determined", r.determined ? 1 : 0);
        f.SetField("reason", r.reason.c_str());
        OGRPoint pt(m.x[r.cell], m.y[r.cell]);
        f.SetGeometry(&pt);
        ok = ok && layer->CreateFeature(&f) == OGRERR_NONE;
    }
    for (const AlphaBetaRunouts& s : v.alpha_beta.sets)
        for (std::size_t k = 0; k < s.runout_s_m.size(); ++k) {
            if (!s.runout_s_m[k]) continue;
            OGRFeature f(layer->GetLayerDefn());
            f.SetField("kind", "alpha_beta");
            const std::string name =
                std::string(s.set->name) + " alpha" + (kAlphaOffsets[k] > 0 ? "+" : "") +
                (kAlphaOffsets[k] ? std::to_string(kAlphaOffsets[k]) + "SD" : "");
            f.SetField("quantity", name.c_str());
            f.SetField("s_horizontal_m", *s.runout_s_m[k]);
            f.SetField("angle_deg", s.angle_deg[k]);
            f.SetField("determined", 1);
            OGRPoint pt = point_at(v, m, *s.runout_s_m[k]);
            f.SetGeometry(&pt);
            ok = ok && layer->CreateFeature(&f) == OGRERR_NONE;
        }
    return ok;
}

using Dataset = GDALDatasetUniquePtr;

// Writes the layers under temporary names beside the outputs and moves them
// into place when whole; returns an empty string or what failed.
std::string write_map(const ResultTables& r, const RunView& v, const RunContext& ctx,
                      const HeightsData& kept, const MapOptions& o, const MapFrame& m,
                      const MapFiles& files, int& unzoned) {
    GDALDriver* drv = GetGDALDriverManager()->GetDriverByName(o.geojson ? "GeoJSON" : "GPKG");
    OutputFile cells_out(files.cells);
    std::optional<OutputFile> path_out, runouts_out;
    CPLPushErrorHandler(CPLQuietErrorHandler);
    Dataset cells_ds(drv->Create(cells_out.temp().c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    Dataset path_ds, runouts_ds;
    if (o.geojson) {
        path_out.emplace(files.path);
        runouts_out.emplace(files.runouts);
        path_ds.reset(drv->Create(path_out->temp().c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        runouts_ds.reset(drv->Create(runouts_out->temp().c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    }
    CPLPopErrorHandler();
    if (!cells_ds || (o.geojson && (!path_ds || !runouts_ds)))
        return gdal_error("cannot create " + o.out);
    GDALDataset* path_target = o.geojson ? path_ds.get() : cells_ds.get();
    GDALDataset* runout_target = o.geojson ? runouts_ds.get() : cells_ds.get();
    char** lco = o.geojson ? CSLSetNameValue(nullptr, "RFC7946", "YES") : nullptr;
    auto* crs = const_cast<OGRSpatialReference*>(m.out);
    OGRLayer* cells = cells_ds->CreateLayer("cells", crs, wkbPoint, lco);
    OGRLayer* line =
        path_target->CreateLayer("path", crs, o.geojson ? wkbLineString : wkbLineStringM, lco);
    OGRLayer* runouts = runout_target->CreateLayer("runouts", crs, wkbPoint, lco);
    CSLDestroy(lco);
    if (!cells || !line || !runouts) return gdal_error("cannot create the layers in " + o.out);
    bool ok = write_cells(cells, r, v, ctx, kept, m, unzoned) &&
              write_path(line, r, v, m, o.geojson) && write_runouts(runouts, v, m);
    // The drivers write much of a file when it is closed: a failure there
    // (a full disk) is a failure of the export.
    CPLErrorReset();
    cells_ds.reset();
    path_ds.reset();
    runouts_ds.reset();
    ok = ok && CPLGetLastErrorType() < CE_Failure;
    if (!ok) return gdal_error("cannot write " + o.out);
    for (OutputFile* f :
         {&cells_out, path_out ? &*path_out : nullptr, runouts_out ? &*runouts_out : nullptr})
        if (f)
            if (std::string err = f->commit(); !err.empty()) return err;
    return "";
}

}  // namespace

int map_main(int argc, char** argv) {
    MapOptions o;
    if (const int status = parse_map_options(argc, argv, o); status >= 0) return status;
    const std::string path = argv[1];
    // The cheap refusals first: the names, then the header, geometry and
    // peak table; the dump records are read one at a time.
    const MapFiles files = map_files(o);
    const std::vector<std::string> outputs =
        o.geojson ? std::vector<std::string>{files.cells, files.path, files.runouts}
                  : std::vector<std::string>{files.cells};
    if (const std::string clash = outputs_clobber(outputs, path, o.geojson ? files.path : "");
        !clash.empty())
        return refuse_export(clash);
    ResultReader reader;
    ResultTables r;
    if (const std::string err = reader.open(path, r); !err.empty()) return refuse_export(err);
    if (!r.has_peak_table()) return refuse_export(path + ": no peak table, the run did not finish");
    bool placed = false;
    for (const GeometryRow& g : r.geometry) placed |= g.aux2 != 0.0f || g.aux6 != 0.0f;
    if (!placed)
        return refuse_export(
            path +
            ": the geometry table carries no map coordinates (places 2 and 3 of the "
            "coordinate rows are 0 in every cell); make the command file with "
            "torla-profile, or put easting and northing there");
    RunView v;
    RunViewOptions vo;
    vo.zones = o.zones;
    if (const std::string err = read_run_view(reader, r, path, vo, v); !err.empty())
        return refuse_export(err);
    if (!r.has_peak_table()) return refuse_export(path + ": " + v.peaks_source);
    std::vector<std::string> notes;
    const RunContext ctx = read_run_context(path, r, v.times, notes);
    if (!ctx.record_refusal.empty())
        return refuse_export(ctx.record_refusal + "; the result and its run record disagree");
    HeightsData kept;
    bool has_kept = false;
    if (const std::string failed = read_kept_heights(path, r, kept, has_kept); !failed.empty())
        return refuse_export(failed);
    GDALAllRegister();
    MapFrame frame;
    const std::string err = place_cells(path, r, ctx, o, frame);
    for (const auto& note : notes) std::cerr << "torla-inspect: note: " << plain_text(note) << "\n";
    if (err.rfind("--crs", 0) == 0) return map_usage(err);
    if (!err.empty()) return refuse_export(err);
    if (v.unstable)
        std::cerr << "torla-inspect: " << plain_text(path)
                  << ": note: the run blew up; mapped with " << v.peaks_source << "\n";
    int unzoned = 0;
    if (const std::string failed = write_map(r, v, ctx, kept, o, frame, files, unzoned);
        !failed.empty())
        return refuse_export(failed);
    if (unzoned > 0)
        std::cerr << "torla-inspect: note: " << unzoned
                  << " cell(s) with a peak pressure that is not finite or above " << kImplausibleKpa
                  << " kPa are not zoned (zone \"not zoned\", see zone_note)\n";
    std::cerr << "torla-inspect: " << plain_text(o.out) << ": " << r.n_cells << " cells"
              << (o.geojson ? ", the path in " + plain_text(files.path) + ", the run-outs in " +
                                  plain_text(files.runouts)
                            : "")
              << "\n";
    return 0;
}

}  // namespace torla::inspect
