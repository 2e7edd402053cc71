// The moving average of the sampled elevations (see steps.h).
#include <algorithm>
#include <cmath>

#include "profile/steps.h"

namespace torla::profile {

double smooth_elevations(const std::vector<double>& distance_m, std::vector<double>& elevation_m,
                         double window_m) {
    const std::size_t n = distance_m.size();
    if (!(window_m > 0.0) || n < 3) return 0.0;
    const std::vector<double> z = elevation_m;
    // Sums of the elevations before each point: any window's mean in one
    // step, so a window of many points costs no more than a narrow one.
    std::vector<double> before(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) before[i + 1] = before[i] + z[i];
    double largest = 0.0;
    std::size_t lo = 0, hi = 0;  // the points within [s - half, s + half]
    for (std::size_t i = 0; i < n; ++i) {
        const double s = distance_m[i];
        const double half =
            std::min({0.5 * window_m, s - distance_m.front(), distance_m.back() - s});
        // A point exactly at the window's edge counts, within rounding.
        const double eps = 1e-9 * std::max(1.0, std::fabs(s));
        while (lo < n && distance_m[lo] < s - half - eps) ++lo;
        while (lo > 0 && distance_m[lo - 1] >= s - half - eps) --lo;
        hi = std::max(hi, i);
        while (hi + 1 < n && distance_m[hi + 1] <= s + half + eps) ++hi;
        while (hi > i && distance_m[hi] > s + half + eps) --hi;
        elevation_m[i] = (before[hi + 1] - before[lo]) / static_cast<double>(hi - lo + 1);
        largest = std::max(largest, std::fabs(elevation_m[i] - z[i]));
    }
    return largest;
}

}  // namespace torla::profile
