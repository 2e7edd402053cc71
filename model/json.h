// Pieces of JSON text: strings from names of any bytes, numbers that may
// not be finite.
#pragma once

#include <string>

namespace torla {

// A name as a JSON string: UTF-8 as it stands, any other byte taken as
// Latin-1, control characters escaped.
std::string json_string(const std::string& text);
// A number with 12 significant digits, or null when it is not finite.
std::string json_number(double v);
// A 32-bit float with 9 significant digits, which reads back as the same
// float (as a double rounded to float), or null when it is not finite.
std::string json_float(float v);

}  // namespace torla
