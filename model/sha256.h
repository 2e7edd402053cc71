// SHA-256 of a byte string, as lower-case hex: the fingerprints of command
// files and parameters in the run record.
#pragma once

#include <cstddef>
#include <string>

namespace torla {

std::string sha256_hex(const void* data, std::size_t size);
inline std::string sha256_hex(const std::string& s) { return sha256_hex(s.data(), s.size()); }

}  // namespace torla
