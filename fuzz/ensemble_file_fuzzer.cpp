// Fuzz target: the ensemble file (torla-ensemble's TOML, read by toml++
// after the bounds on size and nesting, then every key checked).
//
// The input is an ensemble file's text. What must hold afterwards:
//  - a refusal names a line and column, or says what bounds the file;
//  - an accepted file has a base, 1 to 1000000 members, finite values and
//    ranges whose min is below max, and its members can be sampled
//    (a few of them: the sampling's cost grows with `members').
#include <cmath>
#include <string>

#include "ensemble/ensemble.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    torla::ensemble::EnsembleFile ens;
    const std::string err = torla::ensemble::parse_ensemble_file("fuzz.toml", text, ens);
    if (!err.empty()) {
        TORLA_FUZZ_ASSERT(err.rfind("line ", 0) == 0 ||
                          err.find("larger than") != std::string::npos ||
                          err.find("base command file") != std::string::npos ||
                          err.find("`members' is missing") != std::string::npos);
        return 0;
    }
    TORLA_FUZZ_ASSERT(!ens.base.empty());
    TORLA_FUZZ_ASSERT(ens.members >= 1 && ens.members <= 1000000);
    for (const auto& v : ens.vary) {
        TORLA_FUZZ_ASSERT(!v.range ||
                          (std::isfinite(v.min) && std::isfinite(v.max) && v.min < v.max));
        for (double x : v.values) TORLA_FUZZ_ASSERT(std::isfinite(x));
        TORLA_FUZZ_ASSERT(v.range || v.choices() > 0);
    }
    if (ens.members <= 64) {
        const auto members = torla::ensemble::sample_members(ens);
        TORLA_FUZZ_ASSERT(static_cast<int>(members.size()) == ens.members);
    }
    return 0;
}
