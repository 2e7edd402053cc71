// The stop signals of a tool that runs children: SIGINT, SIGTERM and SIGHUP
// are noted rather than fatal, and break off the wait for a child, so that
// the tool can pass them on and clean up before it ends.
#pragma once

namespace torla::support {

// Notes SIGINT, SIGTERM and SIGHUP (without restarting the call they break).
void install_stop_handlers();
// The stop signal noted last, or 0.
int stop_signal();
// Ends the process by sig as if it had not been caught (status 128 + sig
// where the default would not end it).
[[noreturn]] void die_of(int sig);

}  // namespace torla::support
