// Numbers as text (see numbers.h).
#include "support/numbers.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace torla::support {

namespace {

const char* non_finite_word(double v) { return std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf"; }

}  // namespace

std::string fmt(const char* format, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

std::string number_text(double v, int digits) {
    if (!std::isfinite(v)) return non_finite_word(v);
    return fmt("%.*g", digits, v);
}

std::string fixed_text(double v, int decimals) {
    if (!std::isfinite(v)) return non_finite_word(v);
    return fmt("%.*f", decimals, v);
}

std::string exact_number_text(double v) {
    if (!std::isfinite(v)) return non_finite_word(v);
    for (int digits = 15; digits < 17; ++digits) {
        std::string t = fmt("%.*g", digits, v);
        if (std::strtod(t.c_str(), nullptr) == v) return t;
    }
    return fmt("%.17g", v);
}

}  // namespace torla::support
