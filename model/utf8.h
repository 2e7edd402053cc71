// Well-formed UTF-8 as RFC 3629 has it, for every escape of text and JSON.
#pragma once

#include <cstddef>
#include <string>

namespace torla {

// The length of the well-formed UTF-8 sequence at s[i] (no overlong forms,
// no surrogates, nothing above U+10FFFF), or 0.
std::size_t utf8_length(const std::string& s, std::size_t i);

}  // namespace torla
