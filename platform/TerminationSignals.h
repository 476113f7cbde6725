// SIGINT and SIGTERM for a program that ends its work in order when asked to stop: the signals
// are blocked in the calling thread and so in every thread it starts afterwards (call it before
// any), and arrive only through the descriptor returned. A second signal finds them still
// blocked and changes nothing. POSIX only.
#pragma once

namespace platform {

// A descriptor that becomes readable when SIGINT or SIGTERM arrives (a signalfd; read one
// signalfd_siginfo from it); -1 when none could be made. The caller closes it.
[[nodiscard]] int WatchTerminationSignals();

}  // namespace platform
