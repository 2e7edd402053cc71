// Fuzz target: the files a run leaves beside its result, as torla-inspect
// reads them: the result file, the peaks-over-height file and the run record.
//
// The first byte of the input chooses the reader (its value modulo 3), the
// rest is the file:
//  0  a result file: read_result_file, then the same file record by record
//     with ResultReader (twice, rewound between). What must hold: a refusal
//     names the file; an accepted file has 1 to 32767 cells, 6 geometry
//     floats a cell, a peak table of 48 floats a cell or none, every record
//     of 12 rows of cells + 1 floats whose time slots agree and do not go
//     back, and the record-by-record reader hands over the same records;
//  1  a peaks-over-height file: read_heights_file. A refusal names the file;
//     an accepted file has 1 to 32767 cells, rising finite heights of 0 or
//     more, and a finite peak of 0 or more and a time for each cell and height;
//  2  a run record (JSON) beside a result file of 4 cells and 3 dumps made
//     at the start: read_run_record, then what the summary asks of an
//     accepted record (the peaks before the onset, the mass balance). A
//     refusal names the record.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "inspect/run_record.h"
#include "output/heights_format.h"
#include "output/result_format.h"

namespace {

const char* const kInputFile = "input.res";  // a result file as the input gives it
const char* const kResultFile = "fuzz.res";  // the one the run record is read beside
const char* const kHeightsFile = "fuzz.heights";
const char* const kRecordFile = "fuzz.res.json";

bool names(const std::string& refusal, const std::string& path) {
    return refusal.find(path) != std::string::npos;
}

void check_record(const std::vector<float>& rec, std::size_t cells) {
    TORLA_FUZZ_ASSERT(rec.size() == 12 * (cells + 1));
    // The same time, as numbers: a slot of -0 beside one of +0 is t = 0.
    for (int row = 1; row < 12; ++row) TORLA_FUZZ_ASSERT(rec[row * (cells + 1)] == rec[0]);
}

void read_result(const uint8_t* data, size_t size) {
    torla::fuzz::write_input(kInputFile, data, size);
    torla::ResultData r;
    const std::string err = torla::read_result_file(kInputFile, r);
    if (!err.empty()) {
        TORLA_FUZZ_ASSERT(names(err, kInputFile));
        return;
    }
    TORLA_FUZZ_ASSERT(r.n_cells >= 1);
    const std::size_t n = static_cast<std::size_t>(r.n_cells);
    TORLA_FUZZ_ASSERT(r.geometry.size() == n);
    TORLA_FUZZ_ASSERT(r.peaks.empty() || r.peaks.size() == 48 * n);
    for (std::size_t d = 0; d < r.dumps.size(); ++d) {
        check_record(r.dumps[d], n);
        if (d > 0) TORLA_FUZZ_ASSERT(!(r.dump_time(d) < r.dump_time(d - 1)));
    }
    torla::ResultReader reader;
    torla::ResultTables t;
    TORLA_FUZZ_ASSERT(reader.open(kInputFile, t).empty());
    TORLA_FUZZ_ASSERT(reader.records() == r.dumps.size() && t.n_cells == r.n_cells);
    std::vector<float> rec;
    for (int pass = 0; pass < 2; ++pass, reader.rewind())
        for (std::size_t d = 0; d < reader.records(); ++d) {
            TORLA_FUZZ_ASSERT(reader.read_record(rec).empty());
            TORLA_FUZZ_ASSERT(
                rec.size() == r.dumps[d].size() &&
                std::memcmp(rec.data(), r.dumps[d].data(), rec.size() * sizeof(float)) == 0);
        }
}

void read_heights(const uint8_t* data, size_t size) {
    torla::fuzz::write_input(kHeightsFile, data, size);
    torla::HeightsData h;
    const std::string err = torla::read_heights_file(kHeightsFile, h);
    if (!err.empty()) {
        TORLA_FUZZ_ASSERT(names(err, kHeightsFile));
        return;
    }
    TORLA_FUZZ_ASSERT(h.n_cells >= 1 && h.n_cells <= 32767 && !h.heights.empty());
    for (std::size_t k = 0; k < h.heights.size(); ++k)
        TORLA_FUZZ_ASSERT(std::isfinite(h.heights[k]) && h.heights[k] >= 0.0 &&
                          (k == 0 || h.heights[k] > h.heights[k - 1]));
    const std::size_t entries = static_cast<std::size_t>(h.n_cells) * h.heights.size();
    TORLA_FUZZ_ASSERT(h.peak.size() == entries && h.time.size() == entries);
    for (double p : h.peak) TORLA_FUZZ_ASSERT(std::isfinite(p) && p >= 0.0);
}

// A result file of 4 cells and 3 dumps (t = 0, 1, 2 s) with its peak table,
// laid out byte by byte as a run writes it.
void write_small_result() {
    std::vector<unsigned char> b;
    const auto i16 = [&](int v) { b.push_back(v & 0xFF), b.push_back((v >> 8) & 0xFF); };
    const auto f32 = [&](float v) {
        uint32_t u;
        std::memcpy(&u, &v, 4);
        for (int k = 0; k < 4; ++k) b.push_back((u >> (8 * k)) & 0xFF);
    };
    constexpr int kCells = 4, kDumps = 3;
    i16(4), i16(2);
    for (char c : std::string("PathR1")) b.push_back(static_cast<unsigned char>(c));
    i16(kCells), i16(kDumps);
    for (int k = 0; k < 12; ++k) f32(1.0f);
    for (int i = 0; i < kCells; ++i)
        for (float v : {10.0f * i, 0.0f, 10.0f, 30.0f, 0.0f, 0.0f}) f32(v);
    for (int d = 0; d < kDumps; ++d)
        for (int row = 0; row < 12; ++row) {
            f32(static_cast<float>(d));
            for (int i = 0; i < kCells; ++i) f32(0.5f * (row + i + d));
        }
    for (int k = 0; k < 48 * kCells; ++k) f32(0.25f * k);
    torla::fuzz::write_input(kResultFile, b.data(), b.size());
}

void read_record(const uint8_t* data, size_t size) {
    static bool made = false;
    if (!made) write_small_result(), made = true;
    torla::ResultData r;
    TORLA_FUZZ_ASSERT(torla::read_result_file(kResultFile, r).empty());
    std::vector<float> times;
    for (std::size_t d = 0; d < r.dumps.size(); ++d) times.push_back(r.dump_time(d));
    torla::fuzz::write_input(kRecordFile, data, size);
    torla::inspect::RunRecord rec;
    bool found = false;
    const std::string err = torla::inspect::read_run_record(kResultFile, r, times, rec, found);
    if (!err.empty()) {
        TORLA_FUZZ_ASSERT(!found && names(err, kRecordFile));
        return;
    }
    TORLA_FUZZ_ASSERT(found);
    for (int q = 0; q < 12; ++q)
        if (const auto peak = torla::inspect::largest_before_onset(rec, q))
            TORLA_FUZZ_ASSERT(peak->cell >= 0 && peak->cell < r.n_cells);
    (void)torla::inspect::mass_balance(rec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    torla::fuzz::enter_scratch_directory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 3) {
    case 0:
        read_result(data + 1, size - 1);
        break;
    case 1:
        read_heights(data + 1, size - 1);
        break;
    default:
        read_record(data + 1, size - 1);
        break;
    }
    return 0;
}
