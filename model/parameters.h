// The parameter record: every value a command file can set, and the one
// table of its keys (field, kind, default, check) from which the record's
// defaults, the reader of parameter lines and the value checks all work.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace torla {

// The twelve profile coefficients of the suspension layer (dimensionless),
// one block of 32-bit floats in the order in which the result-file header
// stores them.
struct ProfileCoefficients {
    float Velo_Prof_Coeff_0, Velo_Prof_Coeff_1, Velo_Prof_Coeff_2;
    float Conc_Prof_Coeff_0, Conc_Prof_Coeff_1, Conc_Prof_Coeff_2;
    float Turb_Prof_Coeff_0, Turb_Prof_Coeff_1, Turb_Prof_Coeff_2;
    float Diss_Prof_Coeff_0, Diss_Prof_Coeff_1, Diss_Prof_Coeff_2;
};

// Longest grid-method word the record holds.
inline constexpr std::size_t kMaxMethodLength = 31;

// Every command-file key. Field names are the keys; the defaults stand in
// the parameter table (model/parameters.cpp) and the constructor applies them.
struct RunParameters {
    RunParameters();

    double Elem_Size;          // m, element size handed to the grid generator
    double Dump_Interval;      // s, simulated time between two dumps
    double Max_Time;           // s, simulated time at which the run ends
    double Plot_Interval;      // stored only
    double Air_Density;        // kg/m^3
    double Particle_Density;   // kg/m^3
    double Courant_Nr;         // -, Courant number of the step limit
    double Settling_Velo;      // m/s
    double Relaxation_Factor;  // -, weight of the new source terms
    std::string Grid_Method;   // also key Spline_Type; first letter p, c or b
    double Max_Dev;            // m, also key Ref_Radius
    double Gravity;            // m/s^2
    double Fluid_Viscosity;    // m^2/s
    double C_mu;               // -, constant of the eddy viscosity
    double C1_eps;             // stored only
    double C2_eps;             // stored only
    double C3_eps;             // stored only
    double Sigma_c;            // -, turbulent Schmidt number of c3
    double Sigma_k;            // stored only
    double Sigma_eps;          // stored only
    ProfileCoefficients profile;
    double Threshold_Factor;    // -, factor on the threshold velocity
    double Alpha;               // -, erosion coefficient
    double Beta_0;              // -, impact-rate coefficient
    double Beta_1;              // -, take-off momentum factor
    double Beta_2;              // -, impact momentum factor
    double Beta_3;              // -, lift velocity factor
    double Beta_4;              // -, load-excess factor
    double Gamma_1;             // -, replaced by Velo_Prof_Coeff_0 after reading
    double Gamma_2;             // -, replaced by Conc_Prof_Coeff_0 after reading
    double Gamma_3;             // stored only
    double Gamma_4;             // stored only
    double Max_Time_Step;       // s
    double Min_Salt_Height;     // m
    double Min_Salt_Velo;       // m/s
    double Max_Salt_Density;    // kg/m^3
    double Min_Susp_Height;     // m
    double Min_Susp_Velo;       // m/s
    double Min_Susp_Turb;       // stored only
    double Min_Susp_Dissip;     // m^2/s^3
    double Min_Salt_Mass_Flux;  // kg/m^2, window threshold on |rho2 h2|
    double Min_Salt_Mom_Flux;   // kg/(m s), window threshold on the saltation momentum
    double Min_Susp_Mass_Flux;  // m, window threshold on |c3 h3| (a mass per area divided by
                                // Particle_Density)
    double Min_Susp_Mom_Flux;   // kg/(m s), window threshold on the suspension momentum
    double Susp_Rate;           // -, factor on the seventh local value of every input point
    std::string Numerics;       // the scheme of the update as read (model/scheme.h)
    std::string Height_Peaks;   // "on": the run keeps peaks over height (<result>.heights); "off"
    std::string Peak_Heights;   // m, comma-separated heights of those peaks, rising
};

// How a key stores what follows it on its line.
enum class ParameterKind {
    kDouble,    // the number as read
    kFloat,     // the number rounded to 32 bits (a profile coefficient)
    kWord,      // the second word, as text (grid method, numerics)
    kMassFlux,  // the number divided by the Particle_Density in force
    kNotice,    // no field; the key prints a notice
    kIgnored,   // no field; the key is accepted silently
};

// What the command-file reader demands of a value once every line is read.
enum class ParameterCheck {
    kNone,            // replaced after reading, or not a number
    kFinite,          // a finite number
    kPositive,        // a finite number above 0
    kGeneratorFloat,  // a finite number that a 32-bit float can hold
    kOneOf,           // a word of the entry's list
    kHeightList,      // a comma-separated list of heights (model/height_pressure.h)
};

struct ParameterEntry {
    const char* key;
    ParameterKind kind;
    double RunParameters::*number = nullptr;            // kDouble, kMassFlux
    float ProfileCoefficients::*coefficient = nullptr;  // kFloat
    double default_value = 0.0;
    ParameterCheck check = ParameterCheck::kNone;
    bool alias = false;  // second key of a field: default and check stand with the first
    std::string RunParameters::*text = nullptr;  // kWord
    const char* default_text = nullptr;
    const char* words = nullptr;  // kOneOf: the words allowed, separated by blanks
    // A key of an optional product: the run record's digest of the parameters
    // leaves it out while it holds its default, so a run without it keeps
    // the digest it always had.
    bool optional_product = false;
};

// The keys in the order in which a parameter line is compared with them.
std::span<const ParameterEntry> parameter_table();

}  // namespace torla
