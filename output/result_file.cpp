// The result file: header with names, profile coefficients and geometry,
// one record per dump, the peak table, and the patched dump count. The
// writer and the reader of the layout stand side by side here.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

[[noreturn]] void result_failure(const ModelState& s, const char* op, std::string err) {
    // The message names the result file as the user knows it, not the
    // temporary name it is written under.
    const std::string& target = result_target(s);
    if (target != s.names.result_file)
        for (auto k = err.find(target); k != std::string::npos; k = err.find(target, k))
            err.replace(k, target.size(), s.names.result_file);
    fatal(kStatusFailure, "   %s:  FATAL ERROR:  Result file `%s': %s. STOP!\n\n", op,
          s.names.result_file.c_str(), err.c_str());
}

void put_coefficients(ByteWriter& w, const ProfileCoefficients& c) {
    for (float v :
         {c.Velo_Prof_Coeff_0, c.Velo_Prof_Coeff_1, c.Velo_Prof_Coeff_2, c.Conc_Prof_Coeff_0,
          c.Conc_Prof_Coeff_1, c.Conc_Prof_Coeff_2, c.Turb_Prof_Coeff_0, c.Turb_Prof_Coeff_1,
          c.Turb_Prof_Coeff_2, c.Diss_Prof_Coeff_0, c.Diss_Prof_Coeff_1, c.Diss_Prof_Coeff_2})
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
    if (auto err = write_file_bytes(result_target(s), w.bytes, false); !err.empty())
        result_failure(s, "read_grid_file", err);
    s.files.result_started = true;
}

void write_dump(ModelState& s, double t, const Matrix& m) {
    const int n = s.n_cells;
    const RunParameters& par = s.par;
    const std::size_t stride = static_cast<std::size_t>(n) + 1;
    float* rec = s.dump_record.data();
    for (int i = 0; i < n; ++i) {
        const double* u = m[i];
        const double h2c =
            u[kSaltDepth] > par.Min_Salt_Height ? u[kSaltDepth] : par.Min_Salt_Height;
        const double h3c =
            u[kSuspDepth] > par.Min_Susp_Height ? u[kSuspDepth] : par.Min_Susp_Height;
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

    if (auto err =
            write_file_bytes(result_target(s), rec, s.dump_record.size() * sizeof(float), true);
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
    if (auto err = write_file_bytes(result_target(s), s.peak_table.data(),
                                    s.peak_table.size() * sizeof(float), true);
        !err.empty())
        result_failure(s, "main", err);
}

void patch_dump_count(const ModelState& s) {
    std::FILE* f = std::fopen(result_target(s).c_str(), "r+b");
    if (!f)
        result_failure(s, "main", std::string("cannot open for update: ") + std::strerror(errno));
    bool ok = std::fseek(f, s.files.dump_count_position, SEEK_SET) == 0 &&
              std::fwrite(&s.clock.dump_count, sizeof s.clock.dump_count, 1, f) == 1;
    int saved = errno;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        result_failure(
            s, "main",
            std::string("cannot patch the dump count: ") + std::strerror(saved ? saved : errno));
}

namespace {

// Reads fields from an open file at a position; every read checks that the
// bytes were there. The mirror of ByteWriter for the reading side.
struct FileFields {
    int fd;
    uint64_t pos = 0;
    bool raw(void* out, std::size_t n) {
        auto* p = static_cast<unsigned char*>(out);
        while (n > 0) {
            const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(pos));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            p += got;
            pos += static_cast<uint64_t>(got);
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    bool i16(int16_t& v) { return raw(&v, sizeof v); }
    bool f32(float& v) { return raw(&v, sizeof v); }
};

// What kind of file a mode names, for the message that refuses it.
const char* file_kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a pipe (FIFO)";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// The most records a file can hold: the count is 16 bits, and a run stopped
// on the small-step limit adds one closing record beyond it.
constexpr uint64_t kMostRecords = 32767 + 1;

}  // namespace

ResultReader::~ResultReader() {
    if (fd_ >= 0) ::close(fd_);
}

std::string ResultReader::open(const std::string& path, ResultTables& out) {
    out = ResultTables{};
    if (fd_ >= 0) ::close(fd_);
    path_ = path;
    records_ = next_ = 0;
    // Non-blocking, so that a FIFO is refused instead of waited on.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return "cannot open " + path + ": " + std::strerror(errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return "cannot read " + path + ": " + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return path + ": " + file_kind(st.st_mode) + ", not a result file";
    const uint64_t size = static_cast<uint64_t>(st.st_size);

    FileFields r{fd_};
    int16_t lp = 0, lr = 0;
    if (!r.i16(lp) || !r.i16(lr)) return path + ": too short for the name lengths";
    if (lp < 0 || lr < 0) return path + ": negative name length";
    if (static_cast<uint64_t>(lp) + static_cast<uint64_t>(lr) > size)
        return path + ": too short for the names";
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
    // and then the count must still be the placeholder. Anything else is a
    // file cut short inside a record or the peak table.
    const uint64_t peak_bytes = n * kResultQuantities * kPeakEntryFloats * sizeof(float);
    const uint64_t record_bytes = kResultQuantities * (n + 1) * sizeof(float);
    const uint64_t rest = size - r.pos;
    if (rest > kMostRecords * record_bytes + peak_bytes)
        return path + ": " + std::to_string(size) + " bytes, more than a result file of " +
               std::to_string(n) + " cells can hold (" + std::to_string(kMostRecords) +
               " dump records of " + std::to_string(record_bytes) + " bytes and a peak table)";
    const auto count = static_cast<uint64_t>(out.dump_count);
    records_at_ = r.pos;
    record_bytes_ = record_bytes;
    record_floats_ = out.record_floats();
    const bool with_peaks = rest >= peak_bytes && (rest - peak_bytes) % record_bytes == 0;
    const bool unfinished = !with_peaks && rest % record_bytes == 0 && count == n;
    if (!with_peaks && !unfinished) return read_cut_layout(out, rest, peak_bytes);
    // A file cut short can look whole by chance (the bytes after the cut
    // as long as a peak table); when whole pieces do not fit, the cut does.
    const std::string err = read_whole_layout(out, rest, peak_bytes, with_peaks);
    if (err.empty()) return "";
    ResultTables header = out;
    if (read_cut_layout(out, rest, peak_bytes).empty()) return "";
    out = header;
    return err;
}

std::string ResultReader::check_times(const ResultTables& out, uint64_t records, bool cut,
                                      std::size_t& good) {
    const std::size_t n = static_cast<std::size_t>(out.n_cells);
    const auto count = static_cast<uint64_t>(out.dump_count);
    FileFields r{fd_};
    float previous = 0.0f;
    for (good = 0; good < records; ++good) {
        float slot[kResultQuantities];
        for (int row = 0; row < kResultQuantities; ++row) {
            r.pos = records_at_ + good * record_bytes_ + row * (n + 1) * sizeof(float);
            if (!r.f32(slot[row])) return "cannot read " + path_ + ": it changed while being read";
            if (!(slot[row] == slot[0]))
                return path_ + ": dump record " + std::to_string(good) + " has the time " +
                       std::to_string(slot[0]) + " s in row 0 but " + std::to_string(slot[row]) +
                       " s in row " + std::to_string(row);
        }
        // In a file cut short only the closing record of a patched count may
        // repeat the time before it: a piece of the peak table (all zeros
        // where nothing moved) would otherwise pass for records at t = 0.
        const bool may_repeat = !cut || (count != n && good == count);
        if (good > 0 && (slot[0] < previous || (slot[0] == previous && !may_repeat)))
            return path_ + ": dump record " + std::to_string(good) +
                   " at t = " + std::to_string(slot[0]) +
                   " s comes after one at t = " + std::to_string(previous) + " s";
        previous = slot[0];
    }
    return "";
}

std::string ResultReader::read_whole_layout(ResultTables& out, uint64_t rest, uint64_t peak_bytes,
                                            bool with_peaks) {
    const std::size_t n = static_cast<std::size_t>(out.n_cells);
    const auto count = static_cast<uint64_t>(out.dump_count);
    const uint64_t records = (rest - (with_peaks ? peak_bytes : 0)) / record_bytes_;
    out.count_unpatched = out.closing_record = false;
    if (!with_peaks || (count == n && records != count && records != count + 1))
        out.count_unpatched = true;
    else if (records == count + 1)
        out.closing_record = true;
    else if (records != count)
        return path_ + ": the header's dump count " + std::to_string(count) + " fits neither the " +
               std::to_string(records) + " dump records in the file nor the placeholder " +
               std::to_string(n) + " of an unfinished run";
    std::size_t good = 0;
    if (std::string err = check_times(out, records, false, good); !err.empty()) return err;
    records_ = good;
    if (with_peaks) {
        out.peaks.resize(n * kResultQuantities * kPeakEntryFloats);
        FileFields r{fd_, records_at_ + records_ * record_bytes_};
        if (!r.raw(out.peaks.data(), peak_bytes))
            return "cannot read " + path_ + ": it changed while being read";
    }
    return "";
}

std::string ResultReader::read_cut_layout(ResultTables& out, uint64_t rest, uint64_t peak_bytes) {
    const std::size_t n = static_cast<std::size_t>(out.n_cells);
    const auto count = static_cast<uint64_t>(out.dump_count);
    // A patched count tells how many records there were; what lies beyond
    // them and a closing record is the peak table. The first record whose
    // time slots fail ends the whole ones: it is the cut piece of the table.
    uint64_t records = rest / record_bytes_;
    if (count != n && records > count + 1) records = count + 1;
    std::size_t good = 0;
    check_times(out, records, true, good);
    // A cut leaves part of one record, or part of the peak table after the
    // records; more than that is not a file a run leaves.
    const uint64_t left = rest - good * record_bytes_;
    if (left >= record_bytes_ && (good == 0 || left >= peak_bytes))
        return path_ + ": truncated or inconsistent: " + std::to_string(rest) +
               " bytes follow the geometry table, which are not whole dump records of " +
               std::to_string(record_bytes_) + " bytes and a peak table of " +
               std::to_string(peak_bytes) + " bytes for " + std::to_string(n) +
               " cells, nor whole records before a cut";
    records_ = good;
    out.peaks.clear();
    out.cut_short = true;
    out.cut_bytes = left;
    out.count_unpatched = count == n;
    out.closing_record = count != n && good == count + 1;
    return "";
}

std::string ResultReader::read_record(std::vector<float>& rec) {
    if (fd_ < 0 || next_ >= records_) return path_ + ": no dump record left to read";
    rec.resize(record_floats_);
    FileFields r{fd_, records_at_ + next_ * record_bytes_};
    if (!r.raw(rec.data(), record_bytes_))
        return "cannot read " + path_ + ": it changed while being read";
    ++next_;
    return "";
}

std::string read_result_file(const std::string& path, ResultData& out) {
    out = ResultData{};
    ResultReader reader;
    if (auto err = reader.open(path, out); !err.empty()) return err;
    out.dumps.resize(reader.records());
    for (std::vector<float>& rec : out.dumps)
        if (auto err = reader.read_record(rec); !err.empty()) return err;
    return "";
}

}  // namespace torla
