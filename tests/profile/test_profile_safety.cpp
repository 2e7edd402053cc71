// torla-profile's refusals and a write that fails; the escapes of what files hold.
#include <tuple>

#include "profile/text_escape.h"
#include "terrain_fixture.h"

namespace torla {
namespace {

namespace fs = std::filesystem;
using test::geojson_line;
using test::kValley;
using test::TempDir;

// Every refusal names its place; none changes an input, leaves a file, hangs on a FIFO, prints a
// raw escape or starts a program (GDAL's GPSBabel driver would start `gpsbabel' from the PATH).
TEST(ProfileSafety, RefusalsNameTheirPlaceAndLeaveNothingBehind) {
    TempDir dir;
    test::make_inputs(dir);
    // A row of no-data pixels across the valley; no descent; WGS84's CRS.
    test::make_valley_dem(dir.file("hole.tif"), 32632, [](double x, double y) {
        return std::fabs(y - 5100501.0) < 1.0 ? -9999.0 : test::valley_elevation(x, y);
    });
    test::make_valley_dem(dir.file("flat.tif"), 32632, [](double, double) { return 1500.0; });
    test::make_valley_dem(dir.file("geographic.tif"), 4326);
    const std::string named = "\"crs\": {\"type\": \"name\", \"properties\": {\"name\": ";
    const std::string deep = test::geojson_polygon("\"thickness\": 0.8", 5100900, 5101200);
    auto twice = [](const std::string& line) { return test::geojson_both(line, line); };
    const std::pair<const char*, std::string> files[] = {
        {"short.geojson", geojson_line("\"s\"", "[400200, 5101100], [400200, 5101045]")},
        {"inf.geojson", geojson_line("\"inf\"", "[400200, 5101100], [1e999, 5100700]")},
        {"far.geojson", geojson_line("\"far\"", "[400200, 5101100], [400200, 1e12]")},
        {"one.geojson", geojson_line("\"one\"", "[400200, 5101100]")},
        {"evil.geojson", twice(geojson_line(test::kEvilName, kValley))},
        {"twice.geojson", twice(geojson_line("\"v\"", kValley))},
        {"badcrs.geojson",
         geojson_line("\"x\"", kValley, named + "\"urn:ogc:def:crs:EPSG::999999\"}}, ")},
        {"oddcrs.geojson", geojson_line("\"x\"", kValley, "\"crs\": \"EPSG:32632\", ")},
        // projected numbers in a file that says WGS84
        {"wrongcrs.geojson", geojson_line("\"x\"", kValley, named + "\"EPSG:4326\"}}, ")},
        {"away.geojson", test::geojson_polygon("", 5099000.0, 5099100.0)},
        {"neg.geojson", test::geojson_polygon("\"thickness\": -1", 5101000, 5101200)},
        {"mixed.geojson", test::geojson_both(deep, test::geojson_polygon("", 5100500, 5100600))},
        {"overlap.geojson",
         test::geojson_both(deep, test::geojson_polygon("\"thickness\": 0.5", 5101000, 5101100))},
        {"distant.geojson", test::geojson_point(400300, 5100900)},
        // A VRT's sources would be opened with every driver GDAL has.
        {"mosaic.vrt",
         "<VRTDataset rasterXSize=\"8\" rasterYSize=\"8\"><VRTRasterBand dataType=\"Float32\" "
         "band=\"1\"><SimpleSource><SourceFilename relativeToVRT=\"1\">dem.tif</SourceFilename>"
         "</SimpleSource></VRTRasterBand></VRTDataset>\n"},
        {"track.geojson", "<?xml version=\"1.0\"?>\n<TrainingCenterDatabase/>\n"},
        {"gpsbabel", "#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\n"},
    };
    for (const auto& [name, text] : files) test::write_text(dir.file(name), text);
    // Outputs that are inputs by another name; files that are not regular.
    std::string out;
    test::run_in(dir.path(), "chmod +x gpsbabel; ln -s path.geojson link.geojson; mkfifo fifo",
                 out);
    fs::create_hard_link(dir.file("poly.geojson"), dir.file("hard"));
    struct Case {
        std::string args, message;
        int status = 1;
    };
    const std::vector<Case> cases = {
        {"hole.tif path.geojson",
         "hole.tif: band 1: no-data pixel (column 104, row 349) under the path at 600.0 m along"},
        {"dem.tif short.geojson",
         "short.geojson: layer \"short\", feature 0: the path is 55.0 m long, shorter than six"},
        {"flat.tif path.geojson",
         "flat.tif: band 1: the profile under path.geojson never descends (1500.00 m all along)"},
        {"dem.tif two.geojson",
         "two.geojson: 2 lines; pick one with --line NAME or --line-index K:\n  0: layer \"two\", "
         "feature 0, name \"west\", 4 vertices\n  1: layer \"two\", feature 1, name \"valley\""},
        {"dem.tif evil.geojson", "1: layer \"evil\", feature 1, name " + test::kEvilName},
        {"dem.tif two.geojson --line east", "--line \"east\": no line has this name; the lines"},
        {"dem.tif twice.geojson --line v", "twice.geojson: --line \"v\": several lines have this"},
        {"dem.tif two.geojson --line-index 2", "two.geojson: --line-index 2: there are 2 lines:"},
        {"bare.tif bare.shp", "neither has a coordinate reference system; name it with --assume"},
        {"geographic.tif bare.shp", "geographic.tif: CRS EPSG:4326 (WGS 84) is not projected"},
        {"mosaic.vrt path.geojson", "mosaic.vrt: cannot be opened as a raster (the DEM)"},
        {"dem.tif track.geojson", "track.geojson: cannot be opened as a vector"},
        {"--release-polygon away.geojson", "away.geojson: the path does not cross the"},
        {"--release-polygon path.geojson", "path.geojson: no polygon in any layer"},
        {"--release-polygon mixed.geojson",
         "mixed.geojson: layer \"mixed\", feature 1: no fracture depth attribute, while other"},
        {"--release-polygon overlap.geojson",
         "feature 0 and overlap.geojson: layer \"overlap\", feature 1: overlapping release "
         "polygons"},
        {"--release-polygon neg.geojson",
         "neg.geojson: layer \"neg\", feature 0: attribute thickness = `-1' is no fracture depth"},
        {"--split-point distant.geojson",
         "distant.geojson: layer \"distant\", feature 0: the split point (400300.00, 5100900.00) "
         "lies 84.8 m"},
        {"--split-point path.geojson", "path.geojson: 0 points in its layers; the split"},
        {"--split-at 5000", "--split-at 5000: beyond the end of the profile (1000.0 m)"},
        {"--release 2000:2100", "--release 2000:2100: no point of the profile lies there"},
        {"--spacing 0", "--spacing: `0' is not a value it takes", 2},
        {"--release 5:4.5", "--release: `5:4.5' is not a value it takes", 2},
        {"--release 0:5 --release-polygon poly.geojson",
         "--release and --release-polygon exclude each other", 2},
        {"--split-at 5 --split-point split.geojson",
         "--split-at and --split-point exclude each other", 2},
        {"-o link.geojson", "link.geojson: -o is the same file as the path line path.geojson"},
        {"--release-polygon poly.geojson -o hard",
         "hard: -o is the same file as the release polygon file poly.geojson"},
        {"--split-point split.geojson -o split.geojson", "-o is the same file as the split-point"},
        {"fifo path.geojson", "fifo: the DEM is a FIFO; only a regular file is read"},
        {"-o fifo", "fifo: -o names a FIFO"},
        {"missing.tif path.geojson", "missing.tif: the DEM cannot be read"},
        {"dem.tif inf.geojson",
         "inf.geojson: layer \"inf\", feature 0, vertex 1: coordinate (inf, 5.1007e+06) is not"},
        {"dem.tif far.geojson",
         "far.geojson: layer \"far\", feature 0: a vertex (400200.00, 1000000000000.00) lies out"},
        {"dem.tif poly.geojson", "poly.geojson: no line in any layer"},
        {"dem.tif one.geojson",
         "one.geojson: layer \"one\", feature 0: a line needs at least two vertices"},
        {"bare.tif bare.shp --assume-crs EPSG:999999",
         "--assume-crs: `EPSG:999999' is no coordinate reference system GDAL knows"},
        {"--spacing 0.03", "needs 33447 points; torla reads at most 32767 (Number_of_Points)"},
        {"--cell-size 0.01", "grid points; knotline makes at most 32767"},
        {"dem.tif badcrs.geojson",
         "badcrs.geojson: the GeoJSON crs member names `urn:ogc:def:crs:EPSG::999999', which is"},
        {"dem.tif oddcrs.geojson", "oddcrs.geojson: the GeoJSON crs member \"EPSG:32632\" is "},
        {"dem.tif wrongcrs.geojson",
         "wrongcrs\", feature 0, vertex 0: (400200, 5101100) in EPSG:4326 (WGS 84) has no place"},
    };
    const std::string inputs[] = {"dem.tif", "path.geojson", "poly.geojson", "split.geojson"};
    std::string before[4];
    for (int k = 0; k < 4; ++k) before[k] = test::read_text(dir.file(inputs[k]));
    const std::string path = "PATH=\"" + dir.path().string() + ":$PATH\" timeout 30 " +
                             test::bin_dir() + "/torla-profile ";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::string args = (c.args[0] == '-' ? "dem.tif path.geojson " : "") + c.args;
        if (args.find(" -o ") == std::string::npos) args += " -o made.cmd";
        EXPECT_EQ(test::run_in(dir.path(), path + args, out), c.status) << out;
        EXPECT_CONTAINS(out, c.message);
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(test::read_text(dir.file(inputs[k])), before[k]) << inputs[k];
        EXPECT_FALSE(fs::exists(dir.file("made.cmd")));
        EXPECT_FALSE(fs::exists(dir.file("started"))) << "a program was started";
    }
    // A write that fails part way (ulimit -f 1) leaves the old output and no temporary file.
    test::write_text(dir.file("made.cmd"), "old\n");
    const std::string run = test::bin_dir() + "/torla-profile dem.tif path.geojson -o made.cmd";
    EXPECT_EQ(test::run_in(dir.path(), "sh -c \"trap '' XFSZ; ulimit -f 1; " + run + "\"", out), 1);
    EXPECT_CONTAINS(out, "cannot write made.cmd: write: File too large");
    EXPECT_EQ(test::read_text(dir.file("made.cmd")), "old\n");
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().rfind(".torla-profile-", 0), std::string::npos);
}

// What breaks a line or is no UTF-8 is escaped, UTF-8 and backslashes stay, escaping twice changes
// nothing; a comment line is cut only between characters.
TEST(ProfileSafety, EscapesOfFileDerivedText) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\nb\r\tc\\d", "a\\nb\\r\\tc\\d"},
        {"\x1b[31m\x7f\x01", "\\u001b[31m\\u007f\\u0001"},
        {"\xc2\x85|\xc2\x9b|\xe2\x80\xa8|\xe2\x80\xa9", "\\u0085|\\u009b|\\u2028|\\u2029"},
        {"caf\xc3\xa9 \xe0\xa4\x80 \xe2\x80\xa7 \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf",
         "caf\xc3\xa9 \xe0\xa4\x80 \xe2\x80\xa7 \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"},
        // Overlong twice; a surrogate, beyond U+10FFFF; no character's start, a cut one.
        {"\xe0\x80\x80|\xf0\x8f\xbf\xbf", "\\xe0\\x80\\x80|\\xf0\\x8f\\xbf\\xbf"},
        {"\xed\xa0\x80|\xf4\x90\x80\x80", "\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80"},
        {"\xff\xc1\x81|cut \xe2\x80", "\\xff\\xc1\\x81|cut \\xe2\\x80"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(profile::escaped(in), out) << in;
        EXPECT_EQ(profile::escaped(out), out) << "escaping twice changes " << out;
    }
    // a, the two bytes of an e acute, b: from, at most, the cut.
    using Cut = std::tuple<std::size_t, std::size_t, std::size_t>;
    for (const auto& [from, most, cut] : {Cut{0, 2, 1}, Cut{0, 3, 3}, Cut{1, 3, 3}})
        EXPECT_EQ(profile::utf8_prefix("a\u00e9b", from, most), cut) << from << " " << most;
}

}  // namespace
}  // namespace torla
