// The result-file reader on files put together byte by byte, and
// torla-inspect: front, front speed, run-out, maxima, summaries and exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>

#include "inspect/inspect.h"
#include "output/output.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

// A result file laid out by hand: every field is placed at the offset the
// layout gives it, with the bytes of each little-endian number written out
// one by one, so the reader is checked against the layout and not against
// the writer.
struct HandMade {
    std::string problem = "Avalanche path", run = "R7";
    int n = 4;
    int16_t count = 2;
    std::vector<float> coefficients = std::vector<float>(12, 1.0f);
    std::vector<GeometryRow> geometry;
    std::vector<std::vector<float>> records;  // each 12 (n + 1) floats
    std::vector<float> peaks;                 // 48 n floats, or none

    explicit HandMade(int cells, int dumps) : n(cells), count(static_cast<int16_t>(dumps)) {
        for (int i = 0; i < n; ++i)
            geometry.push_back({10.0f * i, 0.0f, 10.0f, 30.0f, 0.0f, 0.0f});
        for (int d = 0; d < dumps; ++d) add_record(static_cast<float>(d));
        peaks.assign(48 * n, 0.0f);
    }
    void add_record(float t) {
        std::vector<float> rec(12 * (n + 1), 0.0f);
        for (int r = 0; r < 12; ++r) rec[r * (n + 1)] = t;
        records.push_back(rec);
    }
    float& value(std::size_t d, int row, int cell) { return records[d][row * (n + 1) + cell + 1]; }
    float& peak(int q, int cell, int slot = 0) { return peaks[4 * (q * n + cell) + slot]; }

    static void put16(std::vector<unsigned char>& b, std::size_t at, int v) {
        const auto u = static_cast<uint16_t>(v);
        b[at] = u & 0xFF;
        b[at + 1] = u >> 8;
    }
    static void put32(std::vector<unsigned char>& b, std::size_t at, float v) {
        uint32_t u;
        std::memcpy(&u, &v, 4);
        for (int k = 0; k < 4; ++k) b[at + k] = (u >> (8 * k)) & 0xFF;
    }
    std::vector<unsigned char> bytes() const {
        const std::size_t lp = problem.size(), lr = run.size();
        const std::size_t geometry_at = 56 + lp + lr;
        const std::size_t records_at = geometry_at + 24 * n;
        const std::size_t record_bytes = 48 * (n + 1);
        const std::size_t peaks_at = records_at + records.size() * record_bytes;
        std::vector<unsigned char> b(peaks_at + 4 * peaks.size());
        put16(b, 0, static_cast<int>(lp));
        put16(b, 2, static_cast<int>(lr));
        std::memcpy(&b[4], problem.data(), lp);
        std::memcpy(&b[4 + lp], run.data(), lr);
        put16(b, 4 + lp + lr, n);
        put16(b, 6 + lp + lr, count);
        for (int k = 0; k < 12; ++k) put32(b, 8 + lp + lr + 4 * k, coefficients[k]);
        for (int i = 0; i < n; ++i) {
            const GeometryRow& g = geometry[i];
            const float row[6] = {g.path_length, g.aux2, g.cell_length, g.slope_deg, g.curvature, g.aux6};
            for (int k = 0; k < 6; ++k) put32(b, geometry_at + 24 * i + 4 * k, row[k]);
        }
        for (std::size_t d = 0; d < records.size(); ++d)
            for (std::size_t k = 0; k < records[d].size(); ++k)
                put32(b, records_at + d * record_bytes + 4 * k, records[d][k]);
        for (std::size_t k = 0; k < peaks.size(); ++k) put32(b, peaks_at + 4 * k, peaks[k]);
        return b;
    }
    void save(const std::string& path) const {
        const auto b = bytes();
        test::write_text(path, std::string(b.begin(), b.end()));
    }
};

std::string read_back(const HandMade& file, ResultData& r, const TempDir& dir) {
    file.save(dir.file("run.res"));
    return read_result_file(dir.file("run.res"), r);
}

// ---------------------------------------------------------------- reader --

TEST(ResultReader, ReadsEveryFieldFromItsOffset) {
    TempDir dir;
    HandMade f(4, 2);
    for (int k = 0; k < 12; ++k) f.coefficients[k] = 0.5f + k;
    for (int i = 0; i < 4; ++i)
        f.geometry[i] = {100.0f * i + 0.25f, 100.0f * i + 1.25f, 100.0f * i + 2.25f,
                         100.0f * i + 3.25f, 100.0f * i + 4.25f, 100.0f * i + 5.25f};
    for (int d = 0; d < 2; ++d)
        for (int row = 0; row < 12; ++row) {
            f.records[d][row * 5] = d + 0.125f;
            for (int i = 0; i < 4; ++i) f.value(d, row, i) = 1000.0f * d + 10.0f * row + i + 0.5f;
        }
    for (std::size_t k = 0; k < f.peaks.size(); ++k) f.peaks[k] = 0.5f * k;

    ResultData r;
    ASSERT_EQ(read_back(f, r, dir), "");
    EXPECT_EQ(r.problem_name, "Avalanche path");
    EXPECT_EQ(r.run_name, "R7");
    EXPECT_EQ(r.n_cells, 4);
    EXPECT_EQ(r.dump_count, 2);
    EXPECT_FALSE(r.count_unpatched);
    EXPECT_FALSE(r.closing_record);
    for (int k = 0; k < 12; ++k) EXPECT_EQ(r.coefficients[k], 0.5f + k) << k;
    ASSERT_EQ(r.geometry.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        const GeometryRow& g = r.geometry[i];
        const float got[6] = {g.path_length, g.aux2, g.cell_length, g.slope_deg, g.curvature, g.aux6};
        for (int k = 0; k < 6; ++k) EXPECT_EQ(got[k], 100.0f * i + k + 0.25f) << i << " " << k;
    }
    ASSERT_EQ(r.dumps.size(), 2u);
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(r.dump_time(d), d + 0.125f);
        for (int row = 0; row < 12; ++row)
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(r.dump_value(d, row, i), 1000.0f * d + 10.0f * row + i + 0.5f);
    }
    ASSERT_TRUE(r.has_peak_table());
    for (int q = 0; q < 12; ++q)
        for (int i = 0; i < 4; ++i)
            for (int slot = 0; slot < 4; ++slot)
                EXPECT_EQ(r.peak(q, i, slot), 0.5f * (4 * (q * 4 + i) + slot));
}

TEST(ResultReader, KeepsTheWholeRecordsOfEveryTruncation) {
    TempDir dir;
    const HandMade f(4, 2);  // the count matches the records: the run ended
    const auto whole = f.bytes();
    const std::string path = dir.file("cut.res");
    const std::size_t names_end = 4 + 14 + 2, geometry_end = 56 + 16 + 24 * 4, record = 48 * 5;
    for (std::size_t size = 0; size < whole.size(); ++size) {
        test::write_text(path, std::string(whole.begin(), whole.begin() + size));
        ResultData r;
        const std::string err = read_result_file(path, r);
        if (size < geometry_end) {
            EXPECT_NE(err, "") << "cut to " << size << " bytes";
            continue;
        }
        // Cut inside a record or the peak table: the records before the cut.
        ASSERT_EQ(err, "") << "cut to " << size << " bytes";
        const std::size_t records = std::min<std::size_t>(2, (size - geometry_end) / record);
        EXPECT_TRUE(r.cut_short);
        EXPECT_EQ(r.dumps.size(), records) << "cut to " << size << " bytes";
        EXPECT_EQ(r.cut_bytes, size - geometry_end - records * record);
        EXPECT_FALSE(r.has_peak_table());
    }
    // What is short is named.
    const auto message = [&](std::size_t size) {
        test::write_text(path, std::string(whole.begin(), whole.begin() + size));
        ResultData r;
        return read_result_file(path, r);
    };
    EXPECT_NE(message(names_end - 1).find("names"), std::string::npos);
    EXPECT_NE(message(geometry_end - 1).find("geometry"), std::string::npos);
    ResultData none;
    EXPECT_NE(read_result_file(dir.file("missing.res"), none), "");
}

TEST(ResultReader, ReadsAnUnpatchedCountAndAKilledRun) {
    TempDir dir;
    ResultData r;
    HandMade f(4, 2);
    f.count = 4;  // the placeholder n
    ASSERT_EQ(read_back(f, r, dir), "");
    EXPECT_TRUE(r.count_unpatched);
    EXPECT_EQ(r.dump_count, 4);
    EXPECT_EQ(r.dumps.size(), 2u);
    EXPECT_TRUE(r.has_peak_table());

    // Killed before the end: no peak table yet, the count still n.
    f.peaks.clear();
    f.add_record(2.0f);
    ASSERT_EQ(read_back(f, r, dir), "");
    EXPECT_TRUE(r.count_unpatched);
    EXPECT_FALSE(r.has_peak_table());
    EXPECT_EQ(r.dumps.size(), 3u);
    EXPECT_EQ(r.dump_time(2), 2.0f);

    // A patched count without the peak table, written before the patch: a
    // file cut just after its records.
    f.count = 3;
    ASSERT_EQ(read_back(f, r, dir), "");
    EXPECT_TRUE(r.cut_short);
    EXPECT_EQ(r.cut_bytes, 0u);
    EXPECT_EQ(r.dumps.size(), 3u);

    // Stopped on the small-step limit: one closing record beyond the count.
    HandMade g(4, 3);
    g.count = 2;
    ASSERT_EQ(read_back(g, r, dir), "");
    EXPECT_TRUE(r.closing_record);
    EXPECT_FALSE(r.count_unpatched);
    EXPECT_EQ(r.dumps.size(), 3u);
}

TEST(ResultReader, RefusesInconsistentFiles) {
    TempDir dir;
    ResultData r;
    HandMade f(4, 1);
    f.count = 3;  // neither the 1 record, 1 + a closing one, nor n
    EXPECT_NE(read_back(f, r, dir).find("dump count 3"), std::string::npos);

    HandMade g(4, 2);
    g.records[1][5 * 5] = 7.0f;  // time slot of row 5 differs from row 0
    EXPECT_NE(read_back(g, r, dir).find("row 5"), std::string::npos);

    HandMade h(4, 2);
    for (int row = 0; row < 12; ++row) h.records[1][row * 5] = -1.0f;  // time goes back
    EXPECT_NE(read_back(h, r, dir).find("record 1"), std::string::npos);

    // A four-cell file whose header says five cells: the records and the
    // peak table no longer fill the rest.
    auto b = HandMade(4, 2).bytes();
    HandMade::put16(b, 4 + 14 + 2, 5);
    test::write_text(dir.file("run.res"), std::string(b.begin(), b.end()));
    EXPECT_NE(read_result_file(dir.file("run.res"), r).find("truncated or inconsistent"),
              std::string::npos);
}

// --------------------------------------------------------------- summary --

// Eight cells 10 m apart on a 30 degree slope, dumps at t = 0, 2, 4, 6, 7 s
// and a closing record at 7 s again (count 5, six records):
//   t = 0: p3 0.5, 0.2, 0.05 in cells 0-2          front cell 1, 10 m
//   t = 2: p3 0.3 in cells 0-2, 0.1 (not above) in 3; h2 0.15 in cell 4
//                                                  front cell 4, 40 m
//   t = 4: h2 0.1 everywhere (not above), p3 0    no front
//   t = 6: p3 0.2 in cell 6                        front cell 6, 60 m (end)
//   t = 7: p3 0.2 in cell 5 (twice)                front cell 5, 50 m
// Front speeds: 0 -> 2 s (40 - 10) / 2 = 15 m/s; 6 -> 7 s -10 m/s; the
// pairs with the empty dump and the closing record at the same time give
// none. Peak table: p3 2, 1, 3, 0.5, 0.1, 0.05, 0, 0 (furthest above 0.1:
// cell 3); h2 0.5, 0.5, 0.4, 0.3, 0.3, 0.1, 0, 0 (furthest above 0.1:
// cell 4): run-out cell 4, 40 m, set by the saltation layer.
HandMade summary_file() {
    HandMade f(8, 0);
    f.count = 5;
    for (float t : {0.0f, 2.0f, 4.0f, 6.0f, 7.0f, 7.0f}) f.add_record(t);
    using namespace inspect;
    f.value(0, kRowSuspPressure, 0) = 0.5f;
    f.value(0, kRowSuspPressure, 1) = 0.2f;
    f.value(0, kRowSuspPressure, 2) = 0.05f;
    for (int i = 0; i < 3; ++i) f.value(1, kRowSuspPressure, i) = 0.3f;
    f.value(1, kRowSuspPressure, 3) = 0.1f;
    f.value(1, kRowSaltDepth, 4) = 0.15f;
    for (int i = 0; i < 8; ++i) f.value(2, kRowSaltDepth, i) = 0.1f;
    f.value(3, kRowSuspPressure, 6) = 0.2f;
    f.value(4, kRowSuspPressure, 5) = 0.2f;
    f.value(5, kRowSuspPressure, 5) = 0.2f;
    const float p3[8] = {2.0f, 1.0f, 3.0f, 0.5f, 0.1f, 0.05f, 0.0f, 0.0f};
    const float h2[8] = {0.5f, 0.5f, 0.4f, 0.3f, 0.3f, 0.1f, 0.0f, 0.0f};
    const float p2[8] = {4.0f, 9.0f, 2.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < 8; ++i) {
        f.peak(kRowSuspPressure, i) = p3[i];
        f.peak(kRowSaltDepth, i) = h2[i];
        f.peak(kRowSaltPressure, i) = p2[i];
    }
    f.peak(kRowSuspPressure, 2, 1) = 0.7f;  // h1, h2, h3 when p3 peaked in cell 2
    f.peak(kRowSuspPressure, 2, 2) = 0.2f;
    f.peak(kRowSuspPressure, 2, 3) = 12.0f;
    f.peak(kRowSaltPressure, 1, 2) = 0.45f;
    return f;
}

class InspectSummary : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(read_back(summary_file(), r_, dir_), ""); }
    TempDir dir_;
    ResultData r_;
};

TEST_F(InspectSummary, FrontAndItsSpeedFromTheDumps) {
    const auto front = inspect::front_positions(r_, {});
    ASSERT_EQ(front.size(), 6u);
    const int cells[6] = {1, 4, -1, 6, 5, 5};
    for (int d = 0; d < 6; ++d) {
        EXPECT_EQ(front[d].cell, cells[d]) << "dump " << d;
        if (cells[d] >= 0) {
            EXPECT_DOUBLE_EQ(front[d].path_length, 10.0 * cells[d]);
        }
    }
    const auto speeds = inspect::front_speeds(front);
    ASSERT_EQ(speeds.size(), 2u);
    EXPECT_DOUBLE_EQ(speeds[0].speed, 15.0);
    EXPECT_EQ(speeds[0].t0, 0.0);
    EXPECT_EQ(speeds[0].t1, 2.0);
    EXPECT_DOUBLE_EQ(speeds[1].speed, -10.0);

    const inspect::Summary s = inspect::summarize(r_, {});
    ASSERT_TRUE(s.fastest);
    EXPECT_DOUBLE_EQ(s.fastest->speed, 15.0);
    ASSERT_TRUE(s.front_reaches_end);
    EXPECT_EQ(*s.front_reaches_end, 6.0);
    EXPECT_EQ(s.t_first, 0.0);
    EXPECT_EQ(s.t_last, 7.0);

    // Raising the pressure threshold above 0.3 kPa leaves only the
    // saltation layer at t = 2 s and the 0.5 kPa at t = 0.
    const auto high = inspect::front_positions(r_, {0.4, 0.1});
    EXPECT_EQ(high[0].cell, 0);
    EXPECT_EQ(high[1].cell, 4);
    EXPECT_EQ(high[3].cell, -1);
}

TEST_F(InspectSummary, RunOutAndMaximaFromThePeakTable) {
    inspect::Summary s = inspect::summarize(r_, {});
    ASSERT_TRUE(s.runout_cell);
    EXPECT_EQ(*s.runout_cell, 4);
    EXPECT_EQ(*s.runout_pressure_cell, 3);
    EXPECT_EQ(*s.runout_depth_cell, 4);
    EXPECT_FALSE(s.runout_at_track_end);
    ASSERT_TRUE(s.max_susp_pressure);
    EXPECT_EQ(s.max_susp_pressure->value, 3.0f);
    EXPECT_EQ(s.max_susp_pressure->cell, 2);
    EXPECT_DOUBLE_EQ(s.max_susp_pressure->path_length, 20.0);
    EXPECT_EQ(s.max_susp_pressure->h1, 0.7f);
    EXPECT_EQ(s.max_susp_pressure->h3, 12.0f);
    EXPECT_EQ(s.max_salt_pressure->cell, 1);
    EXPECT_EQ(s.max_salt_pressure->h2, 0.45f);

    // A lower pressure threshold reaches cell 5 (0.05 kPa), past the saltation layer.
    s = inspect::summarize(r_, {0.04, 0.1});
    EXPECT_EQ(*s.runout_cell, 5);
    EXPECT_EQ(*s.runout_pressure_cell, 5);
    s = inspect::summarize(r_, {5.0, 1.0});  // above every peak
    EXPECT_FALSE(s.runout_cell);

    // Into the cells before the outflow edge: the end of the track.
    HandMade f = summary_file();
    f.peak(kRowSuspPressure, 6) = 0.2f;
    ASSERT_EQ(read_back(f, r_, dir_), "");
    s = inspect::summarize(r_, {});
    EXPECT_EQ(*s.runout_cell, 6);
    EXPECT_TRUE(s.runout_at_track_end);
}

TEST(InspectGeometry, ElevationFromPathLengthAndMeanSlope) {
    TempDir dir;
    HandMade f(3, 1);
    f.geometry[0].slope_deg = 0.0f;
    f.geometry[1].slope_deg = f.geometry[2].slope_deg = 60.0f;
    ResultData r;
    ASSERT_EQ(read_back(f, r, dir), "");
    const auto z = inspect::relative_elevation(r);
    ASSERT_EQ(z.size(), 3u);
    EXPECT_EQ(z[0], 0.0);
    EXPECT_NEAR(z[1], -10.0 * 0.5, 1e-5);  // mean slope 30 degrees
    EXPECT_NEAR(z[2], -5.0 - 10.0 * std::sqrt(3.0) / 2.0, 1e-5);
}

TEST(InspectJson, TheSummaryParsesAndKeepsTheNames) {
    // Quotes, a backslash, a tab, UTF-8 and a lone Latin-1 byte (u with umlaut).
    const std::string name = "A \"B\" \\ C\tD \xc3\xbc \xfc";
    EXPECT_EQ(inspect::json_string(name), "\"A \\\"B\\\" \\\\ C\\u0009D \xc3\xbc \\u00fc\"");

    TempDir dir;
    HandMade f = summary_file();
    f.problem = name;
    ResultData r;
    ASSERT_EQ(read_back(f, r, dir), "");
    std::ostringstream json;
    inspect::write_summary_json(json, r, inspect::summarize(r, {}));
    test::write_text(dir.file("summary.json"), json.str());
    // Python's parser reads the document back: the name as written (the
    // Latin-1 byte as its character) and what the summary found.
    const std::string python = test::fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    std::string out;
    ASSERT_EQ(test::run_in(dir.path(),
                           python + " -c 'import json,sys; d=json.load(open(\"summary.json\")); "
                                    "found = [d[\"runout\"][\"cell\"], d[\"front_max_speed\"][\"m_s\"], "
                                    "d[\"front\"][2][\"cell\"], d[\"closing_record\"]]; "
                                    "sys.stdout.buffer.write((d[\"problem\"] + \"|\" + "
                                    "\" \".join(map(str, found))).encode())'",
                           out),
              0)
        << out;
    EXPECT_EQ(out, "A \"B\" \\ C\tD \xc3\xbc \xc3\xbc|4 15 None True");
}

// ------------------------------------------------------------------ csv --

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string v; std::getline(in, v, ',');) f.push_back(v);
    return f;
}

TEST_F(InspectSummary, ExportsHaveHeadersAndOneRowPerDumpAndCell) {
    std::ostringstream o;
    inspect::write_dumps_csv(o, r_);
    auto lines = lines_of(o.str());
    ASSERT_EQ(lines.size(), 3u + 6 * 8);
    EXPECT_EQ(lines[0], "# problem: Avalanche path");
    EXPECT_EQ(lines[1], "# run: R7");
    EXPECT_EQ(lines[2],
              "time[s],cell,path_length[m],elevation[m],h1[m],rho1[kg/m3],h2[m],u2[m/s],"
              "rho2_bulk[kg/m3],p2[kPa],h3[m],u3[m/s],c3[-],k3[m2/s2],eps3[m2/s3],p3[kPa]");
    for (std::size_t k = 3; k < lines.size(); ++k) EXPECT_EQ(fields_of(lines[k]).size(), 16u);
    // Dump 1 (t = 2 s), cell 4: 40 m along, 20 m down, h2 = 0.15 m.
    auto row = fields_of(lines[3 + 8 * 1 + 4]);
    EXPECT_EQ(row[0], "2");
    EXPECT_EQ(row[1], "4");
    EXPECT_EQ(row[2], "40");
    EXPECT_NEAR(std::stod(row[3]), -20.0, 1e-6);
    EXPECT_EQ(std::stof(row[6]), 0.15f);

    std::ostringstream peaks;
    inspect::write_peaks_csv(peaks, r_);
    lines = lines_of(peaks.str());
    ASSERT_EQ(lines.size(), 3u + 8);
    const auto header = fields_of(lines[2]);
    ASSERT_EQ(header.size(), 4u + 48 + 2);  // and easting, northing
    EXPECT_EQ(header[3], "slope[deg]");
    EXPECT_EQ(header[4 + 4 * 11], "p3[kPa]");
    EXPECT_EQ(header[4 + 4 * 11 + 3], "p3_h3[m]");
    row = fields_of(lines[3 + 2]);
    ASSERT_EQ(row.size(), header.size());
    EXPECT_EQ(row[4 + 4 * 11], "3");
    EXPECT_EQ(std::stof(row[4 + 4 * 11 + 1]), 0.7f);
    EXPECT_EQ(std::stof(row[4 + 4 * 11 + 3]), 12.0f);
}

// The plotting tool's test export must keep the columns the exporter writes.
TEST_F(InspectSummary, PlotFixtureHasTheExportersColumns) {
    const std::string fixtures = std::string(TORLA_SOURCE_DIR) + "/tests/fixtures/plot/";
    std::ostringstream dumps, peaks;
    inspect::write_dumps_csv(dumps, r_);
    inspect::write_peaks_csv(peaks, r_);
    EXPECT_EQ(lines_of(test::read_text(fixtures + "small.csv")).at(2), lines_of(dumps.str())[2]);
    EXPECT_EQ(lines_of(test::read_text(fixtures + "small-peaks.csv")).at(2), lines_of(peaks.str())[2]);
}

// ------------------------------------------------------------------ CLI --

class InspectProgram : public testing::Test {
protected:
    void SetUp() override { summary_file().save(dir_.file("run.res")); }
    int run(const std::string& args, std::string& out) {
        return test::run_in(dir_.path(), test::bin_dir() + "/torla-inspect " + args, out);
    }
    TempDir dir_;
};

TEST_F(InspectProgram, SubCommandsAndTheirStatuses) {
    std::string out;
    EXPECT_EQ(run("run.res summary", out), 0);
    EXPECT_NE(out.find("Run-out:      40.0 m"), std::string::npos) << out;
    EXPECT_EQ(run("run.res summary --threshold 0.04", out), 0);
    EXPECT_NE(out.find("Run-out:      50.0 m"), std::string::npos) << out;
    EXPECT_EQ(run("run.res summary --json --depth-threshold 0.35", out), 0);
    EXPECT_NE(out.find("\"saltation_depth\": {\"cell\": 2,"), std::string::npos) << out;

    EXPECT_EQ(run("run.res csv -o dumps.csv", out), 0);
    std::ostringstream expected;
    ResultData r;
    ASSERT_EQ(read_result_file(dir_.file("run.res"), r), "");
    inspect::write_dumps_csv(expected, r);
    EXPECT_EQ(test::read_text(dir_.file("dumps.csv")), expected.str());
    EXPECT_EQ(run("run.res csv --peaks", out), 0);
    EXPECT_EQ(lines_of(out).size(), 3u + 8);

    EXPECT_EQ(run("run.res summary --threshold abc", out), 2);
    EXPECT_EQ(run("run.res summary --peaks", out), 2);
    EXPECT_EQ(run("run.res plot", out), 2);
    EXPECT_EQ(run("missing.res summary", out), 1);
    EXPECT_NE(out.find("missing.res"), std::string::npos) << out;
    EXPECT_EQ(run("run.res csv -o no/such/dir/x.csv", out), 1);
}

TEST_F(InspectProgram, ReportsAnUnfinishedRun) {
    HandMade f = summary_file();
    f.count = 8;  // the placeholder n
    f.peaks.clear();
    f.save(dir_.file("killed.res"));
    std::string out;
    EXPECT_EQ(run("killed.res summary", out), 0);
    EXPECT_NE(out.find("not patched"), std::string::npos) << out;
    EXPECT_NE(out.find("Run-out:      unknown"), std::string::npos) << out;
    EXPECT_NE(out.find("largest 15.0 m/s"), std::string::npos) << out;
    EXPECT_EQ(run("killed.res csv --peaks", out), 1);
    EXPECT_NE(out.find("no peak table"), std::string::npos) << out;

    auto b = f.bytes();
    b.resize(b.size() - 5);
    test::write_text(dir_.file("cut.res"), std::string(b.begin(), b.end()));
    EXPECT_EQ(run("cut.res summary", out), 0);
    EXPECT_NE(out.find("cut short"), std::string::npos) << out;
}

}  // namespace
}  // namespace torla
