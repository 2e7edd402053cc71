// The writers of an ensemble's exceedance table (inspect/exports.h): onto
// the map (a point per cell with every column, and the path as a line
// measured by path length) and into NetCDF (a CF file with a cell
// dimension and every probability and percentile as a variable). Both
// torla-inspect (from the CSV) and torla-ensemble collect (in memory) call
// them; each output is written beside under a temporary name and renamed
// when whole.
#include <cmath>
#include <memory>
#include <sstream>

#include <gdal_priv.h>
#include <netcdf.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include "inspect/exports.h"
#include "inspect/inspect.h"

namespace torla::inspect {

namespace {

// The run's CRS from crs: "" or why it cannot be had.
std::string map_crs(const ExceedanceTable& t, const ExceedanceCrs& crs, OGRSpatialReference& out) {
    out.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (crs.wkt.empty())
        return t.path +
               ": no CRS: the ensemble's base command file has no crs_wkt lines (torla-profile "
               "writes them); name it with --crs";
    if (out.importFromWkt(crs.wkt.c_str()) != OGRERR_NONE)
        return crs.source + ": the crs_wkt lines of the command file are no CRS GDAL reads";
    return "";
}

// Layer cells: a point per cell at (x, y) with every column as a field.
bool write_cells(OGRLayer* cells, const ExceedanceTable& t, const std::vector<double>& x,
                 const std::vector<double>& y) {
    bool ok = cells != nullptr;
    for (std::size_t k = 0; ok && k < t.columns.size(); ++k) {
        OGRFieldDefn d(t.columns[k].field.c_str(), k == 0 ? OFTInteger : OFTReal);
        d.SetAlternativeName(t.columns[k].header.c_str());
        ok = cells->CreateField(&d) == OGRERR_NONE;
    }
    ok = ok && cells->StartTransaction() == OGRERR_NONE;
    for (std::size_t i = 0; ok && i < t.rows.size(); ++i) {
        OGRFeature f(cells->GetLayerDefn());
        f.SetField(0, static_cast<int>(i));
        for (std::size_t k = 1; k < t.columns.size(); ++k) {
            if (std::isnan(t.rows[i][k]))
                f.SetFieldNull(static_cast<int>(k));
            else
                f.SetField(static_cast<int>(k), t.rows[i][k]);
        }
        OGRPoint pt(x[i], y[i]);
        f.SetGeometry(&pt);
        ok = cells->CreateFeature(&f) == OGRERR_NONE;
    }
    return ok && cells->CommitTransaction() == OGRERR_NONE;
}

// Layer path: one line through the cells, measured by path length m
// (GeoPackage) or without measures (GeoJSON), with the member counts.
bool write_path(OGRLayer* line, const ExceedanceTable& t, const std::vector<double>& x,
                const std::vector<double>& y, const std::vector<double>& m, bool geojson) {
    if (!line) return false;
    OGRFieldDefn members("members", OFTInteger), used("members_used", OFTInteger),
        measures("path_length_m", OFTRealList);
    if (line->CreateField(&members) != OGRERR_NONE || line->CreateField(&used) != OGRERR_NONE ||
        line->CreateField(&measures) != OGRERR_NONE)
        return false;
    OGRFeature f(line->GetLayerDefn());
    f.SetField("members", t.members);
    f.SetField("members_used", t.used);
    f.SetField(f.GetFieldIndex("path_length_m"), static_cast<int>(m.size()), m.data());
    OGRLineString ls;
    for (std::size_t i = 0; i < m.size(); ++i) {
        if (geojson)
            ls.addPoint(x[i], y[i]);
        else
            ls.addPointM(x[i], y[i], m[i]);
    }
    f.SetGeometry(&ls);
    return line->CreateFeature(&f) == OGRERR_NONE;
}

// The cells' map coordinates, in WGS84 for GeoJSON; "" or why not.
std::string cell_points(const ExceedanceTable& t, OGRSpatialReference& run_crs,
                        const OGRSpatialReference& wgs84, bool geojson, std::vector<double>& x,
                        std::vector<double>& y, std::vector<double>& m) {
    const std::size_t n = t.rows.size();
    x.resize(n), y.resize(n), m.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        m[i] = t.rows[i][1], x[i] = t.rows[i][2], y[i] = t.rows[i][3];
    if (!geojson || run_crs.IsSame(&wgs84)) return "";
    std::unique_ptr<OGRCoordinateTransformation> ct(
        OGRCreateCoordinateTransformation(&run_crs, &wgs84));
    if (!ct || !ct->Transform(static_cast<int>(n), x.data(), y.data()))
        return std::string("cannot transform the cells to WGS84 for GeoJSON: ") +
               CPLGetLastErrorMsg();
    return "";
}

}  // namespace

std::string write_exceedance_map(const ExceedanceTable& t, const ExceedanceCrs& crs,
                                 const std::vector<std::string>& outputs) {
    GDALAllRegister();
    OGRSpatialReference run_crs, wgs84;
    if (auto err = map_crs(t, crs, run_crs); !err.empty()) return err;
    wgs84.importFromEPSG(4326);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    const bool geojson = outputs.size() == 2;
    std::vector<double> x, y, m;
    if (auto err = cell_points(t, run_crs, wgs84, geojson, x, y, m); !err.empty()) return err;
    OGRSpatialReference& out_crs = geojson ? wgs84 : run_crs;
    GDALDriver* drv = GetGDALDriverManager()->GetDriverByName(geojson ? "GeoJSON" : "GPKG");
    const std::string& out = outputs[0];
    OutputFile cells_file(out), path_out(outputs.back());
    CPLPushErrorHandler(CPLQuietErrorHandler);
    GDALDatasetUniquePtr ds(drv->Create(cells_file.temp().c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    CPLPopErrorHandler();
    if (!ds) return "cannot create " + out + ": " + CPLGetLastErrorMsg();
    char** lco = geojson ? CSLSetNameValue(nullptr, "RFC7946", "YES") : nullptr;
    bool ok = write_cells(ds->CreateLayer("cells", &out_crs, wkbPoint, lco), t, x, y);
    GDALDatasetUniquePtr path_ds;
    GDALDataset* target = ds.get();
    if (ok && geojson) {
        path_ds.reset(drv->Create(path_out.temp().c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        target = path_ds.get();
        ok = target != nullptr;
    }
    ok = ok && write_path(target->CreateLayer("path", &out_crs,
                                              geojson ? wkbLineString : wkbLineStringM, lco),
                          t, x, y, m, geojson);
    CSLDestroy(lco);
    CPLErrorReset();
    ds.reset();
    path_ds.reset();
    ok = ok && CPLGetLastErrorType() < CE_Failure;
    if (!ok) return "cannot write " + out + ": " + CPLGetLastErrorMsg();
    if (std::string err = cells_file.commit(); !err.empty()) return err;
    if (geojson) return path_out.commit();
    return "";
}

namespace {

struct NcFailure {
    std::string what;
};

void nc_check(int status, const std::string& what) {
    if (status != NC_NOERR) throw NcFailure{what + ": " + nc_strerror(status)};
}

void nc_text(int nc, int var, const std::string& name, const std::string& value) {
    nc_check(nc_put_att_text(nc, var, name.c_str(), value.size(), value.c_str()),
             "attribute " + name);
}

void nc_double(int nc, int var, const std::string& name, const std::vector<double>& values) {
    if (!values.empty())
        nc_check(nc_put_att_double(nc, var, name.c_str(), NC_DOUBLE, values.size(), values.data()),
                 name);
}

// The thresholds and heights of the probability columns, for the global attributes.
struct TableThresholds {
    std::vector<double> p3, p2, heights;
};

std::string quantity_text(const std::string& q) {
    return q == "p3"   ? "suspension-layer pressure"
           : q == "p2" ? "saltation-layer pressure"
           : q == "h3" ? "suspension-layer depth"
           : q == "h2" ? "saltation-layer depth"
                       : "pressure";
}

// A probability's attributes: what it is, its threshold and, of a pressure
// at a height, the height.
void probability_attributes(int nc, int id, const ExceedanceColumn& c, TableThresholds& th) {
    std::ostringstream t, z;
    t << c.threshold_kpa;
    z << c.height_m;
    const std::string at = c.height_m >= 0.0 ? " at " + z.str() + " m above the snow cover" : "";
    nc_text(nc, id, "long_name",
            "fraction of the used members whose peak " + quantity_text(c.quantity) + at +
                " exceeds " + t.str() + " kPa");
    nc_double(nc, id, "threshold", {c.threshold_kpa});
    nc_text(nc, id, "threshold_units", "kPa");
    if (c.height_m >= 0.0) {
        nc_double(nc, id, "height", {c.height_m});
        nc_text(nc, id, "height_units", "m");
        if (std::find(th.heights.begin(), th.heights.end(), c.height_m) == th.heights.end())
            th.heights.push_back(c.height_m);
    } else {
        (c.quantity == "p3" ? th.p3 : th.p2).push_back(c.threshold_kpa);
    }
}

// Column k's variable over the cells, with its attributes.
int define_column(int nc, int dim, int v_crs, std::size_t k, const ExceedanceColumn& c,
                  TableThresholds& th) {
    static const char* fixed_names[] = {"cell", "path_length", "easting", "northing", "elevation"};
    static const char* fixed_long[] = {"cell index along the path, from the top",
                                       "path length along the track", "easting of the cell",
                                       "northing of the cell", "elevation of the track"};
    static const char* fixed_standard[] = {"", "", "projection_x_coordinate",
                                           "projection_y_coordinate", "surface_altitude"};
    const bool fixed = k < static_cast<std::size_t>(kExceedanceFixedColumns);
    const std::string name = fixed ? fixed_names[k] : c.field;
    int id = 0;
    nc_check(nc_def_var(nc, name.c_str(), k == 0 ? NC_INT : NC_DOUBLE, 1, &dim, &id),
             "variable " + name);
    if (!c.units.empty()) nc_text(nc, id, "units", c.units);
    nc_text(nc, id, "column", c.header);
    if (fixed) {
        nc_text(nc, id, "long_name", fixed_long[k]);
        if (*fixed_standard[k]) nc_text(nc, id, "standard_name", fixed_standard[k]);
        return id;
    }
    nc_text(nc, id, "coordinates", "path_length easting northing elevation");
    if (v_crs >= 0) nc_text(nc, id, "grid_mapping", "crs");
    nc_text(nc, id, "quantity", c.quantity);
    if (c.kind == ExceedanceColumn::kProbability) {
        probability_attributes(nc, id, c, th);
        return id;
    }
    nc_text(nc, id, "long_name",
            std::to_string(c.percentile) + "th percentile over the used members of the peak " +
                quantity_text(c.quantity));
    nc_check(nc_put_att_int(nc, id, "percentile", NC_INT, 1, &c.percentile), "percentile");
    nc_double(nc, id, "_FillValue", {NC_FILL_DOUBLE});
    return id;
}

void put_globals(int nc, const ExceedanceTable& t, const std::string& history,
                 const TableThresholds& th) {
    nc_text(nc, NC_GLOBAL, "Conventions", "CF-1.8");
    nc_text(nc, NC_GLOBAL, "title",
            "TORLA ensemble: exceedance probabilities and percentiles along the path");
    nc_text(nc, NC_GLOBAL, "source", "torla-ensemble collect, " + t.path);
    nc_text(nc, NC_GLOBAL, "history", history);
    nc_check(nc_put_att_int(nc, NC_GLOBAL, "members", NC_INT, 1, &t.members), "members");
    nc_check(nc_put_att_int(nc, NC_GLOBAL, "members_used", NC_INT, 1, &t.used), "members_used");
    nc_text(nc, NC_GLOBAL, "members_failed", t.failed);
    nc_text(nc, NC_GLOBAL, "members_unstable", t.unstable);
    nc_text(nc, NC_GLOBAL, "members_not_run", t.not_run);
    nc_double(nc, NC_GLOBAL, "p3_thresholds_kpa", th.p3);
    nc_double(nc, NC_GLOBAL, "p2_thresholds_kpa", th.p2);
    nc_double(nc, NC_GLOBAL, "pressure_heights_m", th.heights);
}

// Every column's values over the cells (the cell index as int, NaN as fill).
void put_columns(int nc, const ExceedanceTable& t, const std::vector<int>& vars) {
    const std::size_t n = t.rows.size();
    std::vector<double> column(n);
    std::vector<int> index(n);
    for (std::size_t k = 0; k < t.columns.size(); ++k) {
        for (std::size_t i = 0; i < n; ++i) {
            column[i] = std::isnan(t.rows[i][k]) ? NC_FILL_DOUBLE : t.rows[i][k];
            index[i] = static_cast<int>(i);
        }
        nc_check(k == 0 ? nc_put_var_int(nc, vars[k], index.data())
                        : nc_put_var_double(nc, vars[k], column.data()),
                 t.columns[k].header);
    }
}

}  // namespace

std::string write_exceedance_netcdf(const ExceedanceTable& t, const std::string& crs_wkt,
                                    const std::string& out, const std::string& history) {
    OutputFile out_file(out);
    int nc = -1;
    try {
        nc_check(nc_create(out_file.temp().c_str(), NC_NETCDF4 | NC_CLOBBER, &nc), "cannot create");
        int dim = 0;
        nc_check(nc_def_dim(nc, "cell", t.rows.size(), &dim), "dimension cell");
        int v_crs = -1;
        if (!crs_wkt.empty()) {
            nc_check(nc_def_var(nc, "crs", NC_INT, 0, nullptr, &v_crs), "variable crs");
            nc_text(nc, v_crs, "crs_wkt", crs_wkt);
            nc_text(nc, v_crs, "spatial_ref", crs_wkt);
        }
        std::vector<int> vars;
        TableThresholds th;
        for (std::size_t k = 0; k < t.columns.size(); ++k)
            vars.push_back(define_column(nc, dim, v_crs, k, t.columns[k], th));
        put_globals(nc, t, history, th);
        nc_check(nc_enddef(nc), "end of definitions");
        put_columns(nc, t, vars);
        nc_check(nc_close(nc), "close");
        nc = -1;
    } catch (const NcFailure& f) {
        if (nc >= 0) nc_close(nc);
        return out + ": " + f.what;
    }
    return out_file.commit();
}

}  // namespace torla::inspect
