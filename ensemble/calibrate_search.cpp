// Where calibration looks next (calibrate.h): the rounds' sizes, the boxes
// that narrow round by round, and the quadratic surrogate whose minimum
// (found with NLopt) centres the next box.
#include <algorithm>
#include <cmath>
#include <numeric>

#include <nlopt.hpp>

#include "ensemble/calibrate.h"

namespace torla::ensemble {

namespace {

constexpr int kLaterRounds = 5;

// The terms of a full quadratic in u: 1, u_i, u_i u_j (i <= j).
std::vector<double> quadratic_terms(const std::vector<double>& u) {
    std::vector<double> t{1.0};
    for (double v : u) t.push_back(v);
    for (std::size_t i = 0; i < u.size(); ++i)
        for (std::size_t j = i; j < u.size(); ++j) t.push_back(u[i] * u[j]);
    return t;
}

// Solves the square system a x = b by Gaussian elimination with partial
// pivoting; false when it is (nearly) singular.
bool solve(std::vector<std::vector<double>> a, std::vector<double> b, std::vector<double>& x) {
    const std::size_t n = b.size();
    double scale = 0.0;
    for (const auto& row : a)
        for (double v : row) scale = std::max(scale, std::fabs(v));
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t p = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        if (!(std::fabs(a[p][c]) > 1e-12 * scale)) return false;
        std::swap(a[p], a[c]);
        std::swap(b[p], b[c]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            for (std::size_t k = c; k < n; ++k) a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    x.assign(n, 0.0);
    for (std::size_t c = n; c-- > 0;) {
        double s = b[c];
        for (std::size_t k = c + 1; k < n; ++k) s -= a[c][k] * x[k];
        x[c] = s / a[c][c];
    }
    return true;
}

// Least-squares coefficients of the quadratic through (u, y).
bool fit_quadratic(const std::vector<std::vector<double>>& u, const std::vector<double>& y,
                   std::vector<double>& coef) {
    const std::size_t p = quadratic_terms(u[0]).size();
    std::vector<std::vector<double>> ata(p, std::vector<double>(p, 0.0));
    std::vector<double> aty(p, 0.0);
    for (std::size_t k = 0; k < u.size(); ++k) {
        const std::vector<double> t = quadratic_terms(u[k]);
        for (std::size_t i = 0; i < p; ++i) {
            aty[i] += t[i] * y[k];
            for (std::size_t j = 0; j < p; ++j) ata[i][j] += t[i] * t[j];
        }
    }
    return solve(ata, aty, coef);
}

// The quadratic (in quadratic_terms' order) that is the mean of the squares
// of residuals each fitted linearly in u by least squares: r[k] holds the
// residuals of point u[k], the same observations in the same order at every
// point. The Gauss-Newton model of a misfit that is a mean of squares: it
// takes its curvature from how each observation moves (d + 1 coefficients
// a line, fitted to all the points), and the roughness of single
// observations averages out over many.
bool linearised_quadratic(const std::vector<std::vector<double>>& u,
                          const std::vector<std::vector<double>>& r, std::vector<double>& coef) {
    const std::size_t d = u[0].size(), n = r[0].size();
    if (n == 0) return false;
    for (const auto& row : r) {
        if (row.size() != n) return false;
        for (double v : row)
            if (!std::isfinite(v)) return false;
    }
    std::vector<std::vector<double>> ata(d + 1, std::vector<double>(d + 1, 0.0));
    for (const auto& point : u) {
        std::vector<double> t{1.0};
        t.insert(t.end(), point.begin(), point.end());
        for (std::size_t i = 0; i <= d; ++i)
            for (std::size_t j = 0; j <= d; ++j) ata[i][j] += t[i] * t[j];
    }
    coef.assign(quadratic_terms(u[0]).size(), 0.0);
    for (std::size_t o = 0; o < n; ++o) {
        std::vector<double> aty(d + 1, 0.0), line;  // residual o = line . (1, u)
        for (std::size_t k = 0; k < u.size(); ++k) {
            aty[0] += r[k][o];
            for (std::size_t i = 0; i < d; ++i) aty[i + 1] += u[k][i] * r[k][o];
        }
        if (!solve(ata, aty, line)) return false;
        std::size_t at = 0;
        coef[at++] += line[0] * line[0];
        for (std::size_t i = 0; i < d; ++i) coef[at++] += 2.0 * line[0] * line[i + 1];
        for (std::size_t i = 0; i < d; ++i)
            for (std::size_t j = i; j < d; ++j)
                coef[at++] += (i == j ? 1.0 : 2.0) * line[i + 1] * line[j + 1];
    }
    for (double& c : coef) c /= static_cast<double>(n);
    return true;
}

double quadratic_value(const std::vector<double>& u, std::vector<double>& /*grad*/, void* data) {
    const auto& coef = *static_cast<const std::vector<double>*>(data);
    const std::vector<double> t = quadratic_terms(u);
    return std::inner_product(t.begin(), t.end(), coef.begin(), 0.0);
}

// The minimum of the fitted quadratic in [lo, hi] from start u, by NLopt.
std::optional<std::vector<double>> minimise(std::vector<double> coef, std::vector<double> u,
                                            const std::vector<double>& lo,
                                            const std::vector<double>& hi) {
    for (nlopt::algorithm a : {nlopt::LN_BOBYQA, nlopt::LN_COBYLA}) {
        try {
            nlopt::opt opt(a, static_cast<unsigned>(u.size()));
            opt.set_lower_bounds(lo);
            opt.set_upper_bounds(hi);
            opt.set_min_objective(quadratic_value, &coef);
            opt.set_xtol_abs(1e-9);
            opt.set_maxeval(5000);
            double value = 0.0;
            std::vector<double> x = u;
            opt.optimize(x, value);
            if (std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); }))
                return x;
        } catch (const std::exception&) {
            // the other algorithm, or none
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<int> calibration_rounds(int budget, int d) {
    const int first = std::min(budget, std::max(d + 2, (budget * 2 + 4) / 5));
    std::vector<int> rounds{first};
    const int rest = budget - first;
    if (rest <= 0) return rounds;
    const int later = std::min(kLaterRounds, rest);
    for (int k = 0; k < later; ++k)
        rounds.push_back(rest / later + (k == later - 1 ? rest % later : 0));
    return rounds;
}

Box round_box(const EnsembleFile& ens, const std::vector<double>& centre, int k) {
    Box b;
    for (std::size_t i = 0; i < ens.vary.size(); ++i) {
        const double lo = ens.vary[i].min, hi = ens.vary[i].max;
        const double half = 0.5 * (hi - lo) * std::ldexp(1.0, -k);
        const double c = std::clamp(centre[i], lo + half, hi - half);
        b.min.push_back(c - half);
        b.max.push_back(c + half);
    }
    return b;
}

std::optional<std::vector<double>> surrogate_minimum(
    const std::vector<std::vector<double>>& points, const std::vector<double>& misfits,
    const Box& within, const std::vector<std::vector<double>>& residuals) {
    if (points.empty()) return std::nullopt;
    const std::size_t d = points[0].size();
    const std::size_t p = (d + 1) * (d + 2) / 2;
    std::vector<std::size_t> order(points.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return misfits[a] < misfits[b]; });
    const std::size_t use = std::min(order.size(), std::max(2 * p, p + d + 2));
    if (use < p + 1) return std::nullopt;
    std::vector<double> lo(points[order[0]]), hi(points[order[0]]);
    for (std::size_t k = 0; k < use; ++k)
        for (std::size_t i = 0; i < d; ++i) {
            lo[i] = std::min(lo[i], points[order[k]][i]);
            hi[i] = std::max(hi[i], points[order[k]][i]);
        }
    std::vector<std::vector<double>> u, r;
    std::vector<double> y;
    for (std::size_t k = 0; k < use; ++k) {
        std::vector<double> row(d);
        for (std::size_t i = 0; i < d; ++i) {
            if (!(hi[i] > lo[i])) return std::nullopt;
            row[i] = (points[order[k]][i] - lo[i]) / (hi[i] - lo[i]);
        }
        u.push_back(row);
        y.push_back(misfits[order[k]]);
        if (residuals.size() == points.size()) r.push_back(residuals[order[k]]);
    }
    std::vector<double> coef;
    if (!(r.size() == u.size() && linearised_quadratic(u, r, coef)) && !fit_quadratic(u, y, coef))
        return std::nullopt;
    // The search box in the fit's coordinates: `within`, cut to the span.
    std::vector<double> ulo(d), uhi(d), start = u[0];
    for (std::size_t i = 0; i < d; ++i) {
        ulo[i] = std::max(0.0, (within.min[i] - lo[i]) / (hi[i] - lo[i]));
        uhi[i] = std::min(1.0, (within.max[i] - lo[i]) / (hi[i] - lo[i]));
        if (!(uhi[i] >= ulo[i])) return std::nullopt;
        start[i] = std::clamp(start[i], ulo[i], uhi[i]);
    }
    auto best = minimise(coef, start, ulo, uhi);
    if (!best) return std::nullopt;
    for (std::size_t i = 0; i < d; ++i) (*best)[i] = lo[i] + (*best)[i] * (hi[i] - lo[i]);
    return best;
}

Accepted accepted_members(const std::vector<std::vector<double>>& points,
                          const std::vector<double>& misfits, double limit) {
    Accepted a;
    for (std::size_t k = 0; k < points.size(); ++k) {
        if (!(misfits[k] <= limit)) continue;
        a.members.push_back(k);
        if (a.span.min.empty()) a.span.min = a.span.max = points[k];
        for (std::size_t i = 0; i < points[k].size(); ++i) {
            a.span.min[i] = std::min(a.span.min[i], points[k][i]);
            a.span.max[i] = std::max(a.span.max[i], points[k][i]);
        }
    }
    return a;
}

std::optional<Box> region_box(const EnsembleFile& ens, const Accepted& accepted) {
    if (accepted.members.empty()) return std::nullopt;
    Box b;
    for (std::size_t i = 0; i < ens.vary.size(); ++i) {
        const double lo = ens.vary[i].min, hi = ens.vary[i].max;
        const double span = accepted.span.max[i] - accepted.span.min[i];
        const double margin = std::max(0.5 * span, 0.1 * (hi - lo));
        b.min.push_back(std::max(lo, accepted.span.min[i] - margin));
        b.max.push_back(std::min(hi, accepted.span.max[i] + margin));
    }
    return b;
}

int region_share(int members) { return members / 4; }

double region_limit(double limit, double best) { return std::max(limit, best + (limit - 1.0)); }

double accepted_misfit(std::size_t n) {
    return 1.0 + 2.0 * std::sqrt(2.0 / static_cast<double>(std::max<std::size_t>(n, 1)));
}

}  // namespace torla::ensemble
