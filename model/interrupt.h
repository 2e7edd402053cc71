// Interruption of a run by SIGINT, SIGTERM or SIGHUP: the handler only
// notes the signal; the run looks at it where it can stop cleanly (between
// passes, while it waits for the generator or for a lock).
#pragma once

namespace torla {

// Installs the handlers (without restarting interrupted waits).
void watch_interrupts();
// The signal that asked the run to stop, or 0.
int interrupt_signal();
// Ends the run with status 128 + that signal (the run's files are left as
// they stand; the driver completes what it can).
[[noreturn]] void stop_interrupted();

}  // namespace torla
