// torla-profile as safe as the simulator: outputs that are inputs, FIFOs and
// devices, non-finite and far vertices, too many points, names that would
// break out of their comment line, CRS faults, and a write that fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "profile/text_escape.h"
#include "terrain_fixture.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// A GeoJSON line written as text, so that it can hold what OGR would not write.
std::string geojson_line(const std::string& name, const std::string& coordinates,
                         const std::string& crs_member = "") {
    return "{\"type\": \"FeatureCollection\", " + crs_member +
           "\"features\": [{\"type\": \"Feature\", \"properties\": {\"name\": " + name +
           "}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [" + coordinates +
           "]}}]}\n";
}

const std::string kUtm =
    "\"crs\": {\"type\": \"name\", \"properties\": {\"name\": \"EPSG:32632\"}}, ";
const std::string kValley =
    "[400200, 5101100], [400230, 5100700], [400190, 5100300], [400200, 5100100]";

// The valley DEM and path, a release polygon and a split point.
void make_inputs(const TempDir& dir) {
    test::make_valley_dem(dir.file("dem.tif"));
    test::write_text(dir.file("path.geojson"), geojson_line("\"valley\"", kValley, kUtm));
    test::write_text(dir.file("poly.geojson"),
                     "{\"type\": \"FeatureCollection\", " + kUtm +
                         "\"features\": [{\"type\": \"Feature\", \"properties\": {}, "
                         "\"geometry\": {\"type\": \"Polygon\", \"coordinates\": [[[400100, "
                         "5100900], [400300, 5100900], [400300, 5101200], [400100, 5101200], "
                         "[400100, 5100900]]]}}]}\n");
    test::write_text(dir.file("split.geojson"),
                     "{\"type\": \"FeatureCollection\", " + kUtm +
                         "\"features\": [{\"type\": \"Feature\", \"properties\": {}, "
                         "\"geometry\": {\"type\": \"Point\", \"coordinates\": [400215, "
                         "5100500]}}]}\n");
}

struct Case {
    std::string setup;  // shell commands run in the directory first
    std::string args;   // after torla-profile
    std::string message;
    int status;
};

void run_cases(const TempDir& dir, const std::vector<Case>& cases) {
    const std::string inputs[] = {"dem.tif", "path.geojson", "poly.geojson", "split.geojson"};
    std::string before[4];
    for (int k = 0; k < 4; ++k) before[k] = test::read_text(dir.file(inputs[k]));
    for (const Case& c : cases) {
        std::string out;
        if (!c.setup.empty()) test::run_in(dir.path(), c.setup, out);
        // A FIFO opened for reading would block: the timeout ends such a hang.
        const int status = test::run_in(
            dir.path(), "timeout 30 " + test::bin_dir() + "/torla-profile " + c.args, out);
        EXPECT_EQ(status, c.status) << c.args << "\n" << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(test::read_text(dir.file(inputs[k])), before[k])
                << c.args << ": " << inputs[k];
        for (const auto& e : fs::directory_iterator(dir.path()))
            EXPECT_EQ(e.path().filename().string().rfind(".torla-profile-", 0), std::string::npos)
                << c.args << ": temporary file left: " << e.path();
        test::run_in(dir.path(), "rm -f made.cmd link.geojson hard.geojson fifo", out);
    }
}

TEST(ProfileSafety, OutputsThatAreInputsAndFilesThatAreNotRegularAreRefused) {
    TempDir dir;
    make_inputs(dir);
    const std::string base = "dem.tif path.geojson ";
    const std::vector<Case> cases = {
        {"", base + "-o dem.tif", "dem.tif: -o is the same file as the DEM", 1},
        {"", base + "-o ./path.geojson", "-o is the same file as the path line", 1},
        {"ln -s path.geojson link.geojson", base + "-o link.geojson",
         "link.geojson: -o is the same file as the path line", 1},
        {"ln poly.geojson hard.geojson", base + "--release-polygon poly.geojson -o hard.geojson",
         "hard.geojson: -o is the same file as the release polygon file poly.geojson", 1},
        {"", base + "--split-point split.geojson -o split.geojson",
         "-o is the same file as the split-point file", 1},
        {"mkfifo fifo", "fifo path.geojson -o made.cmd",
         "fifo: the DEM is a FIFO; only a regular file is read", 1},
        {"mkfifo fifo", "dem.tif fifo -o made.cmd", "fifo: the path line is a FIFO", 1},
        {"mkfifo fifo", base + "--release-polygon fifo -o made.cmd",
         "fifo: the release polygon file is a FIFO", 1},
        {"mkfifo fifo", base + "--split-point fifo -o made.cmd",
         "fifo: the split-point file is a FIFO", 1},
        {"mkfifo fifo", base + "-o fifo", "fifo: -o names a FIFO", 1},
        {"", "/dev/zero path.geojson -o made.cmd", "/dev/zero: the DEM is a character device", 1},
        {"", base + "-o /dev/null", "/dev/null: -o names a character device", 1},
        {"", "missing.tif path.geojson -o made.cmd", "missing.tif: the DEM cannot be read", 1},
        {"", base + "--split-at 5 --split-point split.geojson -o made.cmd",
         "--split-at and --split-point exclude each other", 2},
    };
    run_cases(dir, cases);
}

TEST(ProfileSafety, BadVerticesCountsAndCrsAreRefusedWithTheirPlace) {
    TempDir dir;
    make_inputs(dir);
    const std::pair<const char*, std::string> lines[] = {
        {"inf.geojson", geojson_line("\"inf\"", "[400200, 5101100], [1e999, 5100700]", kUtm)},
        {"nan.geojson", geojson_line("\"nan\"", "[400200, 5101100], [NaN, 5100700]", kUtm)},
        {"far.geojson", geojson_line("\"far\"", "[400200, 5101100], [400200, 1e12]", kUtm)},
        {"badcrs.geojson", geojson_line("\"x\"", kValley,
                                        "\"crs\": {\"type\": \"name\", \"properties\": {\"name\": "
                                        "\"urn:ogc:def:crs:EPSG::999999\"}}, ")},
        {"oddcrs.geojson", geojson_line("\"x\"", kValley, "\"crs\": \"EPSG:32632\", ")},
        {"wrongcrs.geojson",  // projected numbers in a file that says WGS84
         geojson_line(
             "\"x\"", kValley,
             "\"crs\": {\"type\": \"name\", \"properties\": {\"name\": \"EPSG:4326\"}}, ")},
    };
    for (const auto& [name, text] : lines) test::write_text(dir.file(name), text);
    const std::vector<Case> cases = {
        {"", "dem.tif inf.geojson -o made.cmd",
         "inf.geojson: layer \"inf\", feature 0, vertex 1: coordinate (inf, 5.1007e+06) is not a "
         "finite number",
         1},
        {"", "dem.tif nan.geojson -o made.cmd", "nan.geojson: layer \"nan\", feature 0, vertex 1",
         1},
        {"", "dem.tif far.geojson -o made.cmd",
         "far.geojson: layer \"far\", feature 0: a vertex (400200.00, 1000000000000.00) lies "
         "outside the DEM dem.tif",
         1},
        {"", "dem.tif path.geojson --spacing 0.03 -o made.cmd",
         "needs 33447 points; torla reads at most 32767 (Number_of_Points)", 1},
        {"", "dem.tif path.geojson --cell-size 0.01 -o made.cmd",
         "grid points; knotline makes at most 32767", 1},
        {"", "dem.tif badcrs.geojson -o made.cmd",
         "badcrs.geojson: the GeoJSON crs member names `urn:ogc:def:crs:EPSG::999999', which is "
         "no coordinate reference system PROJ knows",
         1},
        {"", "dem.tif oddcrs.geojson -o made.cmd",
         "oddcrs.geojson: the GeoJSON crs member \"EPSG:32632\" is neither", 1},
        {"", "dem.tif wrongcrs.geojson -o made.cmd",
         "wrongcrs.geojson: layer \"wrongcrs\", feature 0, vertex 0: (400200, 5101100) in "
         "EPSG:4326 (WGS 84) has no place in the DEM's EPSG:32632",
         1},
    };
    run_cases(dir, cases);
}

// Only the vector formats paths come in are tried: a file that looks like a
// GPS logger's (GDAL's GPSBabel driver would start `gpsbabel' on it) or an
// OpenJUMP file is refused as unreadable and starts nothing. A `gpsbabel'
// placed first on the PATH leaves a mark if anything runs it.
TEST(ProfileSafety, OnlyPathFormatsAreTriedAndNoProgramIsStarted) {
    TempDir dir;
    make_inputs(dir);
    test::write_text(dir.file("gpsbabel"), "#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\n");
    fs::permissions(dir.file("gpsbabel"), fs::perms::owner_all);
    const std::pair<const char*, std::string> files[] = {
        {"track.geojson",
         "<?xml version=\"1.0\"?>\n<TrainingCenterDatabase><Activities/>"
         "</TrainingCenterDatabase>\n"},
        {"jump.geojson", "<JCSDataFile><FeatureCollection></FeatureCollection></JCSDataFile>\n"},
    };
    for (const auto& [name, text] : files) {
        test::write_text(dir.file(name), text);
        for (const char* role : {"", "--release-polygon ", "--split-point "}) {
            std::string out;
            const std::string line = std::string(role).empty() ? name : "path.geojson";
            const std::string extra = std::string(role).empty() ? "" : role + std::string(name);
            const int status =
                test::run_in(dir.path(),
                             "PATH=\"" + dir.path().string() + ":$PATH\" " + test::bin_dir() +
                                 "/torla-profile dem.tif " + line + " " + extra + " -o made.cmd",
                             out);
            EXPECT_EQ(status, 1) << name << " " << role << out;
            EXPECT_NE(out.find(std::string(name) + ": cannot be opened as a vector file"),
                      std::string::npos)
                << out;
            EXPECT_FALSE(fs::exists(dir.file("started"))) << name << " " << role;
            EXPECT_FALSE(fs::exists(dir.file("made.cmd")));
        }
    }
}

// The escapes, byte for byte: what breaks a line or is not UTF-8 is
// escaped, well-formed UTF-8 (shortest form, no surrogates, at most
// U+10FFFF) and backslashes stay.
TEST(ProfileSafety, EscapesOfFileDerivedText) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain name", "plain name"},
        {"a\nb\r\tc", "a\\nb\\r\\tc"},
        {"\x1b[31m\x7f\x01", "\\u001b[31m\\u007f\\u0001"},
        {"\xc2\x85|\xc2\x9b|\xe2\x80\xa8|\xe2\x80\xa9", "\\u0085|\\u009b|\\u2028|\\u2029"},
        {"caf\xc3\xa9 \xe0\xa4\x80 \xe2\x80\xa7 \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf",
         "caf\xc3\xa9 \xe0\xa4\x80 \xe2\x80\xa7 \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"},
        {"\xe0\x80\x80", "\\xe0\\x80\\x80"},           // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // beyond U+10FFFF
        {"\xf0\x8f\xbf\xbf", "\\xf0\\x8f\\xbf\\xbf"},  // overlong
        {"\xff\xc1\x81", "\\xff\\xc1\\x81"},
        {"cut \xe2\x80", "cut \\xe2\\x80"},
        {"back\\slash", "back\\slash"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(profile::escaped(in), out) << in;
        EXPECT_EQ(profile::escaped(out), out) << "escaping twice changes " << out;
    }
    // A comment line is cut only between characters.
    EXPECT_EQ(profile::utf8_prefix("a\xc3\xa9"
                                   "b",
                                   0, 2),
              1u);
    EXPECT_EQ(profile::utf8_prefix("a\xc3\xa9"
                                   "b",
                                   0, 3),
              3u);
    EXPECT_EQ(profile::utf8_prefix("a\xc3\xa9"
                                   "b",
                                   1, 3),
              3u);
}

// A name crafted to end its comment line and write a command file of its
// own: every line of the comment block stays a comment, and the name is
// kept, escaped, in the line it belongs to; the terminal gets no raw ESC.
TEST(ProfileSafety, FileDerivedTextStaysWithinItsLine) {
    TempDir dir;
    make_inputs(dir);
    const std::string evil =
        "\"x\\n| POWDER SNOW GLOBAL PARAMETERS\\nElem_Size 100\\r\\u2028\\u0085\\u001b[31m\"";
    test::write_text(dir.file("evil.geojson"), geojson_line(evil, kValley, kUtm));
    std::string out;
    ASSERT_EQ(test::run_in(dir.path(),
                           test::bin_dir() + "/torla-profile dem.tif evil.geojson -o made.cmd "
                                             "--name \"a$(printf '\\nb')\"",
                           out),
              0)
        << out;
    const std::string cmd = test::read_text(dir.file("made.cmd"));
    std::istringstream in(cmd);
    std::string line;
    int elem_size_lines = 0;
    bool in_comments = true;
    while (std::getline(in, line)) {
        if (line.empty()) in_comments = false;
        if (in_comments) {
            EXPECT_EQ(line.rfind("#", 0), 0u) << line;
        }
        for (const char bad : {'\r', '\x1b', '\x0b', '\x0c'})
            EXPECT_EQ(line.find(bad), std::string::npos) << line;
        EXPECT_EQ(line.find("\xe2\x80\xa8"), std::string::npos) << line;
        EXPECT_EQ(line.find("\xc2\x85"), std::string::npos) << line;
        elem_size_lines += line.rfind("Elem_Size", 0) == 0;
    }
    EXPECT_EQ(elem_size_lines, 1);
    EXPECT_NE(cmd.find("name \"x\\n| POWDER SNOW GLOBAL PARAMETERS\\nElem_Size "
                       "100\\r\\u2028\\u0085\\u001b[31m\""),
              std::string::npos)
        << cmd;
    EXPECT_NE(cmd.find("\nTrack_Name a\\nb\n"), std::string::npos) << cmd;
    // The file runs as it was meant to: 10 m cells, not the crafted 100 m.
    EXPECT_NE(cmd.find("\nElem_Size 10\n"), std::string::npos);

    // A refusal that lists the lines escapes their names too.
    test::write_text(dir.file("two.geojson"),
                     "{\"type\": \"FeatureCollection\", " + kUtm + "\"features\": [" +
                         "{\"type\": \"Feature\", \"properties\": {\"name\": " + evil +
                         "}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [" +
                         kValley +
                         "]}}, {\"type\": \"Feature\", \"properties\": {\"name\": \"b\"}, "
                         "\"geometry\": {\"type\": \"LineString\", \"coordinates\": [" +
                         kValley + "]}}]}\n");
    EXPECT_EQ(test::run_in(dir.path(),
                           test::bin_dir() + "/torla-profile dem.tif two.geojson -o m.cmd", out),
              1);
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_NE(out.find("name \"x\\n| POWDER"), std::string::npos) << out;
}

// A write that fails part way (a file size limit of 1 KiB) leaves the
// previous output as it was and no temporary file; the status is 1.
TEST(ProfileSafety, AFailedWriteLeavesTheOldOutput) {
    TempDir dir;
    make_inputs(dir);
    test::write_text(dir.file("made.cmd"), "old\n");
    std::string out;
    const int status = test::run_in(dir.path(),
                                    "sh -c \"trap '' XFSZ; ulimit -f 1; " + test::bin_dir() +
                                        "/torla-profile dem.tif path.geojson -o made.cmd\"",
                                    out);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("cannot write made.cmd: write: File too large"), std::string::npos) << out;
    EXPECT_EQ(test::read_text(dir.file("made.cmd")), "old\n");
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().rfind(".torla-profile-", 0), std::string::npos)
            << e.path();
    // Without the limit the file is replaced whole, with the permissions
    // the umask gives a new file (not the temporary file's 0600).
    for (const auto& [mask, mode] : {std::pair{"022", 0644u}, {"027", 0640u}}) {
        ASSERT_EQ(test::run_in(dir.path(),
                               std::string("umask ") + mask + "; " + test::bin_dir() +
                                   "/torla-profile dem.tif path.geojson -o made.cmd",
                               out),
                  0)
            << out;
        const std::string text = test::read_text(dir.file("made.cmd"));
        EXPECT_EQ(text.substr(text.size() - 14), "| END OF FILE\n");
        struct stat st {};
        ASSERT_EQ(stat(dir.file("made.cmd").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777u, mode) << mask;
    }
}

}  // namespace
}  // namespace torla
