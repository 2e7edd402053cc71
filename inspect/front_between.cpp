// The front between cells (inspect.h): where the presence quantity crosses
// its threshold beyond the last cell the flow is present in.
#include <algorithm>
#include <cmath>

#include "inspect/inspect.h"

namespace torla::inspect {

namespace {

// The fraction of the way from a (above the threshold) to b at which the
// linear interpolant falls to the threshold; none when a is not above it.
std::optional<double> crossing(float a, float b, double threshold) {
    const float th = static_cast<float>(threshold);  // as flow_present compares
    if (!(a > th)) return std::nullopt;
    if (!std::isfinite(b) || !std::isfinite(a)) return 0.0;
    const double drop = static_cast<double>(a) - b;
    if (!(drop > 0.0)) return 0.0;
    return std::clamp((static_cast<double>(a) - th) / drop, 0.0, 1.0);
}

}  // namespace

std::optional<double> front_between_cells(const ResultTables& r, const std::vector<float>& record,
                                          const Thresholds& th, int front_cell) {
    if (front_cell < 0) return std::nullopt;
    if (front_cell + 1 >= r.n_cells) return static_cast<double>(front_cell);
    const std::size_t stride = static_cast<std::size_t>(r.n_cells) + 1;
    const auto at = [&](int row, int cell) { return record[row * stride + cell + 1]; };
    const std::optional<double> p3 = crossing(
        at(kRowSuspPressure, front_cell), at(kRowSuspPressure, front_cell + 1), th.pressure_kpa);
    const std::optional<double> h2 =
        crossing(at(kRowSaltDepth, front_cell), at(kRowSaltDepth, front_cell + 1), th.depth_m);
    return front_cell + std::max(p3.value_or(0.0), h2.value_or(0.0));
}

}  // namespace torla::inspect
