// Whole files in and out, for the binary files of the program and the text
// files it copies.
#include "model/bytes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace torla {

std::string read_file_bytes(const std::string& path, std::vector<unsigned char>& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "cannot open " + path + ": " + std::strerror(errno);
    out.clear();
    unsigned char buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + got);
    bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) return "cannot read " + path;
    return "";
}

std::string write_file_bytes(const std::string& path, const std::vector<unsigned char>& bytes,
                             bool append) {
    return write_file_bytes(path, bytes.data(), bytes.size(), append);
}

std::string write_file_bytes(const std::string& path, const void* data, std::size_t size,
                             bool append) {
    std::FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb");
    if (!f) return "cannot open " + path + " for writing: " + std::strerror(errno);
    bool ok = std::fwrite(data, 1, size, f) == size;
    int saved = errno;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) return "cannot write " + path + ": " + std::strerror(saved ? saved : errno);
    return "";
}

}  // namespace torla
