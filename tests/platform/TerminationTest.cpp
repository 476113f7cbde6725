// Stop requests from outside: SIGTERM (a service manager, a production line's controller) stops
// the work as Ctrl-C's SIGINT does, and a second request changes nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include "platform/TerminationSignals.h"

TEST(TerminationWatch, SigtermAndSigintAreBothAStopRequestThatStaysTaken) {
    for (int signal : {SIGTERM, SIGINT}) {
        platform::TerminationWatch watch;
        ASSERT_TRUE(watch.Watching());
        EXPECT_FALSE(watch.Wait(0));
        // Blocked by the watch, the signal waits on its descriptor instead of ending the test.
        ASSERT_EQ(raise(signal), 0);
        EXPECT_TRUE(watch.Wait(1000)) << strsignal(signal);
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
