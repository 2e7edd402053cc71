// The stop signals noted (see stop_signals.h).
#include "support/stop_signals.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <initializer_list>

namespace torla::support {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void note_stop(int sig) { g_stop = sig; }

}  // namespace

void install_stop_handlers() {
    struct sigaction sa {};
    sa.sa_handler = note_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a wait returns at the signal
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

int stop_signal() { return g_stop; }

void die_of(int sig) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    _exit(128 + sig);
}

}  // namespace torla::support
