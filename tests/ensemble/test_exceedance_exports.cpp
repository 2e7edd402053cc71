// The exceedance table onto the map and into NetCDF: collect writes both
// beside exceedance.csv, read back with OGR and netCDF and compared with the
// table value by value; and the refusals of torla-inspect on a table.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <cstdlib>
#include <memory>
#include <sstream>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include "test_support.h"

namespace torla::test {
namespace {

// The small run of the ensemble tests on a plane, its points placed on the
// map (easting, northing) and the CRS in its comment block.
std::string placed_command_file(const std::string& wkt) {
    const std::string plain = command_file(8, "Max_Time 2\nDump_Interval 1\n", "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5");
    std::istringstream in(plain);
    std::string out, line;
    for (std::size_t at = 0; at < wkt.size(); at += 200) out += "# crs_wkt " + wkt.substr(at, 200) + "\n";
    bool coords = false;
    int i = 0;
    while (std::getline(in, line)) {
        if (line.rfind("| POWDER SNOW LOCAL", 0) == 0) coords = false;
        if (coords && line.find(' ') != std::string::npos) {
            line = line.substr(0, line.size() - 4) + " " + std::to_string(600000 + 7 * i) + " " +
                   std::to_string(200000 - 7 * i);
            ++i;
        }
        if (line.rfind("Number_of_Points", 0) == 0) coords = true;
        out += line + "\n";
    }
    return out;
}

std::string wkt_of(int epsg) {
    OGRSpatialReference s;
    s.importFromEPSG(epsg);
    char* w = nullptr;
    s.exportToWkt(&w);
    const std::string text = w;
    CPLFree(w);
    return text;
}

// The table's header and its rows, every value as a number.
struct Table {
    std::vector<std::string> head;
    std::vector<std::vector<double>> rows;
};
Table read_table(const std::string& path) {
    Table t;
    std::istringstream in(read_text(path));
    for (std::string line; std::getline(in, line);) {
        if (line[0] == '#') continue;
        std::vector<std::string> f;
        std::istringstream l(line);
        for (std::string x; std::getline(l, x, ',');) f.push_back(x);
        if (t.head.empty()) {
            t.head = f;
            continue;
        }
        t.rows.emplace_back();
        for (const auto& x : f) t.rows.back().push_back(std::strtod(x.c_str(), nullptr));
    }
    return t;
}

std::string nc_text(int nc, int var, const char* name) {
    std::size_t len = 0;
    if (nc_inq_attlen(nc, var, name, &len) != NC_NOERR) return "(none)";
    std::string s(len, '\0');
    nc_get_att_text(nc, var, name, s.data());
    return s;
}

TEST(EnsembleExceedanceExports, CollectWritesTheTableOntoTheMapAndIntoNetcdf) {
    TempDir dir;
    write_text(dir.file("b.cmd"), placed_command_file(wkt_of(32632)));
    write_text(dir.file("s.toml"),
               "base = \"b.cmd\"\nsampling = \"grid\"\n[vary]\nCourant_Nr = [0.5, 0.7, 0.9]\n"
               "h2 = { factor = [0.5, 1.5] }\n[thresholds]\np3 = [0.05, 0.5]\np2 = [1.0]\n");
    std::string out;
    ASSERT_EQ(run_in(dir.path(), bin_dir() + "/torla-ensemble run s.toml -o e --jobs 2", out), 0) << out;
    const Table t = read_table(dir.file("e/exceedance.csv"));
    ASSERT_EQ(t.head.size(), 5u + 3u + 12u);
    const std::size_t n = t.rows.size();
    ASSERT_GT(n, 2u);

    GDALAllRegister();
    std::unique_ptr<GDALDataset> ds(GDALDataset::Open(dir.file("e/exceedance.gpkg").c_str(), GDAL_OF_VECTOR));
    ASSERT_TRUE(ds) << out;
    OGRLayer* cells = ds->GetLayerByName("cells");
    ASSERT_TRUE(cells);
    OGRSpatialReference utm;
    utm.importFromEPSG(32632);
    EXPECT_TRUE(cells->GetSpatialRef()->IsSame(&utm));
    ASSERT_EQ(cells->GetFeatureCount(), static_cast<GIntBig>(n));
    const OGRFeatureDefn* defn = cells->GetLayerDefn();
    ASSERT_EQ(defn->GetFieldCount(), static_cast<int>(t.head.size()));
    for (auto& f : *cells) {
        const auto& row = t.rows[f->GetFieldAsInteger("cell")];
        for (int k = 0; k < defn->GetFieldCount(); ++k) {
            EXPECT_EQ(f->GetFieldAsDouble(k), row[k]) << t.head[k] << " cell " << row[0];
        }
        const OGRPoint* p = f->GetGeometryRef()->toPoint();
        EXPECT_EQ(p->getX(), row[2]);
        EXPECT_EQ(p->getY(), row[3]);
    }
    OGRLayer* path = ds->GetLayerByName("path");
    ASSERT_TRUE(path);
    std::unique_ptr<OGRFeature> line(path->GetNextFeature());
    ASSERT_TRUE(line);
    const OGRLineString* ls = line->GetGeometryRef()->toLineString();
    ASSERT_EQ(ls->getNumPoints(), static_cast<int>(n));
    for (int i = 0; i < static_cast<int>(n); ++i)
        EXPECT_EQ(std::vector<double>({ls->getX(i), ls->getY(i), ls->getM(i)}),
                  std::vector<double>({t.rows[i][2], t.rows[i][3], t.rows[i][1]}));

    int nc = -1;
    ASSERT_EQ(nc_open(dir.file("e/exceedance.nc").c_str(), NC_NOWRITE, &nc), NC_NOERR) << out;
    int nvars = 0;
    nc_inq_nvars(nc, &nvars);
    std::size_t cells_nc = 0;
    int dim = -1;
    ASSERT_EQ(nc_inq_dimid(nc, "cell", &dim), NC_NOERR);
    nc_inq_dimlen(nc, dim, &cells_nc);
    ASSERT_EQ(cells_nc, n);
    int matched = 0;
    for (int v = 0; v < nvars; ++v) {
        const std::string column = nc_text(nc, v, "column");
        const auto k = std::find(t.head.begin(), t.head.end(), column) - t.head.begin();
        if (k == static_cast<long>(t.head.size())) continue;
        ++matched;
        std::vector<double> got(n);
        nc_get_var_double(nc, v, got.data());
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(got[i], t.rows[i][k]) << column << " cell " << i;
        // A probability's threshold (kPa) as an attribute.
        double threshold = -1;
        nc_get_att_double(nc, v, "threshold", &threshold);
        EXPECT_EQ(threshold, column[0] == 'P' ? std::strtod(column.substr(5).c_str(), nullptr) : -1) << column;
    }
    EXPECT_EQ(matched, static_cast<int>(t.head.size()));
    double p3[3] = {0, 0, 0};
    std::size_t len = 0;
    nc_inq_attlen(nc, NC_GLOBAL, "p3_thresholds_kpa", &len);
    nc_get_att_double(nc, NC_GLOBAL, "p3_thresholds_kpa", p3);
    EXPECT_EQ(std::vector<double>(p3, p3 + len), (std::vector<double>{0.05, 0.5}));
    int members = 0, used = 0;
    nc_get_att_int(nc, NC_GLOBAL, "members", &members);
    nc_get_att_int(nc, NC_GLOBAL, "members_used", &used);
    EXPECT_EQ(read_text(dir.file("e/exceedance.csv")).rfind("# members " + std::to_string(members) + ", used " +
                                                                std::to_string(used) + "\n# left out: failed " +
                                                                nc_text(nc, NC_GLOBAL, "members_failed") + ";",
                                                            0),
              0u);
    EXPECT_EQ(members, 6);
    nc_close(nc);
}

TEST(EnsembleExceedanceExports, RefusalsNameTheFileTheLineAndTheColumn) {
    TempDir dir;
    const std::string head =
        "# members 3, used 2\n# left out: failed 1; unstable none; not run none\n"
        "cell,path_length[m],easting[m],northing[m],elevation[m],P(p3>1kPa),p3_p50[kPa]\n";
    const std::string row0 = "0,0,600000,200000,1000,0.5,0.75\n";
    write_text(dir.file("b.cmd"), placed_command_file(wkt_of(32632)));
    write_text(dir.file("nocrs.cmd"), command_file(8, "", "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5"));
    struct Case {
        std::string table, plan_base, args, message;
        int status;
    };
    const std::vector<Case> cases = {
        {head + row0, "b.cmd", "map", "map needs -o FILE.gpkg or -o FILE.geojson", 2},
        {head + row0, "b.cmd", "map -o x.shp", "map needs -o FILE.gpkg", 2},
        {head + row0, "b.cmd", "netcdf -o x.nc --crs EPSG:4326", "unknown option `--crs' of netcdf", 2},
        {head + row0, "b.cmd", "map -o x.gpkg --crs nowhere", "--crs: `nowhere' is no CRS GDAL knows", 2},
        {"cell,path\n", "b.cmd", "netcdf -o x.nc", "e/exceedance.csv: line 1: not the `# members N, used M' line", 1},
        {head.substr(0, 20) + "# left out: none\n" + head.substr(head.find("cell")), "b.cmd", "netcdf -o x.nc",
         "e/exceedance.csv: line 2: not the `# left out: failed", 1},
        {head.substr(0, head.find("cell")) + "cell,path_length[m],x[m]\n", "b.cmd", "netcdf -o x.nc",
         "line 3, column 3 must be `easting[m]', not `x[m]'", 1},
        {head.substr(0, head.find("P(p3")) + "P(p3>-1kPa)\n", "b.cmd", "netcdf -o x.nc",
         "line 3, column 6 `P(p3>-1kPa)': `-1' is no threshold in kPa", 1},
        {head.substr(0, head.find("P(p3")) + "p4_p50[kPa]\n", "b.cmd", "netcdf -o x.nc",
         "line 3, column 6: unknown column `p4_p50[kPa]'", 1},
        {head, "b.cmd", "netcdf -o x.nc", "e/exceedance.csv: no cells after the header (line 3)", 1},
        {head + row0 + "1,10,600007,199993,995,0.5\n", "b.cmd", "netcdf -o x.nc",
         "e/exceedance.csv: line 5: 6 values where the header has 7 columns", 1},
        {head + row0 + "1,10,600007,199993,995,half,1\n", "b.cmd", "map -o x.gpkg",
         "e/exceedance.csv: line 5, column 6 (P(p3>1kPa)): `half' is not a number", 1},
        {head + row0 + "2,10,600007,199993,995,0.5,1\n", "b.cmd", "map -o x.gpkg",
         "line 5, column 1 (cell): cell `2' where cell 1 comes next", 1},
        {head + row0, "nocrs.cmd", "map -o x.gpkg", "e/exceedance.csv: no CRS: the ensemble's base command file has no crs_wkt", 1},
        {head + row0, "b.cmd", "netcdf -o e/plan.txt", "e/plan.txt", 1},
        {head + row0, "b.cmd", "netcdf -o b.cmd", "b.cmd", 1},
        {head + row0, "b.cmd", "map -o e/exceedance.csv.gpkg", "", 0},
    };
    fs::create_directories(dir.path() / "e");
    for (const auto& c : cases) {
        write_text(dir.file("e/exceedance.csv"), c.table);
        write_text(dir.file("e/plan.txt"), "torla-ensemble plan\nbase " + dir.file(c.plan_base) + "\n");
        const std::string before = read_text(dir.file("e/plan.txt")) + read_text(dir.file("b.cmd"));
        std::string out;
        EXPECT_EQ(run_in(dir.path(), bin_dir() + "/torla-inspect e/exceedance.csv " + c.args, out), c.status)
            << c.args << "\n" << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
        EXPECT_EQ(read_text(dir.file("e/plan.txt")) + read_text(dir.file("b.cmd")), before) << c.args;
    }
}

}  // namespace
}  // namespace torla::test
