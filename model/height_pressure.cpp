// Pressure over height from the suspension layer's assumed profiles, and the
// list of heights the run keeps peaks at.
#include "model/height_pressure.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace torla {

HeightProfile height_profile(const ProfileCoefficients& c, double air_density, double rho_diff) {
    return {c.Velo_Prof_Coeff_0, c.Velo_Prof_Coeff_1, c.Velo_Prof_Coeff_2, c.Conc_Prof_Coeff_0,
            c.Conc_Prof_Coeff_1, c.Conc_Prof_Coeff_2, air_density,         rho_diff};
}

HeightProfile height_profile(const float k[12], double air_density, double rho_diff) {
    return {k[0], k[1], k[2], k[3], k[4], k[5], air_density, rho_diff};
}

double saltation_pressure(double u2, double bulk_density) { return u2 * u2 * bulk_density / 1000; }

double suspension_pressure_at(const HeightProfile& p, double h3, double u3, double c3, double z) {
    return pressure_at_height(p, CellLayers{-1.0, 0.0, h3, u3, c3}, z);
}

std::string parse_height_list(const std::string& text, std::vector<double>& out) {
    std::vector<double> heights;
    std::size_t pos = 0;
    for (int item = 1;; ++item) {
        const std::size_t comma = text.find(',', pos);
        const std::string part =
            text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const std::string where = "height " + std::to_string(item) + " (`" + part + "')";
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(part.c_str(), &end);
        if (part.empty() || end != part.c_str() + part.size() || errno == ERANGE ||
            !std::isfinite(v))
            return where + " is not a number";
        if (v < 0.0) return where + " is below 0 m";
        if (!heights.empty() && v <= heights.back())
            return where + " does not rise above the one before";
        if (static_cast<int>(heights.size()) == kMaxPeakHeights)
            return "more than " + std::to_string(kMaxPeakHeights) + " heights";
        heights.push_back(v);
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    out = heights;
    return "";
}

}  // namespace torla
