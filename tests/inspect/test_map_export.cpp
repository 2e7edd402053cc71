// torla-inspect map: GeoPackage and GeoJSON read back with OGR; zones; refusals.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <sstream>

#include <nlohmann/json.hpp>

#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "model/quantities.h"
#include "support/numbers.h"
#include "terrain_run.h"

namespace torla::test {

std::unique_ptr<TempDir> TerrainRun::dir_;
std::unique_ptr<ResultData> TerrainRun::result_;

namespace {

using Dataset = GDALDatasetUniquePtr;

Dataset open_vector(const std::string& path) {
    GDALAllRegister();
    return Dataset(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR));
}

std::string without_crs_lines(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line))
        if (line.rfind("# crs_wkt ", 0) != 0) out += line + "\n";
    return out;
}

TEST(MapZones, PresetsAndThresholds) {
    // A zone set, and pressures (kPa) with the zone each falls in ("" for none).
    const std::pair<std::string, std::vector<std::pair<double, std::string>>> cases[] = {
        {"swiss", {{0.05, ""}, {0.1, "yellow"}, {2.99, "yellow"}, {3.0, "blue"}, {30.0, "red"}}},
        {"austria", {{0.9, ""}, {1.0, "yellow"}, {10.0, "red"}}},
        {"damage", {{5.0, "light structures"}}},
        {"1,3,30", {{0.5, ""}, {1.0, "1-3 kPa"}, {29.9, "3-30 kPa"}, {300.0, ">=30 kPa"}}},
        {"2.5", {{2.5, ">=2.5 kPa"}}},
    };
    for (const auto& [zones, pressures] : cases) {
        ZoneSet z;
        ASSERT_EQ(parse_zone_set(zones, "", z), "") << zones;
        for (const auto& [kpa, name] : pressures) {
            const int k = zone_of(z, kpa);
            EXPECT_EQ(k == 0 ? "" : z.classes[k - 1].name, name) << zones << " " << kpa;
        }
        // The pressure judged: p3 unless the set says otherwise.
        ASSERT_EQ(parse_zone_set(zones, "p2", z), "");
        EXPECT_EQ(judged_pressure(z, 7.0, 2.0), 7.0);
        ASSERT_EQ(parse_zone_set(zones, "max", z), "");
        EXPECT_EQ(judged_pressure(z, 1.0, 2.0), 2.0);
        ASSERT_EQ(parse_zone_set(zones, "p3", z), "");
        EXPECT_EQ(judged_pressure(z, 7.0, 2.0), 2.0);
    }
    for (const char* bad : {"", "3,1", "1,,3", "0,3", "-1", "1,3,nan", "swis", "1;3"}) {
        ZoneSet z;
        EXPECT_NE(parse_zone_set(bad, "", z), "") << bad;
    }
    // (A pressure it does not know: the refusal of map --zone-pressure p1.)
}

TEST(MapContext, CrsTopElevationProfileAndSplitFromTheCommandText) {
    // The log's command file read as torla reads it: the comments before
    // Track_Name, the coordinates as doubles (1234.56 is no float).
    const std::string head =
        "# made by hand\n# crs_wkt PROJCRS[\"a\",\n# crs_wkt  b]\n"
        "# split_s_horizontal_m: 812.5\n# split_source: split-at\n";
    const std::string file = test::command_file(3, "# crs_wkt not this\n", kReleasePoint);
    auto with_rows = [&](const std::string& rows) {
        std::string t = head + file;
        const std::size_t a = t.find("0 0 1000 0 0\n"), b = t.find("| POWDER SNOW LOCAL");
        return t.replace(a, b - a, rows);
    };
    const struct {
        std::string text;
        std::optional<double> top;
        std::vector<double> s = {}, z = {};  // the profile
    } cases[] = {
        {with_rows("\"0 100 1234.56 1 2\"\n# a comment row\n1 110 1200 1 2\n2 130 1190 0 0\n"),
         1234.56,
         {0, 10, 30},
         {1234.56, 1200, 1190}},
        {with_rows("0 100 50 0 0\n1 90 45 0 0\n2 130 44 0 0\n"), 50.0},    // x falls: no profile
        {with_rows("3 0 5 0 0\n4 10 4 0 0\n5 20 3 0 0\n"), std::nullopt},  // rows misnumbered
        {head + "Track_Name T\n", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(inspect::crs_wkt_of_command_text(c.text), "PROJCRS[\"a\", b]");
        EXPECT_EQ(inspect::top_elevation_of_command_text(c.text), c.top) << c.text;
        const auto profile = inspect::profile_of_command_text(c.text);
        ASSERT_EQ(profile.size(), c.s.size()) << c.text;
        for (std::size_t i = 0; i < profile.size(); ++i) {
            EXPECT_EQ(profile[i].s_m, c.s[i]);
            EXPECT_EQ(profile[i].z_m, c.z[i]);
        }
        std::string source;
        EXPECT_EQ(inspect::split_of_command_text(c.text, source), 812.5);
        EXPECT_EQ(source, "split-at");
    }
    std::string source;
    EXPECT_EQ(inspect::split_of_command_text("Track_Name T\n# split_s_horizontal_m: 1\n", source),
              std::nullopt);
    // At the top a split point, above none; an empty source line says nothing.
    EXPECT_EQ(inspect::split_of_command_text(
                  "# split_s_horizontal_m: 0\n# split_source:\nTrack_Name T\n", source),
              0.0);
    EXPECT_EQ(source, "");
    EXPECT_EQ(inspect::split_of_command_text("# split_s_horizontal_m: -1\nTrack_Name T\n", source),
              std::nullopt);
    EXPECT_EQ(inspect::crs_wkt_of_command_text("Track_Name T\n# crs_wkt X\n"), "");
}

using MapExport = TerrainRun;

TEST_F(MapExport, GeoPackageInTheRunsCrsAndGeoJsonInWgs84) {
    const ResultData& r = result();
    // The run record torla wrote beside the result gives the arrival times.
    const nlohmann::json record = nlohmann::json::parse(read_text(file("valley.res.json")));
    const auto& arrival = record.at("arrival_time_s");
    ASSERT_EQ(arrival.size(), static_cast<std::size_t>(r.n_cells));
    // ... and the CRS the run read from its command file's crs_wkt lines.
    const std::string wkt = inspect::crs_wkt_of_command_text(read_text(file("valley.cmd")));
    ASSERT_FALSE(wkt.empty());
    EXPECT_EQ(record.at("crs_wkt"), wkt);
    std::string out;
    ASSERT_EQ(inspect("valley.res map -o valley.gpkg --zones 1,3,30 --zone-pressure max", out), 0)
        << out;
    EXPECT_EQ(out.find("note:"), std::string::npos) << out;

    Dataset ds = open_vector(file("valley.gpkg"));
    ASSERT_TRUE(ds);
    OGRLayer* cells = ds->GetLayerByName("cells");
    ASSERT_NE(cells, nullptr);
    EXPECT_STREQ(cells->GetSpatialRef()->GetAuthorityCode(nullptr), "32632");
    ZoneSet zones;
    ASSERT_EQ(parse_zone_set("1,3,30", "max", zones), "");
    const std::vector<double> rel = inspect::relative_elevation(r);
    int seen = 0, zoned = 0, arrived = 0;
    for (auto& f : *cells) {
        const int i = f->GetFieldAsInteger("cell");
        ASSERT_EQ(i, seen++);
        EXPECT_EQ(f->GetFieldAsDouble("path_length_m"), r.geometry[i].path_length);
        EXPECT_EQ(f->GetFieldAsDouble("slope_deg"), r.geometry[i].slope_deg);
        const struct {
            const char* field;
            int row;
        } peaks[] = {{"p2_max_kpa", kRowSaltPressure}, {"p3_max_kpa", kRowSuspPressure},
                     {"h2_max_m", kRowSaltDepth},      {"h3_max_m", kRowSuspDepth},
                     {"u2_max_m_s", kRowSaltVelocity}, {"u3_max_m_s", kRowSuspVelocity}};
        for (const auto& p : peaks)
            EXPECT_EQ(f->GetFieldAsDouble(p.field), r.peak(p.row, i, 0)) << p.field << " " << i;
        // The top's elevation (within the bilinear error) plus the drop.
        EXPECT_NEAR(f->GetFieldAsDouble("elevation_m"), valley_elevation(400200, 5101100) + rel[i],
                    5e-3);
        if (arrival[i].is_null()) {
            EXPECT_TRUE(f->IsFieldNull(f->GetFieldIndex("arrival_time_s"))) << i;
        } else {
            EXPECT_EQ(f->GetFieldAsDouble("arrival_time_s"), arrival[i].get<double>()) << i;
            ++arrived;
        }
        const double zp = std::max(r.peak(kRowSaltPressure, i, 0), r.peak(kRowSuspPressure, i, 0));
        const int z = zone_of(zones, zp);
        EXPECT_EQ(f->GetFieldAsInteger("zone_index"), z);
        EXPECT_STREQ(f->GetFieldAsString("zone"), z ? zones.classes[z - 1].name.c_str() : "none");
        zoned += z > 0;
        const OGRPoint* pt = f->GetGeometryRef()->toPoint();
        EXPECT_EQ(pt->getX(), r.geometry[i].aux2);
        EXPECT_EQ(pt->getY(), r.geometry[i].aux6);
    }
    EXPECT_EQ(seen, r.n_cells);
    EXPECT_GT(zoned, 10);    // the release reaches the zones
    EXPECT_GT(arrived, 10);  // and the flow arrives down the track

    OGRLayer* path = ds->GetLayerByName("path");
    ASSERT_NE(path, nullptr);
    std::unique_ptr<OGRFeature> line(path->GetNextFeature());
    ASSERT_TRUE(line);
    const OGRLineString* ls = line->GetGeometryRef()->toLineString();
    ASSERT_TRUE(ls->IsMeasured());
    ASSERT_EQ(ls->getNumPoints(), r.n_cells);
    for (int i = 0; i < r.n_cells; ++i) EXPECT_EQ(ls->getM(i), r.geometry[i].path_length) << i;

    // A point per run-out, at the furthest cell above the limit.
    OGRLayer* runouts = ds->GetLayerByName("runouts");
    ASSERT_NE(runouts, nullptr);
    const TrackAxis axis = track_axis(r.geometry);
    int simulated = 0;
    for (auto& f : *runouts) {
        // The alpha-beta run-outs are MapExportAlphaBeta's.
        if (std::string(f->GetFieldAsString("kind")) != "simulated") continue;
        ++simulated;
        const int row = std::string(f->GetFieldAsString("quantity")) == "p2" ? kRowSaltPressure
                                                                             : kRowSuspPressure;
        const float limit = static_cast<float>(f->GetFieldAsDouble("threshold_kpa"));
        int furthest = -1;
        for (int i = 0; i < r.n_cells; ++i)
            if (r.peak(row, i, 0) > limit) furthest = i;
        ASSERT_GE(furthest, 0);
        const OGRPoint* pt = f->GetGeometryRef()->toPoint();
        EXPECT_EQ(pt->getX(), r.geometry[furthest].aux2);
        EXPECT_EQ(pt->getY(), r.geometry[furthest].aux6);
        EXPECT_NEAR(f->GetFieldAsDouble("s_horizontal_m"), axis.horizontal_m[furthest], 1e-6);
        EXPECT_NEAR(
            std::tan(f->GetFieldAsDouble("angle_deg") * M_PI / 180.0) * axis.horizontal_m[furthest],
            -axis.elevation_m[furthest], 1e-6);
        EXPECT_EQ(f->GetFieldAsInteger("determined") == 1,
                  std::string(f->GetFieldAsString("reason")).empty());
    }
    EXPECT_GT(simulated, 2);

    // GeoJSON in WGS84, of a copy without the run record: no arrival times.
    for (const char* ext : {".res", ".plg"})
        fs::copy_file(file("valley") + ext, file("copy") + ext,
                      fs::copy_options::overwrite_existing);
    ASSERT_EQ(inspect("copy.res map -o valley.geojson", out), 0) << out;
    EXPECT_CONTAINS(
        out, "note: no run record copy.res.json: arrival times, scheme and stop reason left out");
    EXPECT_EQ(open_vector(file("valley-path.geojson"))->GetLayer(0)->GetFeatureCount(), 1);
    Dataset geo = open_vector(file("valley.geojson"));
    ASSERT_TRUE(geo);
    EXPECT_EQ(geo->GetLayer(0)->GetFeatureCount(), r.n_cells);
    EXPECT_STREQ(geo->GetLayer(0)->GetSpatialRef()->GetAuthorityCode(nullptr), "4326");
    OGRSpatialReference wgs, utm;
    wgs.importFromEPSG(4326);
    utm.importFromEPSG(32632);
    wgs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    utm.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> back(
        OGRCreateCoordinateTransformation(&wgs, &utm));
    for (auto& f : *geo->GetLayer(0)) {
        const int i = f->GetFieldAsInteger("cell");
        double x = f->GetGeometryRef()->toPoint()->getX(),
               y = f->GetGeometryRef()->toPoint()->getY();
        ASSERT_TRUE(back->Transform(1, &x, &y));
        // Seven decimals of a degree: about a centimetre.
        EXPECT_NEAR(x, r.geometry[i].aux2, 0.02) << i;
        EXPECT_NEAR(y, r.geometry[i].aux6, 0.02) << i;
        EXPECT_TRUE(f->IsFieldNull(f->GetFieldIndex("arrival_time_s")));
        // By default the zone is that of the suspension-layer pressure.
        const ZoneSet swiss = default_zone_set();
        const int z = zone_of(swiss, r.peak(kRowSuspPressure, i, 0));
        EXPECT_STREQ(f->GetFieldAsString("zone"), z ? swiss.classes[z - 1].name.c_str() : "none")
            << i;
    }
}

// The example's alpha-beta run-outs on the bending path, between the cells
// around their distance; the summary's text rows as its JSON gives them.
TEST(MapExportAlphaBeta, RunoutsOnTheMapAndInTheSummary) {
    TempDir dir;
    const std::string text = example_until("4.0");
    ASSERT_NE(text.find("Max_Time 4.0\n"), std::string::npos);
    std::string out;
    ASSERT_EQ(run_torla(dir, text, out), 0) << out;
    const std::string inspect = bin_dir() + "/torla-inspect run.res ";
    ASSERT_EQ(run_in(dir.path(),
                     "(" + inspect + "map -o run.gpkg --crs EPSG:21781 && " + inspect +
                         "summary > s.txt && " + inspect + "summary --json > s.json)",
                     out),
              0)
        << out;
    const std::string summary_text = read_text(dir.file("s.txt"));
    const auto summary = nlohmann::json::parse(read_text(dir.file("s.json")));
    std::vector<double> expected;
    int rows = 0;
    for (const auto& set : summary.at("alpha_beta").at("sets")) {
        std::string want = support::fmt(
            "              %-17s  %10.2f  %7.2f", set.at("name").get<std::string>().c_str(),
            set.at("alpha_deg").get<double>(), set.at("sd_deg").get<double>());
        for (const char* k : {"+1", "0", "-1", "-2"}) {
            const auto& s = set.at("runout_s_horizontal_m").at(k);
            want += s.is_null() ? support::fmt("  %12s", "out of profile")
                                : support::fmt("  %12.1f", s.get<double>());
            if (!s.is_null()) expected.push_back(s.get<double>());
        }
        EXPECT_CONTAINS(summary_text, want + "\n") << want;
        ++rows;
    }
    EXPECT_EQ(rows, 3);
    ASSERT_GE(expected.size(), 6u);

    ResultData r;
    ASSERT_EQ(read_result_file(dir.file("run.res"), r), "");
    const TrackAxis axis = track_axis(r.geometry);
    Dataset ds = open_vector(dir.file("run.gpkg"));
    ASSERT_TRUE(ds);
    std::vector<double> seen;
    for (auto& f : *ds->GetLayerByName("runouts")) {
        if (std::string(f->GetFieldAsString("kind")) != "alpha_beta") continue;
        const double s = f->GetFieldAsDouble("s_horizontal_m");
        seen.push_back(s);
        std::size_t i = 1;
        while (i + 1 < axis.horizontal_m.size() && axis.horizontal_m[i] < s) ++i;
        const double w =
            (s - axis.horizontal_m[i - 1]) / (axis.horizontal_m[i] - axis.horizontal_m[i - 1]);
        ASSERT_GT(w, 0.0) << s;
        const GeometryRow &a = r.geometry[i - 1], &b = r.geometry[i];
        const OGRPoint* at = f->GetGeometryRef()->toPoint();
        EXPECT_NEAR(at->getX(), a.aux2 + w * (b.aux2 - a.aux2), 1e-6) << s;
        EXPECT_NEAR(at->getY(), a.aux6 + w * (b.aux6 - a.aux6), 1e-6) << s;
    }
    std::sort(expected.begin(), expected.end());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);
}

// Refusals: the arguments, a piece of the message, the status.
TEST_F(MapExport, Refusals) {
    std::string out;
    // A run without map coordinates, and one whose command file lost its CRS.
    write_text(file("plain.cmd"), command_file(8, "Max_Time 1\nDump_Interval 1\n", kReleasePoint));
    write_text(file("nocrs.cmd"), without_crs_lines(read_text(file("valley.cmd"))));
    for (const std::string run : {"plain", "nocrs"}) {
        write_text(file(run + ".info"), run + ".cmd\n" + run + ".res\n" + bin_dir() + "/\n");
        ASSERT_EQ(run_in(fs::path(file("")), bin_dir() + "/torla " + run + ".info", out), 0) << out;
    }

    // A FIFO for a log, /dev/zero for a record (neither read whole), a whole
    // run's record beside a cut result, a path file of no earlier export.
    const std::string whole = read_text(file("valley.res")),
                      record = read_text(file("valley.res.json"));
    for (const char* copy : {"fifo.res", "zero.res"}) write_text(file(copy), whole);
    write_text(file("cut.res"), whole.substr(0, whole.size() - 7));
    write_text(file("cut\x1b[2J.res"), whole.substr(0, whole.size() - 7));
    ASSERT_EQ(mkfifo(file("fifo.plg").c_str(), 0600), 0);
    write_text(file("fifo.res.json"), record);
    std::filesystem::create_symlink("/dev/zero", file("zero.res.json"));
    write_text(file("cut.res.json"), record);
    write_text(file("stray-path.geojson"), "mine");

    struct Case {
        std::string args, message;
        int status;
    };
    const std::vector<Case> cases = {
        {"valley.res csv -o valley.plg", "the output file valley.plg is the input valley.plg", 1},
        {"valley.res csv --peaks -o valley.res.json",
         "the output file valley.res.json is the input valley.res.json", 1},
        {"valley.res map -o stray.geojson",
         "the export writes stray-path.geojson beside stray.geojson, and stray-path.geojson is "
         "there without it",
         1},
        {"fifo.res netcdf -o m.nc", "note: no log fifo.plg beside the result (not a regular file)",
         0},
        // Without the log, the run record's CRS places the map.
        {"fifo.res map -o f.gpkg", "note: no log fifo.plg beside the result", 0},
        {"zero.res netcdf -o z.nc",
         "the run record zero.res.json is not a regular file; the result and its run record "
         "disagree",
         1},
        {"cut.res netcdf -o c.nc",
         "but the result file is unfinished: the record of an earlier run", 1},
        {"cut.res map -o m.gpkg", "cut.res: no peak table, the run did not finish", 1},
        {"'cut\x1b[2J.res' netcdf -o e.nc", "cut\\u001b[2J.res: note: no peak table", 0},
        {"'cut\x1b[2J.res' netcdf -o e.nc", "cut\\u001b[2J.res: note: the file is cut short", 0},
        {"valley.res netcdf '--\x1b[2J'", "unknown option `--\\u001b[2J' of netcdf", 2},
        {"plain.res map -o m.gpkg", "plain.res: the geometry table carries no map coordinates", 1},
        {"nocrs.res map -o m.gpkg",
         "nocrs.res: no CRS: the command file copied into nocrs.plg has no crs_wkt lines", 1},
        {"valley.res map -o m.shp", "-o m.shp: the name must end in .gpkg or .geojson", 2},
        {"valley.res map", "map needs -o FILE.gpkg or -o FILE.geojson", 2},
        {"valley.res map -o m.gpkg --zones 3,1",
         "--zones takes swiss, austria, damage or rising thresholds", 2},
        {"valley.res map -o m.gpkg --crs EPSG:0", "--crs: `EPSG:0' is no CRS GDAL knows", 2},
        {"valley.res map -o m.gpkg --zone-pressure p1",
         "--zone-pressure takes p3, p2 or max, not `p1'", 2},
        {"valley.res netcdf", "netcdf needs -o FILE.nc", 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(inspect(c.args, out), c.status) << c.args << "\n" << out;
        EXPECT_CONTAINS(out, c.message) << c.args;
        EXPECT_FALSE(std::filesystem::exists(file("m.gpkg"))) << c.args;
    }
    EXPECT_EQ(read_text(file("stray-path.geojson")), "mine");
    EXPECT_FALSE(std::filesystem::exists(file("c.nc")));
    EXPECT_FALSE(std::filesystem::exists(file("z.nc")));
    // The refused outputs left the log and the run record as they were.
    EXPECT_EQ(read_text(file("valley.plg")).rfind("TORLA Version ", 0), 0u);
    EXPECT_EQ(read_text(file("valley.res.json")).rfind("{", 0), 0u);
    Dataset placed = open_vector(file("f.gpkg"));
    ASSERT_TRUE(placed);
    EXPECT_STREQ(placed->GetLayerByName("cells")->GetSpatialRef()->GetAuthorityCode(nullptr),
                 "32632");
    // --crs names the CRS the log does not have.
    EXPECT_EQ(inspect("nocrs.res map -o m.gpkg --crs EPSG:32632", out), 0) << out;
}

}  // namespace
}  // namespace torla::test
