// SIGINT and SIGTERM through a signalfd.
#include "platform/TerminationSignals.h"

#include <signal.h>
#include <sys/signalfd.h>

namespace platform {

int WatchTerminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signalfd(-1, &signals, SFD_CLOEXEC);
}

}  // namespace platform
