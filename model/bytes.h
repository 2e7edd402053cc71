// Little-endian packing of the 16-bit counts and 32-bit floats that make up
// every binary file of the program (generator input, grid, result file).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace torla {

static_assert(std::endian::native == std::endian::little,
              "the binary files are little-endian and written from memory as they stand");

struct ByteWriter {
    std::vector<unsigned char> bytes;
    void i16(int16_t v) { raw(&v, sizeof v); }
    void f32(float v) { raw(&v, sizeof v); }
    void text(const std::string& s) { raw(s.data(), s.size()); }
    void raw(const void* p, std::size_t n) {
        if (n == 0) return;
        const std::size_t at = bytes.size();
        bytes.resize(at + n);
        std::memcpy(bytes.data() + at, p, n);
    }
};

// Reads fields from a byte buffer; every read checks that the bytes are there.
struct ByteReader {
    const unsigned char* p;
    std::size_t size;
    std::size_t pos = 0;
    ByteReader(const std::vector<unsigned char>& b) : p(b.data()), size(b.size()) {}
    bool has(std::size_t n) const { return size - pos >= n; }
    bool i16(int16_t& v) { return raw(&v, sizeof v); }
    bool f32(float& v) { return raw(&v, sizeof v); }
    bool raw(void* out, std::size_t n) {
        if (!has(n)) return false;
        if (n == 0) return true;  // out may be the null data() of an empty table
        std::memcpy(out, p + pos, n);
        pos += n;
        return true;
    }
};

// Largest text input a run reads (information file, command file), bytes.
inline constexpr std::size_t kMaxTextInput = std::size_t{64} << 20;

// What a path names. Symbolic links are followed unless asked otherwise.
enum class FileKind { kAbsent, kRegular, kDirectory, kSymlink, kOther };
FileKind file_kind(const std::string& path, bool follow_links = true);
// Why an input cannot be read as a text file of the run: "" when it can (or
// when it is absent or a directory, which the reader reports as it always
// has), else "is not a regular file" or "is larger than 64 MB".
std::string text_input_problem(const std::string& path);

// Whole-file helpers; each returns an empty string or the reason of failure.
std::string read_file_bytes(const std::string& path, std::vector<unsigned char>& out);
std::string write_file_bytes(const std::string& path, const std::vector<unsigned char>& bytes,
                             bool append);
// Writes a whole file without following a symbolic link at its name and
// only over a regular file (or none): for the run's temporary files.
std::string write_file_no_follow(const std::string& path, const std::vector<unsigned char>& bytes);
// The same for bytes the caller already holds (a dump record, the peak
// table), written in one piece without a copy.
std::string write_file_bytes(const std::string& path, const void* data, std::size_t size,
                             bool append);

}  // namespace torla
