// A small model state for tests of the flow model: default parameters with
// their derived values, a flat track of 10 m cells and an empty flow.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "flow/flow.h"

namespace torla::test {

inline void init_flow_state(ModelState& s, int n) {
    s.n_cells = static_cast<int16_t>(n);
    allocate_model_state(s);
    RunParameters& p = s.par;
    p.Gamma_1 = static_cast<double>(p.profile.Velo_Prof_Coeff_0);
    s.constants.rho_diff = p.Particle_Density - p.Air_Density;
    s.constants.min_susp_mass = p.Min_Susp_Height * (p.Air_Density + 1e-6 * p.Particle_Density);
    s.ff = compute_form_factors(p.profile);
    s.window.first_active = 0;
    s.window.last_active = n;
    s.clock.dt = 0.1;
    for (int i = 0; i < n; ++i) {
        s.grid.cell_length[i] = 10.0;
        s.grid.cos_slope[i] = 1.0;
        s.grid.u_threshold[i] = 0.5;
        s.layers.rho1[i] = 150.0;
        s.layers.rho3[i] = p.Air_Density;
        s.layers.g_normal[i] = p.Gravity;
        s.U[i][kCoverDensity] = s.U_prev[i][kCoverDensity] = 150.0;
    }
}

// Checks actual against a value written with a limited number of digits
// ("1287.15", "-1.6129e-06"): they agree to half a unit of the last digit.
inline void expect_digits(double actual, const std::string& text) {
    const double expected = std::strtod(text.c_str(), nullptr);
    const auto e = text.find_first_of("eE");
    const int exponent = e == std::string::npos ? 0 : std::stoi(text.substr(e + 1));
    const std::string mantissa = text.substr(0, e);
    const auto dot = mantissa.find('.');
    const int decimals = dot == std::string::npos ? 0 : static_cast<int>(mantissa.size() - dot - 1);
    EXPECT_NEAR(actual, expected, 0.50001 * std::pow(10.0, exponent - decimals)) << text;
}

// Everything printed to standard output while f runs.
template <class F>
std::string stdout_of(F&& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

// Everything f writes into the log stream of s.
template <class F>
std::string log_of(ModelState& s, F&& f) {
    s.files.log = std::tmpfile();
    f();
    std::string text;
    std::rewind(s.files.log);
    for (int c; (c = std::fgetc(s.files.log)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(s.files.log);
    s.files.log = nullptr;
    return text;
}

}  // namespace torla::test
