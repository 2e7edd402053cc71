// The members' values: every combination of listed values (grid), a latin
// hypercube (each of n strata of every varied key used once), or
// independent uniform draws (random). The generator is splitmix64 and every
// draw is turned into a number by integer arithmetic and one rounding, so
// an ensemble file and its seed give the same members on every machine.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ensemble/ensemble.h"

namespace torla::ensemble {

namespace {

class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1), 53 bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // Uniform integer in [0, n).
    std::size_t below(std::size_t n) {
        return static_cast<std::size_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
    }

private:
    uint64_t state_;
};

// The number as written (9 significant digits) and read back.
double rounded(double v) { return std::strtod(number_text(v).c_str(), nullptr); }

void set_choice(const Variation& var, std::size_t k, MemberValues& mv, std::size_t slot) {
    if (var.word)
        mv.words[slot] = var.words[k];
    else
        mv.numbers[slot] = var.values[k];
}

}  // namespace

int stratum_of(double value, double min, double max, int n) {
    const double s = std::floor((value - min) / (max - min) * n);
    return static_cast<int>(std::min<double>(std::max<double>(s, 0.0), n - 1));
}

std::vector<MemberValues> sample_members(const EnsembleFile& ens) {
    const std::size_t n = static_cast<std::size_t>(ens.members);
    const std::size_t k = ens.vary.size();
    std::vector<MemberValues> out(n);
    for (auto& mv : out) {
        mv.numbers.assign(k, 0.0);
        mv.words.assign(k, "");
    }
    SplitMix64 rng(ens.seed);
    if (ens.sampling == Sampling::kGrid) {
        // The first varied key changes slowest, as in nested loops.
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t rest = i;
            for (std::size_t j = k; j-- > 0;) {
                const std::size_t c = ens.vary[j].choices();
                set_choice(ens.vary[j], rest % c, out[i], j);
                rest /= c;
            }
        }
        return out;
    }
    for (std::size_t j = 0; j < k; ++j) {
        const Variation& var = ens.vary[j];
        std::vector<std::size_t> strata(n);
        for (std::size_t i = 0; i < n; ++i) strata[i] = i;
        if (ens.sampling == Sampling::kLatinHypercube)
            for (std::size_t i = n; i > 1; --i) std::swap(strata[i - 1], strata[rng.below(i)]);
        for (std::size_t i = 0; i < n; ++i) {
            const double u = rng.uniform();
            // Position in [0, 1): within stratum strata[i] of n, or anywhere.
            const double pos = ens.sampling == Sampling::kLatinHypercube
                                   ? (static_cast<double>(strata[i]) + u) / static_cast<double>(n)
                                   : u;
            if (var.range) {
                double v = rounded(var.min + pos * (var.max - var.min));
                if (ens.sampling == Sampling::kLatinHypercube &&
                    stratum_of(v, var.min, var.max, static_cast<int>(n)) !=
                        static_cast<int>(strata[i]))
                    v = rounded(var.min + (static_cast<double>(strata[i]) + 0.5) /
                                              static_cast<double>(n) * (var.max - var.min));
                out[i].numbers[j] = v;
            } else {
                const std::size_t c = var.choices();
                set_choice(var,
                           std::min(c - 1, static_cast<std::size_t>(pos * static_cast<double>(c))),
                           out[i], j);
            }
        }
    }
    return out;
}

}  // namespace torla::ensemble
