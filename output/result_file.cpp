// The result file: header with names, profile coefficients and geometry,
// one record per dump, the peak table, and the patched dump count. The
// writer and the reader of the layout stand side by side here.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "model/bytes.h"
#include "output/result_format.h"

namespace torla {

namespace {

constexpr int kGeometryFloats = 6;

// Position of the first float of the table that is not finite, or its size.
std::size_t first_non_finite(const std::vector<float>& table) {
    std::size_t k = 0;
    while (k < table.size() && std::isfinite(table[k])) ++k;
    return k;
}

constexpr int kCoefficients = 12;

[[noreturn]] void result_failure(const ModelState& s, const char* op, const std::string& err) {
    std::printf("   %s:  FATAL ERROR:  Result file `%s': %s. STOP!\n\n", op, s.names.result_file.c_str(),
                err.c_str());
    stop_run(kStatusFailure);
}

void put_coefficients(ByteWriter& w, const ProfileCoefficients& c) {
    for (float v : {c.Velo_Prof_Coeff_0, c.Velo_Prof_Coeff_1, c.Velo_Prof_Coeff_2,
                    c.Conc_Prof_Coeff_0, c.Conc_Prof_Coeff_1, c.Conc_Prof_Coeff_2,
                    c.Turb_Prof_Coeff_0, c.Turb_Prof_Coeff_1, c.Turb_Prof_Coeff_2,
                    c.Diss_Prof_Coeff_0, c.Diss_Prof_Coeff_1, c.Diss_Prof_Coeff_2})
        w.f32(v);
}

}  // namespace

void write_result_header(ModelState& s, const std::vector<GeometryRow>& geometry) {
    ByteWriter w;
    w.i16(static_cast<int16_t>(s.names.problem.size()));
    w.i16(static_cast<int16_t>(s.names.run.size()));
    w.text(s.names.problem);
    w.text(s.names.run);
    w.i16(s.n_cells);
    s.files.dump_count_position = static_cast<int32_t>(w.bytes.size());
    w.i16(s.n_cells);  // stands for the dump count until the end of the run
    put_coefficients(w, s.par.profile);
    for (const GeometryRow& g : geometry)
        for (float v : {g.path_length, g.aux2, g.cell_length, g.slope_deg, g.curvature, g.aux6})
            w.f32(v);
    if (auto err = write_file_bytes(s.names.result_file, w.bytes, false); !err.empty())
        result_failure(s, "read_grid_file", err);
}

void write_dump(ModelState& s, double t, const Matrix& m) {
    const int n = s.n_cells;
    const RunParameters& par = s.par;
    const std::size_t stride = static_cast<std::size_t>(n) + 1;
    float* rec = s.dump_record.data();
    for (int i = 0; i < n; ++i) {
        const double* u = m[i];
        const double h2c = u[kSaltDepth] > par.Min_Salt_Height ? u[kSaltDepth] : par.Min_Salt_Height;
        const double h3c = u[kSuspDepth] > par.Min_Susp_Height ? u[kSuspDepth] : par.Min_Susp_Height;
        const float r2 = static_cast<float>(par.Air_Density + u[kSaltLoad] / h2c);
        const float v2 = static_cast<float>(u[kSaltMomentum] / r2 / h2c);
        const double c3 = u[kSuspVolume] / h3c;
        const double r3 = par.Air_Density + s.constants.rho_diff * c3;
        const float v3 = static_cast<float>(u[kSuspMomentum] / (h3c * r3));
        const float row[kResultQuantities] = {
            static_cast<float>(u[kCoverDepth]),
            static_cast<float>(u[kCoverDensity]),
            static_cast<float>(u[kSaltDepth]),
            v2,
            r2,
            static_cast<float>(static_cast<double>(v2) * v2 * r2 / 1000.0),
            static_cast<float>(u[kSuspDepth]),
            v3,
            static_cast<float>(c3),
            static_cast<float>(u[kSuspEnergy] / (h3c * r3)),
            static_cast<float>(u[kSuspDissipation] / (h3c * r3)),
            static_cast<float>(r3 * v3 * v3 / 2000.0),
        };
        for (int r = 0; r < kResultQuantities; ++r) rec[r * stride + i + 1] = row[r];
    }
    for (int r = 0; r < kResultQuantities; ++r) rec[r * stride] = static_cast<float>(t);

    if (auto err = write_file_bytes(s.names.result_file, rec, s.dump_record.size() * sizeof(float), true);
        !err.empty())
        result_failure(s, "write_dump", err);
}

UnfitValue first_unfit_dump_value(const ModelState& s) {
    const std::size_t stride = static_cast<std::size_t>(s.n_cells) + 1;
    const std::size_t k = first_non_finite(s.dump_record);
    if (k == s.dump_record.size()) return {};
    return {static_cast<int>(k / stride), static_cast<int>(k % stride) - 1, s.dump_record[k]};
}

UnfitValue first_unfit_peak(const ModelState& s) {
    const std::size_t n = static_cast<std::size_t>(s.n_cells);
    const std::size_t k = first_non_finite(s.peak_table);
    if (k == s.peak_table.size()) return {};
    const std::size_t entry = k / kPeakEntryFloats;
    return {static_cast<int>(entry / n), static_cast<int>(entry % n), s.peak_table[k]};
}

void append_peak_table(const ModelState& s) {
    if (auto err = write_file_bytes(s.names.result_file, s.peak_table.data(),
                                    s.peak_table.size() * sizeof(float), true);
        !err.empty())
        result_failure(s, "main", err);
}

void patch_dump_count(const ModelState& s) {
    std::FILE* f = std::fopen(s.names.result_file.c_str(), "r+b");
    if (!f) result_failure(s, "main", std::string("cannot open for update: ") + std::strerror(errno));
    bool ok = std::fseek(f, s.files.dump_count_position, SEEK_SET) == 0 &&
              std::fwrite(&s.clock.dump_count, sizeof s.clock.dump_count, 1, f) == 1;
    int saved = errno;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        result_failure(s, "main", std::string("cannot patch the dump count: ") +
                                      std::strerror(saved ? saved : errno));
}

std::string read_result_file(const std::string& path, ResultData& out) {
    out = ResultData{};
    std::vector<unsigned char> bytes;
    if (auto err = read_file_bytes(path, bytes); !err.empty()) return err;
    ByteReader r(bytes);
    int16_t lp = 0, lr = 0;
    if (!r.i16(lp) || !r.i16(lr)) return path + ": too short for the name lengths";
    if (lp < 0 || lr < 0) return path + ": negative name length";
    out.problem_name.assign(lp, '\0');
    out.run_name.assign(lr, '\0');
    if (!r.raw(out.problem_name.data(), lp) || !r.raw(out.run_name.data(), lr))
        return path + ": too short for the names";
    if (!r.i16(out.n_cells) || !r.i16(out.dump_count)) return path + ": too short for the counts";
    if (out.n_cells <= 0) return path + ": cell count " + std::to_string(out.n_cells);
    if (out.dump_count < 0) return path + ": negative dump count " + std::to_string(out.dump_count);
    for (int k = 0; k < kCoefficients; ++k)
        if (!r.f32(out.coefficients[k])) return path + ": too short for the profile coefficients";
    const std::size_t n = static_cast<std::size_t>(out.n_cells);
    out.geometry.resize(n);
    if (!r.raw(out.geometry.data(), n * kGeometryFloats * sizeof(float)))
        return path + ": too short for the geometry table of " + std::to_string(n) + " cells";

    // What follows the geometry is whole dump records and the peak table; a
    // run that has not ended (or was killed) has written no peak table yet,
    // and then the count must still be the placeholder.
    const std::size_t peak_bytes = n * kResultQuantities * kPeakEntryFloats * sizeof(float);
    const std::size_t record_bytes = kResultQuantities * (n + 1) * sizeof(float);
    const std::size_t rest = r.size - r.pos;
    bool with_peaks = rest >= peak_bytes && (rest - peak_bytes) % record_bytes == 0;
    if (!with_peaks && !(rest % record_bytes == 0 && out.dump_count == out.n_cells))
        return path + ": truncated or inconsistent: " + std::to_string(rest) +
               " bytes follow the geometry table, which are not whole dump records of " +
               std::to_string(record_bytes) + " bytes and a peak table of " +
               std::to_string(peak_bytes) + " bytes for " + std::to_string(n) + " cells";
    const std::size_t records = (rest - (with_peaks ? peak_bytes : 0)) / record_bytes;
    const auto count = static_cast<std::size_t>(out.dump_count);
    if (!with_peaks || (count == n && records != count && records != count + 1))
        out.count_unpatched = true;
    else if (records == count + 1)
        out.closing_record = true;
    else if (records != count)
        return path + ": the header's dump count " + std::to_string(count) + " fits neither the " +
               std::to_string(records) + " dump records in the file nor the placeholder " +
               std::to_string(n) + " of an unfinished run";

    out.dumps.assign(records, std::vector<float>(kResultQuantities * (n + 1)));
    for (std::size_t d = 0; d < records; ++d) {
        std::vector<float>& rec = out.dumps[d];
        r.raw(rec.data(), record_bytes);
        for (int row = 1; row < kResultQuantities; ++row)
            if (!(rec[row * (n + 1)] == rec[0]))
                return path + ": dump record " + std::to_string(d) + " has the time " +
                       std::to_string(rec[0]) + " s in row 0 but " +
                       std::to_string(rec[row * (n + 1)]) + " s in row " + std::to_string(row);
        if (d > 0 && rec[0] < out.dumps[d - 1][0])
            return path + ": dump record " + std::to_string(d) + " at t = " +
                   std::to_string(rec[0]) + " s comes after one at t = " +
                   std::to_string(out.dumps[d - 1][0]) + " s";
    }
    if (with_peaks) {
        out.peaks.resize(n * kResultQuantities * kPeakEntryFloats);
        r.raw(out.peaks.data(), peak_bytes);
    }
    return "";
}

}  // namespace torla
