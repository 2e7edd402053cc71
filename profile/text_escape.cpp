// Escapes for file-derived text (see text_escape.h).
#include "profile/text_escape.h"

#include <algorithm>
#include <cstdio>

#include "model/utf8.h"

namespace torla::profile {

namespace {

std::string hex(const char* f, unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

unsigned byte(const std::string& s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

// The code point of a C1 control (U+0080..U+009F, U+0085 among them) or of
// U+2028/U+2029 at s[i] of `len` bytes, or 0 for any other character.
unsigned line_breaking(const std::string& s, std::size_t i, std::size_t len) {
    if (len == 2 && byte(s, i) == 0xC2 && byte(s, i + 1) <= 0x9F) return byte(s, i + 1);
    if (len == 3 && byte(s, i) == 0xE2 && byte(s, i + 1) == 0x80 &&
        (byte(s, i + 2) == 0xA8 || byte(s, i + 2) == 0xA9))
        return 0x2000u + byte(s, i + 2) - 0x80u;
    return 0;
}

}  // namespace

std::string escaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned c = byte(text, i);
        const std::size_t len = utf8_length(text, i);
        if (len == 0) {
            out += hex("\\x%02x", c);
            ++i;
        } else if (const unsigned code = line_breaking(text, i, len)) {
            out += hex("\\u%04x", code);
            i += len;
        } else if (c == '\n' || c == '\r' || c == '\t') {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            out += hex("\\u%04x", c);
            ++i;
        } else {
            out.append(text, i, len);
            i += len;
        }
    }
    return out;
}

std::size_t utf8_prefix(const std::string& text, std::size_t from, std::size_t bytes) {
    std::size_t end = from;
    while (end < text.size()) {
        const std::size_t len = std::max<std::size_t>(1, utf8_length(text, end));
        if (end + len - from > bytes) break;
        end += len;
    }
    return end - from;
}

}  // namespace torla::profile
