// JSON text for the tools (see json.h).
#include "support/json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace torla::support {

namespace {

// The length of the well-formed UTF-8 sequence at s[i] (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF), or 0.
std::size_t utf8_length(const std::string& s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned c = b(0);
    std::size_t len = 0;
    unsigned lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        len = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4)
        len = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    if (len == 0 || i + len > s.size() || b(1) < lo || b(1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if ((b(k) & 0xC0) != 0x80) return 0;
    return len;
}

bool valid_utf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = utf8_length(s, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

// Whether any string or key in j is not valid UTF-8.
template <class Json>
bool needs_repair(const Json& j) {
    if (j.is_string()) return !valid_utf8(j.template get_ref<const std::string&>());
    if (j.is_object()) {
        for (auto it = j.begin(); it != j.end(); ++it)
            if (!valid_utf8(it.key()) || needs_repair(it.value())) return true;
    } else if (j.is_array()) {
        for (const Json& e : j)
            if (needs_repair(e)) return true;
    }
    return false;
}

template <class Json>
Json repaired(const Json& j) {
    if (j.is_string()) return utf8_or_latin1(j.template get_ref<const std::string&>());
    if (j.is_array()) {
        Json out = Json::array();
        for (const Json& e : j) out.push_back(repaired(e));
        return out;
    }
    if (!j.is_object()) return j;
    Json out = Json::object();
    for (auto it = j.begin(); it != j.end(); ++it)
        out[utf8_or_latin1(it.key())] = repaired(it.value());
    return out;
}

template <class Json>
std::string text_of(const Json& j, int indent) {
    constexpr auto kReplace =
        nlohmann::json::error_handler_t::replace;  // never needed after the repair
    if (needs_repair(j)) return repaired(j).dump(indent, ' ', false, kReplace);
    return j.dump(indent, ' ', false, kReplace);
}

}  // namespace

nlohmann::ordered_json float_value(float v) {
    if (!std::isfinite(v)) return nullptr;
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text - 1, v).ptr;
    *end = '\0';
    return std::strtod(text, nullptr);
}

std::string utf8_or_latin1(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (const std::size_t len = utf8_length(text, i)) {
            out.append(text, i, len);
            i += len;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[i++]);
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::string json_text(const nlohmann::ordered_json& j, int indent) { return text_of(j, indent); }
std::string json_text(const nlohmann::json& j, int indent) { return text_of(j, indent); }

}  // namespace torla::support
