// Numbers as text, the same way in every tool.
#pragma once

#include <string>

namespace torla::support {

// printf into a string (up to 511 bytes).
std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// %.*g with `digits` significant digits, or nan, inf, -inf. Nine digits
// read back as the same 32-bit float.
std::string number_text(double v, int digits = 9);

// %.*f with `decimals` after the point, or nan, inf, -inf: for people.
std::string fixed_text(double v, int decimals);

// The shortest of 15 to 17 significant digits that reads back as the same
// double, so that 0.1 prints as 0.1; nan, inf, -inf where not finite.
std::string exact_number_text(double v);

}  // namespace torla::support
