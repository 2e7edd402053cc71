// match_parameter: one line of a global-parameter section applied to the
// parameter table.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "input/parameters.h"

namespace torla {

namespace {

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The blank-delimited word starting at or after pos; pos moves past it.
std::string next_word(const std::string& line, std::size_t& pos) {
    while (pos < line.size() && is_blank(line[pos])) ++pos;
    std::size_t start = pos;
    while (pos < line.size() && !is_blank(line[pos])) ++pos;
    return line.substr(start, pos - start);
}

// How a key stores its number.
enum class Kind { Double, Float, Method, MassFlux, Region, Ignored };

struct KeyEntry {
    const char* key;
    Kind kind;
    double RunParameters::*d;
    float ProfileCoefficients::*f;
};

#define D(k) {#k, Kind::Double, &RunParameters::k, nullptr}
#define F(k) {#k, Kind::Float, nullptr, &ProfileCoefficients::k}

// The keys in the order in which they are compared.
const KeyEntry kKeys[] = {
    D(Elem_Size), D(Dump_Interval), D(Max_Time), D(Plot_Interval), D(Air_Density),
    D(Particle_Density), D(Courant_Nr), D(Settling_Velo), D(Relaxation_Factor),
    {"Grid_Method", Kind::Method, nullptr, nullptr},
    {"Spline_Type", Kind::Method, nullptr, nullptr},
    D(Max_Dev), {"Ref_Radius", Kind::Double, &RunParameters::Max_Dev, nullptr},
    D(Gravity), D(Fluid_Viscosity), D(C_mu), D(C1_eps), D(C2_eps), D(C3_eps), D(Sigma_c),
    D(Sigma_k), D(Sigma_eps),
    F(Velo_Prof_Coeff_0), F(Velo_Prof_Coeff_1), F(Velo_Prof_Coeff_2),
    F(Conc_Prof_Coeff_0), F(Conc_Prof_Coeff_1), F(Conc_Prof_Coeff_2),
    F(Turb_Prof_Coeff_0), F(Turb_Prof_Coeff_1), F(Turb_Prof_Coeff_2),
    F(Diss_Prof_Coeff_0), F(Diss_Prof_Coeff_1), F(Diss_Prof_Coeff_2),
    D(Threshold_Factor), D(Alpha), D(Beta_0), D(Beta_1), D(Beta_2), D(Beta_3), D(Beta_4),
    D(Gamma_1), D(Gamma_2), D(Gamma_3), D(Gamma_4), D(Max_Time_Step), D(Min_Salt_Height),
    D(Min_Salt_Velo), D(Max_Salt_Density), D(Min_Susp_Height), D(Min_Susp_Velo),
    D(Min_Susp_Turb), D(Min_Susp_Dissip), D(Min_Salt_Mass_Flux), D(Min_Salt_Mom_Flux),
    {"Min_Susp_Mass_Flux", Kind::MassFlux, &RunParameters::Min_Susp_Mass_Flux, nullptr},
    D(Min_Susp_Mom_Flux),
    {"Region", Kind::Region, nullptr, nullptr},
    {"Return_Period", Kind::Ignored, nullptr, nullptr},
    D(Susp_Rate),
};

#undef D
#undef F

}  // namespace

void match_parameter(RunParameters& p, const std::string& line) {
    std::size_t pos = 0;
    const std::string key = next_word(line, pos);

    const KeyEntry* entry = nullptr;
    for (const auto& k : kKeys)
        if (key == k.key) {
            entry = &k;
            break;
        }
    if (!entry) {
        std::printf("   match_parameter:  Parameter %s not identified; skipping.\n", key.c_str());
        return;
    }

    switch (entry->kind) {
    case Kind::Region:
        std::printf("   match_parameter:  QRA file format revision 1.2 detected.\n");
        return;
    case Kind::Ignored:
        return;
    case Kind::Method: {
        const std::string word = next_word(line, pos);
        if (word.empty()) return;  // no second word: the method stays as it was
        if (word.size() > kMaxMethodLength) {
            std::printf("   match_parameter:  WARNING:  %s `%s' is longer than %zu characters; "
                        "ignored.\n",
                        key.c_str(), word.c_str(), kMaxMethodLength);
            return;
        }
        p.Grid_Method = word;
        return;
    }
    default:
        break;
    }

    // The number after the key, read as a double; text after it is ignored.
    const char* start = line.c_str() + pos;
    char* end = nullptr;
    const double value = std::strtod(start, &end);
    if (end == start) {
        std::printf("   match_parameter:  WARNING:  No number after %s; value left unchanged.\n",
                    key.c_str());
        return;
    }
    switch (entry->kind) {
    case Kind::Double:
        p.*(entry->d) = value;
        break;
    case Kind::Float:
        p.profile.*(entry->f) = static_cast<float>(value);
        break;
    case Kind::MassFlux:
        // Given as a snow mass per unit area; the window tests a snow volume.
        p.Min_Susp_Mass_Flux = value / p.Particle_Density;
        break;
    default:
        break;
    }
}

}  // namespace torla
