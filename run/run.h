// Run control: the driver with its time loop, time-step control and the
// active window.
#pragma once

#include "run/model_state.h"

namespace torla {

// The whole program: argument check, start-up, time loop, end of run.
// Returns the exit status.
int run_torla(int argc, char** argv);

// One pass of the time loop: the copy of the state, the clock, the dump,
// the step with its redos, the new layer variables and Courant step, the
// peaks. Returns false when the run ends after this pass (Max_Time reached
// or the step has become too small, after the closing dump).
bool run_pass(ModelState& s);

// Effective gravity normal and along the track over the active window.
void update_gravity(ModelState& s);
// Largest wave speed over the active window (0.0 for an empty window).
double max_wave_speed(const ModelState& s);
// Courant step: Courant_Nr * min_cell_length / u_wave, capped by Max_Time_Step
// (cap taken when the Courant value is not below it at start, above it later).
double initial_time_step(const ModelState& s, double u_wave);
double courant_time_step(const ModelState& s, double u_wave);

// Moves the active window to follow the cells that carry flow in U.
void find_active_window(ModelState& s);

}  // namespace torla
