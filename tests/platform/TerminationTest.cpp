// Stop requests from outside: SIGTERM (a service manager, a production line's controller) and
// SIGHUP (a closed terminal or SSH session) stop the work as Ctrl-C's SIGINT does, a second request
// changes nothing, and each is named for the record of the job it stopped.
#include <gtest/gtest.h>
#include <signal.h>

#include "platform/TerminationSignals.h"

TEST(TerminationWatch, SigtermSigintAndSighupAreAStopRequestThatStaysTaken) {
    const std::pair<int, std::string> requests[] = {
        {SIGTERM, "stopped by a termination request (SIGTERM)"},
        {SIGINT, "stopped by the operator (Ctrl+C)"},
        {SIGHUP, "stopped: the terminal or session was closed (SIGHUP)"}};
    for (const auto& [signal, cause] : requests) {
        platform::TerminationWatch watch;
        ASSERT_TRUE(watch.Watching());
        EXPECT_FALSE(watch.Wait(0));
        // Blocked by the watch, the signal waits on its descriptor instead of ending the test.
        ASSERT_EQ(raise(signal), 0);
        EXPECT_TRUE(watch.Wait(1000)) << strsignal(signal);
        EXPECT_EQ(watch.Cause(), cause);
        ASSERT_EQ(raise(signal), 0);
        EXPECT_TRUE(watch.Wait(0));
        // The second one is still pending: taken here, so that the next watch starts clean.
        sigset_t pending;
        sigemptyset(&pending);
        sigaddset(&pending, signal);
        const timespec now{};
        EXPECT_EQ(sigtimedwait(&pending, nullptr, &now), signal);
    }
}
