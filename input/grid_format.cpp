// The two binary files exchanged with the grid generator: the generator
// input written by the command-file reader and the grid file written back.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "input/grid_format.h"
#include "model/bytes.h"

namespace torla {

std::string write_generator_input(const std::string& path, const GeneratorInput& in) {
    ByteWriter w;
    w.f32(in.elem_size);
    w.f32(in.max_dev);
    w.i16(static_cast<int16_t>(in.points.rows));
    w.raw(in.points.data.data(), in.points.data.size() * sizeof(float));
    return write_file_no_follow(path, w.bytes);
}

std::string read_generator_input(const std::string& path, GeneratorInput& in) {
    std::vector<unsigned char> bytes;
    if (auto err = read_file_bytes(path, bytes); !err.empty()) return err;
    ByteReader r(bytes);
    int16_t n = 0;
    if (!r.f32(in.elem_size) || !r.f32(in.max_dev) || !r.i16(n))
        return path + " is shorter than its 10-byte head";
    if (n < 0) return path + " announces a negative number of points (" + std::to_string(n) + ")";
    std::size_t need = static_cast<std::size_t>(n) * kInputPointFloats * sizeof(float);
    if (r.size - r.pos < need)
        return path + " holds fewer than the " + std::to_string(n) + " points it announces";
    if (r.size - r.pos > need)
        return path + " holds more data than the " + std::to_string(n) + " points it announces";
    in.points = alloc_float_rows(n, kInputPointFloats);
    r.raw(in.points.data.data(), need);
    return "";
}

std::string write_grid_file(const std::string& path, const FloatRows& rows) {
    ByteWriter w;
    w.i16(static_cast<int16_t>(rows.rows));
    w.raw(rows.data.data(), rows.data.size() * sizeof(float));
    return write_file_bytes(path, w.bytes, false);
}

std::string read_grid_count(const std::string& path, int16_t& n) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "cannot open " + path + ": " + std::strerror(errno);
    bool ok = std::fread(&n, sizeof n, 1, f) == 1;
    std::fclose(f);
    if (!ok) return path + " is too short to hold its grid count";
    return "";
}

std::string read_grid_rows(const std::string& path, int16_t n, FloatRows& rows, bool& trailing) {
    std::vector<unsigned char> bytes;
    if (auto err = read_file_bytes(path, bytes); !err.empty()) return err;
    ByteReader r(bytes);
    int16_t count = 0;
    if (!r.i16(count)) return path + " is too short to hold its grid count";
    std::size_t need = static_cast<std::size_t>(n) * kGridColumns * sizeof(float);
    if (!r.has(need))
        return path + " holds " +
               std::to_string((r.size - r.pos) / (kGridColumns * sizeof(float))) +
               " complete grid rows of the " + std::to_string(n) + " its count announces";
    rows = alloc_float_rows(n, kGridColumns);
    r.raw(rows.data.data(), need);
    trailing = r.pos < r.size;
    return "";
}

}  // namespace torla
