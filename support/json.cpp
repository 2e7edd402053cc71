// JSON text for the tools (see json.h).
#include "support/json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "model/utf8.h"

namespace torla::support {

namespace {

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
