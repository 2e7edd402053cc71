// The writer and the reader of the peaks-over-height file (heights_format.h).
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "model/bytes.h"
#include "output/heights_format.h"

namespace torla {

namespace {

constexpr char kMagic[8] = {'T', 'O', 'R', 'L', 'A', 'H', 'G', 'T'};
constexpr int32_t kVersion1 = 1;
constexpr int32_t kMostCells = 32767;  // the result file's 16-bit cell count
constexpr int32_t kMostHeights = 256;

template <class T>
void put(ByteWriter& w, const T& v) {
    w.raw(&v, sizeof v);
}

std::string at(const ByteReader& r, const std::string& what) {
    return "at byte " + std::to_string(r.pos) + ": " + what;
}

std::string read_header(ByteReader& r, HeightsData& d, int32_t& n_heights) {
    char magic[8];
    int32_t version = 0;
    if (!r.raw(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof magic) != 0)
        return at(r, "not a peaks-over-height file (no TORLAHGT)");
    if (!r.raw(&version, sizeof version) || version != kVersion1)
        return at(r, "version " + std::to_string(version) + ", this reader knows 1");
    if (!r.raw(&d.n_cells, sizeof d.n_cells) || d.n_cells < 1 || d.n_cells > kMostCells)
        return at(r, "the cell count is missing or outside 1 to 32767");
    if (!r.raw(&n_heights, sizeof n_heights) || n_heights < 1 || n_heights > kMostHeights)
        return at(r, "the height count is missing or outside 1 to 256");
    if (!r.raw(&d.air_density, 8) || !r.raw(&d.rho_diff, 8) || !std::isfinite(d.air_density) ||
        !std::isfinite(d.rho_diff))
        return at(r, "the densities are missing or not finite");
    if (!r.raw(d.coefficients, sizeof d.coefficients) || !r.raw(&d.end_time, 8) ||
        !r.raw(&d.passes, 8) || !r.raw(&d.dumps, 8))
        return at(r, "the header is cut short");
    return "";
}

}  // namespace

std::string write_heights_file(const std::string& path, const HeightsData& d) {
    ByteWriter w;
    w.raw(kMagic, sizeof kMagic);
    put(w, kVersion1);
    put(w, d.n_cells);
    put(w, static_cast<int32_t>(d.heights.size()));
    put(w, d.air_density);
    put(w, d.rho_diff);
    w.raw(d.coefficients, sizeof d.coefficients);
    put(w, d.end_time);
    put(w, d.passes);
    put(w, d.dumps);
    w.raw(d.heights.data(), d.heights.size() * sizeof(double));
    w.raw(d.peak.data(), d.peak.size() * sizeof(double));
    w.raw(d.time.data(), d.time.size() * sizeof(double));
    const std::string temporary = path + ".tmp";
    if (std::string err = write_file_no_follow(temporary, w.bytes); !err.empty()) return err;
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string err =
            std::string("cannot rename ") + temporary + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return err;
    }
    return "";
}

std::string read_heights_file(const std::string& path, HeightsData& d) {
    std::vector<unsigned char> bytes;
    if (std::string err = read_file_bytes(path, bytes); !err.empty()) return path + ": " + err;
    ByteReader r(bytes);
    int32_t n_heights = 0;
    if (std::string err = read_header(r, d, n_heights); !err.empty()) return path + ": " + err;
    const std::size_t entries = static_cast<std::size_t>(d.n_cells) * n_heights;
    const std::size_t rest = (n_heights + 2 * entries) * sizeof(double);
    if (r.size - r.pos != rest)
        return path + ": " +
               at(r, std::to_string(r.size - r.pos) + " bytes follow the header where " +
                         std::to_string(d.n_cells) + " cells and " + std::to_string(n_heights) +
                         " heights take " + std::to_string(rest));
    d.heights.resize(n_heights);
    d.peak.resize(entries);
    d.time.resize(entries);
    r.raw(d.heights.data(), n_heights * sizeof(double));
    for (std::size_t k = 0; k < d.heights.size(); ++k)
        if (!std::isfinite(d.heights[k]) || d.heights[k] < 0.0 ||
            (k && d.heights[k] <= d.heights[k - 1]))
            return path + ": height " + std::to_string(k + 1) + " is not a rising finite height";
    r.raw(d.peak.data(), entries * sizeof(double));
    r.raw(d.time.data(), entries * sizeof(double));
    for (std::size_t e = 0; e < entries; ++e)
        if (!(d.peak[e] >= 0.0) || std::isinf(d.peak[e]))
            return path + ": the peak of cell " + std::to_string(e / n_heights) + ", height " +
                   std::to_string(e % n_heights + 1) + " is not a finite pressure of 0 or more";
    return "";
}

}  // namespace torla
