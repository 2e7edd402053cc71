// The scheme of the update (key Numerics) as a value. The command file names
// it by a word; the run reads that word into a Scheme once, when the
// parameters are complete (derive_run_constants), and every later choice
// compares values, never text.
//
// The type stands on the ground floor because the run's state holds it
// (RunConstants::scheme) and model/ includes nothing above itself; what each
// scheme does is the flow model's alone (flow/flow.h: time_step,
// courant_wave_speed, update_gravity).
#pragma once

#include <optional>
#include <string_view>

namespace torla {

enum class Scheme {
    kStandard,  // upwind differences of the cells' fluxes, relaxed source terms
    kRobust,    // HLL face fluxes, sign-keeping sources, implicit eddy diffusion
};

// The word of each scheme, by enum.
inline constexpr std::string_view kSchemeNames[] = {"standard", "robust"};
// The same words separated by blanks: the list the parameter table checks
// the key against and names in its refusal.
inline constexpr const char* kSchemeWords = "standard robust";

constexpr std::string_view scheme_name(Scheme s) { return kSchemeNames[static_cast<int>(s)]; }

// The scheme a word names, or none.
constexpr std::optional<Scheme> parse_scheme(std::string_view word) {
    for (int k = 0; k < static_cast<int>(std::size(kSchemeNames)); ++k)
        if (word == kSchemeNames[k]) return static_cast<Scheme>(k);
    return std::nullopt;
}

namespace scheme_detail {
// Whether kSchemeWords is kSchemeNames joined by single blanks.
constexpr bool words_are_names() {
    std::string_view words = kSchemeWords;
    for (std::string_view name : kSchemeNames) {
        if (words.substr(0, name.size()) != name) return false;
        words.remove_prefix(name.size());
        if (!words.empty()) {
            if (words.front() != ' ') return false;
            words.remove_prefix(1);
        }
    }
    return words.empty();
}
}  // namespace scheme_detail
static_assert(scheme_detail::words_are_names());

}  // namespace torla
