// The parameter table: every value a command file can set, with its default,
// and the reader of one parameter line.
#pragma once

#include <string>

namespace torla {

// The twelve profile coefficients of the suspension layer, one block of
// 32-bit floats in the order in which the result-file header stores them.
struct ProfileCoefficients {
    float Velo_Prof_Coeff_0 = 1.4f;
    float Velo_Prof_Coeff_1 = 0.0f;
    float Velo_Prof_Coeff_2 = -1.4f;
    float Conc_Prof_Coeff_0 = 1.3333f;
    float Conc_Prof_Coeff_1 = -0.6667f;
    float Conc_Prof_Coeff_2 = 0.0f;
    float Turb_Prof_Coeff_0 = 1.0f;
    float Turb_Prof_Coeff_1 = 0.0f;
    float Turb_Prof_Coeff_2 = 0.0f;
    float Diss_Prof_Coeff_0 = 1.0f;
    float Diss_Prof_Coeff_1 = 0.0f;
    float Diss_Prof_Coeff_2 = 0.0f;
};

// Longest grid-method word the table holds.
inline constexpr std::size_t kMaxMethodLength = 31;

// Every command-file key with its default. Field names are the keys.
struct RunParameters {
    double Elem_Size = 10.0;          // m, element size handed to the grid generator
    double Dump_Interval = 1.0;       // s, simulated time between two dumps
    double Max_Time = 120.0;          // s, simulated time at which the run ends
    double Plot_Interval = -1.0;      // stored only
    double Air_Density = 1.0;         // kg/m^3
    double Particle_Density = 917.0;  // kg/m^3
    double Courant_Nr = 0.85;         // Courant number of the step limit
    double Settling_Velo = 1.0;       // m/s
    double Relaxation_Factor = 0.5;   // weight of the new source terms
    std::string Grid_Method = "P";    // also key Spline_Type; first letter p, c or b
    double Max_Dev = 5.0;             // m, also key Ref_Radius
    double Gravity = 9.81;            // m/s^2
    double Fluid_Viscosity = 1.7e-05; // m^2/s
    double C_mu = 0.09;               // constant of the eddy viscosity
    double C1_eps = 1.44;             // stored only
    double C2_eps = 1.92;             // stored only
    double C3_eps = 0.8;              // stored only
    double Sigma_c = 1.0;             // turbulent Schmidt number of c3
    double Sigma_k = 1.0;             // stored only
    double Sigma_eps = 1.3;           // stored only
    ProfileCoefficients profile;      // the twelve 32-bit profile coefficients
    double Threshold_Factor = 10.0;   // factor on the threshold velocity
    double Alpha = 0.02;              // erosion coefficient
    double Beta_0 = 0.02;             // impact-rate coefficient
    double Beta_1 = 0.5;              // take-off momentum factor
    double Beta_2 = 1.0;              // impact momentum factor
    double Beta_3 = 1.2;              // lift velocity factor
    double Beta_4 = 1.0;              // load-excess factor
    double Gamma_1 = 0.0;             // replaced by Velo_Prof_Coeff_0 after reading
    double Gamma_2 = 0.0;             // replaced by Conc_Prof_Coeff_0 after reading
    double Gamma_3 = 2.0;             // stored only
    double Gamma_4 = 3.0;             // stored only
    double Max_Time_Step = 0.1;       // s
    double Min_Salt_Height = 0.1;     // m
    double Min_Salt_Velo = 0.1;       // m/s
    double Max_Salt_Density = 100.0;  // kg/m^3
    double Min_Susp_Height = 0.1;     // m
    double Min_Susp_Velo = 0.1;       // m/s
    double Min_Susp_Turb = 1e-06;     // stored only
    double Min_Susp_Dissip = 1.0;     // m^2/s^3
    double Min_Salt_Mass_Flux = 10.0; // window threshold on |rho2 h2|, kg/m^2
    double Min_Salt_Mom_Flux = 10.0;  // window threshold on the saltation momentum
    double Min_Susp_Mass_Flux = 10.0; // window threshold on |c3 h3| (stored divided by Particle_Density)
    double Min_Susp_Mom_Flux = 10.0;  // window threshold on the suspension momentum
    double Susp_Rate = 1.0;           // factor on the seventh local value of every input point
};

// Applies one line of a global-parameter section (as read, line end
// included) to the table. Never stops the run; unknown keys are reported.
void match_parameter(RunParameters& p, const std::string& line);

}  // namespace torla
