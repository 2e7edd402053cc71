// Run control: the driver with its start-up, time loop and end of run, and
// the Courant rule that turns the largest wave speed into a step.
#pragma once

#include "model/model_state.h"

namespace torla {

// The whole program: argument check, start-up, time loop, end of run.
// Returns the exit status.
int run_torla(int argc, char** argv);

// Everything between the grid and the first pass: the window over the whole
// grid, the cleared source terms of a previous step, the form factors, the
// effective gravity and the first step. Needs the grid read and the run
// constants derived.
void prepare_time_loop(ModelState& s);

// One pass of the time loop: the copy of the state, the clock, the dump,
// the step with its rescales, the new layer variables and Courant step, the
// peaks. Returns false when the run ends after this pass (Max_Time reached
// or the step has become too small, after the closing dump).
bool run_pass(ModelState& s);

// The Courant rule, Courant_Nr * min_cell_length / u_wave capped by
// Max_Time_Step. At start the wave speed is raised to 10 m/s and the cap
// taken when the Courant value is not below it; later the cap is taken
// when the Courant value is above it (a zero wave speed gives the cap).
double initial_time_step(const ModelState& s, double u_wave);
double courant_time_step(const ModelState& s, double u_wave);

}  // namespace torla
