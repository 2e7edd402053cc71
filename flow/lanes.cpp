// Which versions of the flow loops a state's passes run: the AVX2 ones where
// the processor has AVX2 (the default), unless the baseline ones are asked for.
#include "flow/lanes.h"

#include "model/model_state.h"

namespace torla {

bool use_wide_lanes(Window& w, bool wide) {
    return w.wide_lanes = wide && processor_runs_wide_lanes();
}

}  // namespace torla
