// JSON strings and numbers.
#include "model/json.h"

#include <cmath>
#include <cstdio>

#include "model/utf8.h"

namespace torla {

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
