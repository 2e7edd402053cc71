// A result file laid out byte by byte, so the reader is checked against the layout, not the writer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "output/result_format.h"
#include "test_support.h"

namespace torla::test {

struct ResultBytes {
    std::string problem = "Avalanche path", run = "R7";
    int n;
    int count;
    std::vector<float> coefficients = std::vector<float>(12, 1.0f);
    std::vector<float> geometry;              // 6 floats per cell
    std::vector<std::vector<float>> records;  // each 12 (n + 1) floats
    std::vector<float> peaks;                 // 48 n floats, or none

    // n cells 10 m apart on a 30 degree slope, dumps at t = 0, 1, ...
    ResultBytes(int cells, int dumps) : n(cells), count(dumps), peaks(48 * cells, 0.0f) {
        for (int i = 0; i < n; ++i) geometry.insert(geometry.end(), {10.0f * i, 0, 10, 30, 0, 0});
        for (int d = 0; d < dumps; ++d) add_record(static_cast<float>(d));
    }
    void add_record(float t) {
        records.emplace_back(12 * (n + 1), 0.0f);
        for (int r = 0; r < 12; ++r) records.back()[r * (n + 1)] = t;
    }
    float& value(std::size_t d, int row, int cell) { return records[d][row * (n + 1) + cell + 1]; }
    float& peak(int q, int cell, int slot = 0) { return peaks[4 * (q * n + cell) + slot]; }

    std::string bytes() const {
        std::string b;
        const auto i16 = [&](int v) {
            b += static_cast<char>(v & 0xFF), b += static_cast<char>((v >> 8) & 0xFF);
        };
        const auto f32 = [&](const std::vector<float>& values) {
            for (float v : values) {
                uint32_t u;
                std::memcpy(&u, &v, 4);
                for (int k = 0; k < 4; ++k) b += static_cast<char>((u >> (8 * k)) & 0xFF);
            }
        };
        i16(static_cast<int>(problem.size()));
        i16(static_cast<int>(run.size()));
        b += problem + run;
        i16(n);
        i16(count);
        f32(coefficients);
        f32(geometry);
        for (const auto& r : records) f32(r);
        f32(peaks);
        return b;
    }
    std::size_t header_bytes() const { return 56 + problem.size() + run.size() + 24 * n; }
    std::size_t record_bytes() const { return 48 * (n + 1); }
    // Written to path less its last `cut' bytes.
    void save(const std::string& path, std::size_t cut = 0) const {
        const std::string b = bytes();
        write_text(path, b.substr(0, b.size() - cut));
    }
    std::string read_back(ResultData& r, const TempDir& dir) const {
        save(dir.file("run.res"));
        return read_result_file(dir.file("run.res"), r);
    }
};

}  // namespace torla::test
