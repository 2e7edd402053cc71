// Shared pieces of the ensemble tests: a short mapped run as the base, a
// run of torla-ensemble with its scratch folder in the test's folder, and
// the exceedance table compared with exceedance.gpkg and exceedance.nc.
#pragma once

#include <netcdf.h>

#include <memory>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include "test_support.h"

namespace torla::ensemble {

// A short run on a plane: n points, 2 s, a dump every second.
inline std::string small_command_file(
    int n = 8, const std::string& globals = "Max_Time 2\nDump_Interval 1\n") {
    return test::command_file(n, globals, "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5");
}

// The small run with its points on the map (easting, northing) and UTM
// zone 32N in two crs_wkt comment lines.
inline std::string mapped_command_file() {
    std::istringstream in(small_command_file());
    std::ostringstream o;
    o << "# crs_wkt PROJCS[\"WGS 84 / UTM zone 32N\",GEOGCS[\"WGS 84\",DATUM[\"WGS_1984\","
         "SPHEROID[\"WGS 84\",6378137,298.257223563]],PRIMEM[\"Greenwich\",0],UNIT[\"degree\","
         "0.0174532925199433]],\n# crs_wkt PROJECTION[\"Transverse_Mercator\"],PARAMETER["
         "\"latitude_of_origin\",0],PARAMETER[\"central_meridian\",9],PARAMETER[\"scale_factor\","
         "0.9996],PARAMETER[\"false_easting\",500000],PARAMETER[\"false_northing\",0],UNIT["
         "\"metre\",1]]\n";
    int i = 0;
    for (std::string line; std::getline(in, line); o << "\n") {
        const bool coords = line.size() > 4 && line.compare(line.size() - 4, 4, " 0 0") == 0;
        o << (coords ? line.substr(0, line.size() - 4) : line);
        if (coords) o << " " << 600000 + 7 * i << " " << 200000 - 5 * i, ++i;
    }
    return o.str();
}

// Runs torla-ensemble in dir with its scratch folder under dir/tmp.
inline int ensemble(const test::TempDir& dir, const std::string& args, std::string& out) {
    std::filesystem::create_directories(dir.path() / "tmp");
    return test::run_in(
        dir.path(),
        "TMPDIR='" + dir.file("tmp") + "' " + test::bin_dir() + "/torla-ensemble " + args, out);
}

// A text attribute of a NetCDF variable, or "(none)".
inline std::string nc_text(int nc, int var, const char* name) {
    std::size_t len = 0;
    if (nc_inq_attlen(nc, var, name, &len) != NC_NOERR) return "(none)";
    std::string s(len, '\0');
    nc_get_att_text(nc, var, name, s.data());
    return s;
}

// The number in a column header after `mark' up to the unit ("P(p3>1kPa)"
// after '>' is 1; after '@' none: -1).
inline double header_number(const std::string& column, char mark) {
    const std::size_t at = column[0] == 'P' ? column.find(mark) : std::string::npos;
    return at == std::string::npos ? -1.0 : std::stod(column.substr(at + 1));
}

// The exceedance table t (csv_rows of exceedance.csv) on the map: a point
// per cell in UTM 32N with every column, the path measured by path length;
// and in NetCDF: a variable per column (its header in `column') with its
// threshold and height as attributes.
inline void expect_map_and_netcdf(const std::string& folder,
                                  const std::vector<std::vector<std::string>>& t) {
    const std::size_t n = t.size() - 1;
    GDALAllRegister();
    std::unique_ptr<GDALDataset> ds(
        GDALDataset::Open((folder + "/exceedance.gpkg").c_str(), GDAL_OF_VECTOR));
    ASSERT_TRUE(ds);
    OGRLayer* cells = ds->GetLayerByName("cells");
    OGRSpatialReference utm;
    utm.importFromEPSG(32632);
    EXPECT_TRUE(cells->GetSpatialRef()->IsSame(&utm));
    ASSERT_EQ(cells->GetFeatureCount(), static_cast<GIntBig>(n));
    ASSERT_EQ(cells->GetLayerDefn()->GetFieldCount(), static_cast<int>(t[0].size()));
    for (auto& f : *cells) {
        const auto& row = t[f->GetFieldAsInteger("cell") + 1];
        for (std::size_t k = 0; k < row.size(); ++k)
            EXPECT_EQ(f->GetFieldAsDouble(static_cast<int>(k)), std::stod(row[k]))
                << t[0][k] << " cell " << row[0];
        const OGRPoint* p = f->GetGeometryRef()->toPoint();
        EXPECT_EQ(p->getX() + 1e6 * p->getY(), std::stod(row[2]) + 1e6 * std::stod(row[3]));
    }
    std::unique_ptr<OGRFeature> line(ds->GetLayerByName("path")->GetNextFeature());
    const OGRLineString* ls = line->GetGeometryRef()->toLineString();
    ASSERT_EQ(ls->getNumPoints(), static_cast<int>(n));
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_EQ(std::vector<double>({ls->getX(i), ls->getY(i), ls->getM(i)}),
                  std::vector<double>(
                      {std::stod(t[i + 1][2]), std::stod(t[i + 1][3]), std::stod(t[i + 1][1])}));
    int nc = -1, nvars = 0, matched = 0;
    ASSERT_EQ(nc_open((folder + "/exceedance.nc").c_str(), NC_NOWRITE, &nc), NC_NOERR);
    nc_inq_nvars(nc, &nvars);
    for (int v = 0; v < nvars; ++v) {
        const std::string column = nc_text(nc, v, "column");
        const std::size_t k = std::find(t[0].begin(), t[0].end(), column) - t[0].begin();
        if (k == t[0].size()) continue;
        ++matched;
        std::vector<double> got(n);
        ASSERT_EQ(nc_get_var_double(nc, v, got.data()), NC_NOERR) << column;
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_EQ(got[i], std::stod(t[i + 1][k])) << column << " cell " << i;
        double threshold = -1, height = -1;  // kPa and m, of a probability
        nc_get_att_double(nc, v, "threshold", &threshold);
        nc_get_att_double(nc, v, "height", &height);
        EXPECT_EQ(threshold, header_number(column, '>')) << column;
        EXPECT_EQ(height, header_number(column, '@')) << column;
        if (height >= 0) {
            EXPECT_EQ(nc_text(nc, v, "units") + " " + nc_text(nc, v, "grid_mapping") + " " +
                          nc_text(nc, v, "height_units"),
                      "1 crs m");
        }
    }
    EXPECT_EQ(matched, static_cast<int>(t[0].size()));
    nc_close(nc);
}

}  // namespace torla::ensemble
