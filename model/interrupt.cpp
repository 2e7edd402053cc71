// The one piece of state outside the model state: a signal handler can
// only set a flag of this kind.
#include "model/interrupt.h"

#include "model/model_state.h"

#include <csignal>

namespace torla {

namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void note_signal(int sig) { g_signal = sig; }

}  // namespace

void watch_interrupts() {
    struct sigaction sa = {};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: waits return EINTR
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

int interrupt_signal() { return g_signal; }

void stop_interrupted() { stop_run(kStatusSignal + g_signal); }

}  // namespace torla
