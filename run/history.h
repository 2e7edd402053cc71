// The run record's bookkeeping (run/history.cpp): the warnings, the onset of
// instability, and what the record takes from every pass and every dump.
#pragma once

#include <string>

#include "flow/flow.h"
#include "model/model_state.h"

namespace torla {

// The default Max_Time_Step: the sources (entrainment, friction, turbulence)
// are resolved at steps up to this; longer steps while the flow moves
// change the flow itself, without any sign of instability.
inline constexpr double kResolvedStep = 0.1;  // s

// A warning of the run: on standard error, and kept for the run record.
void warn(ModelState& s, const std::string& text);
// A warning of a run that reached its end: kept for the run record only
// (torla-inspect summary shows it), since the console of such a run,
// standard error included, stays what it always was.
void warn_in_record(ModelState& s, const std::string& text);

// The first sign of instability (sign says what it was, at cell and time
// s): the peak maxima as they stood before this pass are kept, so that the
// record can report the last trustworthy peaks. Later signs change nothing.
void note_onset(ModelState& s, int cell, const std::string& sign, double time);

// What the run record keeps of the dump just written: the window, the snow
// mass of each layer, what has left or changed so far, the front.
void note_dump(ModelState& s);

// What the run record and the warnings take from a pass whose final step
// was `taken` (s), whose largest wave speed is `wave`, whose step the
// Courant rule rescaled and whose full step a negative mass shortened.
void note_pass(ModelState& s, double taken, const WaveSpeed& wave, bool rescaled, bool redone);

}  // namespace torla
