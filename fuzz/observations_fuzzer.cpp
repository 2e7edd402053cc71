// Fuzz target: the observation file (TOML, every line checked before
// toml++ reads the text, then every key checked).
//
// The input is an observation file's text. What must hold afterwards:
//  - every refusal is "fuzz.toml:LINE: what", LINE a line of the text (0 for
//    the file as a whole), and what is one line of printable text;
//  - an accepted file has a name, a source and at least one observation;
//    every position is a finite horizontal distance of 0 or more or a finite
//    map point, every uncertainty is finite and above 0, every pressure
//    range has its maximum above its minimum, a covered stretch runs downhill.
#include <algorithm>
#include <cmath>
#include <string>

#include "fuzz/fuzz_support.h"
#include "inspect/observations.h"

namespace {

using torla::inspect::ObservedPosition;

void check_refusal(const std::string& r, std::size_t lines) {
    const std::string head = "fuzz.toml:";
    TORLA_FUZZ_ASSERT(r.rfind(head, 0) == 0);
    std::size_t i = head.size(), line = 0;
    TORLA_FUZZ_ASSERT(i < r.size() && std::isdigit(static_cast<unsigned char>(r[i])));
    while (i < r.size() && std::isdigit(static_cast<unsigned char>(r[i])) && line <= lines)
        line = line * 10 + static_cast<std::size_t>(r[i++] - '0');
    TORLA_FUZZ_ASSERT(line <= lines);
    TORLA_FUZZ_ASSERT(r.compare(i, 2, ": ") == 0 && r.size() > i + 2);
    for (unsigned char c : r) TORLA_FUZZ_ASSERT(c >= 0x20 && c != 0x7F);
}

bool finite_sigma(double s) { return std::isfinite(s) && s > 0.0; }

void check_position(const ObservedPosition& at) {
    TORLA_FUZZ_ASSERT(at.s_horizontal_m.has_value() != at.point.has_value());
    if (at.s_horizontal_m)
        TORLA_FUZZ_ASSERT(std::isfinite(*at.s_horizontal_m) && *at.s_horizontal_m >= 0.0);
    if (at.point) TORLA_FUZZ_ASSERT(std::isfinite((*at.point)[0]) && std::isfinite((*at.point)[1]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t lines =
        1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    torla::inspect::Observations o;
    const auto refusals = torla::inspect::parse_observations(text, "fuzz.toml", o);
    if (!refusals.empty()) {
        for (const std::string& r : refusals) check_refusal(r, lines);
        return 0;
    }
    TORLA_FUZZ_ASSERT(o.count() > 0);
    if (o.runout) {
        check_position(o.runout->at);
        TORLA_FUZZ_ASSERT(finite_sigma(o.runout->sigma_m) && o.runout->threshold_kpa > 0.0);
    }
    for (const auto& a : o.arrivals) {
        check_position(a.at);
        TORLA_FUZZ_ASSERT(std::isfinite(a.t_s) && finite_sigma(a.sigma_s));
    }
    for (const auto& s : o.speeds) {
        check_position(s.at);
        TORLA_FUZZ_ASSERT(std::isfinite(s.speed_m_s) && finite_sigma(s.sigma_m_s));
    }
    for (const auto& p : o.pressures) {
        check_position(p.at);
        TORLA_FUZZ_ASSERT(p.p_kpa.has_value() != p.min_kpa.has_value());
        if (p.p_kpa)
            TORLA_FUZZ_ASSERT(std::isfinite(*p.p_kpa) && p.sigma_kpa && finite_sigma(*p.sigma_kpa));
        if (p.min_kpa)
            TORLA_FUZZ_ASSERT(p.max_kpa && *p.max_kpa > *p.min_kpa && std::isfinite(*p.max_kpa));
    }
    if (o.covered)
        TORLA_FUZZ_ASSERT(o.covered->to_m > o.covered->from_m && finite_sigma(o.covered->sigma_m) &&
                          std::isfinite(o.covered->to_m));
    return 0;
}
