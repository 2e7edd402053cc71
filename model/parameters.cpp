// The parameter table: every command-file key with its field, kind,
// default and check, in the order in which parameter lines are compared.
#include "model/parameters.h"

#include "model/scheme.h"

namespace torla {

namespace {

using enum ParameterKind;
using enum ParameterCheck;
using P = RunParameters;
using C = ProfileCoefficients;

constexpr ParameterEntry kTable[] = {
    {"Elem_Size", kDouble, &P::Elem_Size, nullptr, 10.0, kGeneratorFloat},
    {"Dump_Interval", kDouble, &P::Dump_Interval, nullptr, 1.0, kFinite},
    {"Max_Time", kDouble, &P::Max_Time, nullptr, 120.0, kFinite},
    {"Plot_Interval", kDouble, &P::Plot_Interval, nullptr, -1.0, kFinite},
    {"Air_Density", kDouble, &P::Air_Density, nullptr, 1.0, kPositive},
    {"Particle_Density", kDouble, &P::Particle_Density, nullptr, 917.0, kPositive},
    {"Courant_Nr", kDouble, &P::Courant_Nr, nullptr, 0.85, kPositive},
    {"Settling_Velo", kDouble, &P::Settling_Velo, nullptr, 1.0, kFinite},
    {"Relaxation_Factor", kDouble, &P::Relaxation_Factor, nullptr, 0.5, kFinite},
    {"Grid_Method", kWord, nullptr, nullptr, 0.0, kNone, false, &P::Grid_Method, "P"},
    {"Spline_Type", kWord, nullptr, nullptr, 0.0, kNone, true, &P::Grid_Method},
    {"Max_Dev", kDouble, &P::Max_Dev, nullptr, 5.0, kGeneratorFloat},
    {"Ref_Radius", kDouble, &P::Max_Dev, nullptr, 0.0, kNone, true},
    {"Gravity", kDouble, &P::Gravity, nullptr, 9.81, kPositive},
    {"Fluid_Viscosity", kDouble, &P::Fluid_Viscosity, nullptr, 1.7e-05, kFinite},
    {"C_mu", kDouble, &P::C_mu, nullptr, 0.09, kFinite},
    {"C1_eps", kDouble, &P::C1_eps, nullptr, 1.44, kFinite},
    {"C2_eps", kDouble, &P::C2_eps, nullptr, 1.92, kFinite},
    {"C3_eps", kDouble, &P::C3_eps, nullptr, 0.8, kFinite},
    {"Sigma_c", kDouble, &P::Sigma_c, nullptr, 1.0, kFinite},
    {"Sigma_k", kDouble, &P::Sigma_k, nullptr, 1.0, kFinite},
    {"Sigma_eps", kDouble, &P::Sigma_eps, nullptr, 1.3, kFinite},
    {"Velo_Prof_Coeff_0", kFloat, nullptr, &C::Velo_Prof_Coeff_0, 1.4, kFinite},
    {"Velo_Prof_Coeff_1", kFloat, nullptr, &C::Velo_Prof_Coeff_1, 0.0, kFinite},
    {"Velo_Prof_Coeff_2", kFloat, nullptr, &C::Velo_Prof_Coeff_2, -1.4, kFinite},
    {"Conc_Prof_Coeff_0", kFloat, nullptr, &C::Conc_Prof_Coeff_0, 1.3333, kFinite},
    {"Conc_Prof_Coeff_1", kFloat, nullptr, &C::Conc_Prof_Coeff_1, -0.6667, kFinite},
    {"Conc_Prof_Coeff_2", kFloat, nullptr, &C::Conc_Prof_Coeff_2, 0.0, kFinite},
    {"Turb_Prof_Coeff_0", kFloat, nullptr, &C::Turb_Prof_Coeff_0, 1.0, kFinite},
    {"Turb_Prof_Coeff_1", kFloat, nullptr, &C::Turb_Prof_Coeff_1, 0.0, kFinite},
    {"Turb_Prof_Coeff_2", kFloat, nullptr, &C::Turb_Prof_Coeff_2, 0.0, kFinite},
    {"Diss_Prof_Coeff_0", kFloat, nullptr, &C::Diss_Prof_Coeff_0, 1.0, kFinite},
    {"Diss_Prof_Coeff_1", kFloat, nullptr, &C::Diss_Prof_Coeff_1, 0.0, kFinite},
    {"Diss_Prof_Coeff_2", kFloat, nullptr, &C::Diss_Prof_Coeff_2, 0.0, kFinite},
    {"Threshold_Factor", kDouble, &P::Threshold_Factor, nullptr, 10.0, kPositive},
    {"Alpha", kDouble, &P::Alpha, nullptr, 0.02, kFinite},
    {"Beta_0", kDouble, &P::Beta_0, nullptr, 0.02, kFinite},
    {"Beta_1", kDouble, &P::Beta_1, nullptr, 0.5, kFinite},
    {"Beta_2", kDouble, &P::Beta_2, nullptr, 1.0, kFinite},
    {"Beta_3", kDouble, &P::Beta_3, nullptr, 1.2, kFinite},
    {"Beta_4", kDouble, &P::Beta_4, nullptr, 1.0, kFinite},
    {"Gamma_1", kDouble, &P::Gamma_1, nullptr, 0.0, kNone},
    {"Gamma_2", kDouble, &P::Gamma_2, nullptr, 0.0, kNone},
    {"Gamma_3", kDouble, &P::Gamma_3, nullptr, 2.0, kFinite},
    {"Gamma_4", kDouble, &P::Gamma_4, nullptr, 3.0, kFinite},
    {"Max_Time_Step", kDouble, &P::Max_Time_Step, nullptr, 0.1, kPositive},
    {"Min_Salt_Height", kDouble, &P::Min_Salt_Height, nullptr, 0.1, kFinite},
    {"Min_Salt_Velo", kDouble, &P::Min_Salt_Velo, nullptr, 0.1, kFinite},
    {"Max_Salt_Density", kDouble, &P::Max_Salt_Density, nullptr, 100.0, kPositive},
    {"Min_Susp_Height", kDouble, &P::Min_Susp_Height, nullptr, 0.1, kFinite},
    {"Min_Susp_Velo", kDouble, &P::Min_Susp_Velo, nullptr, 0.1, kFinite},
    {"Min_Susp_Turb", kDouble, &P::Min_Susp_Turb, nullptr, 1e-06, kFinite},
    {"Min_Susp_Dissip", kDouble, &P::Min_Susp_Dissip, nullptr, 1.0, kFinite},
    {"Min_Salt_Mass_Flux", kDouble, &P::Min_Salt_Mass_Flux, nullptr, 10.0, kFinite},
    {"Min_Salt_Mom_Flux", kDouble, &P::Min_Salt_Mom_Flux, nullptr, 10.0, kFinite},
    // The default is held as it stands; a value read is divided.
    {"Min_Susp_Mass_Flux", kMassFlux, &P::Min_Susp_Mass_Flux, nullptr, 10.0, kFinite},
    {"Min_Susp_Mom_Flux", kDouble, &P::Min_Susp_Mom_Flux, nullptr, 10.0, kFinite},
    {"Region", kNotice},
    {"Return_Period", kIgnored},
    {"Susp_Rate", kDouble, &P::Susp_Rate, nullptr, 1.0, kFinite},
    {"Numerics", kWord, nullptr, nullptr, 0.0, kOneOf, false, &P::Numerics, "standard",
     kSchemeWords},
    {"Height_Peaks", kWord, nullptr, nullptr, 0.0, kOneOf, false, &P::Height_Peaks, "off", "off on",
     true},
    {"Peak_Heights", kWord, nullptr, nullptr, 0.0, kHeightList, false, &P::Peak_Heights,
     "2,5,10,15,20,25,30", nullptr, true},
};

}  // namespace

std::span<const ParameterEntry> parameter_table() { return kTable; }

RunParameters::RunParameters() : profile{} {
    for (const ParameterEntry& e : kTable) {
        if (e.alias) continue;
        if (e.number) this->*e.number = e.default_value;
        if (e.coefficient) profile.*e.coefficient = static_cast<float>(e.default_value);
        if (e.text) this->*e.text = e.default_text;
    }
}

}  // namespace torla
