// JSON strings and numbers.
#include "model/json.h"

#include <cmath>
#include <cstdio>

namespace torla {

namespace {

// The length of a valid UTF-8 sequence starting at s[i], or 0.
std::size_t utf8_length(const std::string& s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t len = c < 0x80           ? 1
                            : (c >> 5) == 0x6  ? 2
                            : (c >> 4) == 0xE  ? 3
                            : (c >> 3) == 0x1E ? 4
                                               : 0;
    if (len == 0 || i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return 0;
    return len;
}

}  // namespace

std::string json_string(const std::string& text) {
    std::string out = "\"";
    char escaped[8];
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t len = utf8_length(text, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F || len == 0) {
            // A control character, or a byte that is no UTF-8: as Latin-1,
            // whose code point equals the byte.
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, len);
            i += len;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

std::string json_number(double v) {
    if (!std::isfinite(v)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.12g", v);
    return text;
}

std::string json_float(float v) {
    if (!std::isfinite(v)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
    return text;
}

}  // namespace torla
