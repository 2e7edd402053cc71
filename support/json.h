// JSON that the tools write: built as nlohmann-json values and turned into
// text here, the same way in every tool.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace torla::support {

// A 32-bit value as the double of its shortest decimal text, so that the
// document shows 0.1 rather than 0.100000001490116 and reads back as the
// same float; null when it is not finite.
nlohmann::ordered_json float_value(float v);

// Text made valid UTF-8 for a JSON string: UTF-8 as it stands, any other
// byte (a stray continuation, an overlong form, a surrogate, a lead byte
// alone) taken as the Latin-1 character of the same number.
std::string utf8_or_latin1(const std::string& text);

// The document as text: every string and key made valid UTF-8 as above,
// then nlohmann-json's dump (indent < 0: one line), non-ASCII characters as
// they stand, control characters escaped.
std::string json_text(const nlohmann::ordered_json& j, int indent = -1);
std::string json_text(const nlohmann::json& j, int indent = -1);

}  // namespace torla::support
