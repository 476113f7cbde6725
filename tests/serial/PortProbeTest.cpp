// The Windows port list from the look at each COM number: which numbers are ports, and the state
// and reason of each (the look itself is the system's; here it is made up).
#include <gtest/gtest.h>

#include <map>

#include "SerialLib/Serial/PortProbe.h"

using serial::PortProbe;
using serial::PortState;

TEST(PortProbe, EachNumberFromZeroToTwentyNineIsLookedAtAndRefusedPortsSayWhy) {
    std::map<int, PortProbe> looks;
    looks[0] = {true, true, 0, ""};
    looks[3] = {true, true, 0, ""};
    looks[4] = {false, false, 5, "Access is denied"};
    looks[5] = {true, false, 0, ""};  // a device object without a serial device behind it
    looks[6] = {false, false, 31, "A device attached to the system is not functioning"};
    looks[30] = {true, true, 0, ""};
    std::vector<int> asked;
    const auto probe = [&](int number) {
        asked.push_back(number);
        const auto it = looks.find(number);
        return it != looks.end() ? it->second : PortProbe{false, false, 2, "not found"};
    };

    const auto ports = serial::ProbedPorts({{3, "\\Device\\VCP0"}}, probe);
    ASSERT_EQ(asked.size(), 30u);
    EXPECT_EQ(asked.front(), 0);
    EXPECT_EQ(asked.back(), 29);
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[0].name, "COM0");
    EXPECT_EQ(ports[0].state, PortState::Free);
    EXPECT_EQ(ports[0].identity, "com:COM0");
    EXPECT_EQ(ports[1].identity, "device:\\Device\\VCP0");
    EXPECT_EQ(ports[1].Description(), "COM3 (\\Device\\VCP0)");
    EXPECT_EQ(ports[2].name, "COM4");
    EXPECT_EQ(ports[2].state, PortState::InUse);
    EXPECT_EQ(ports[2].reason, "in use by another program (the system refused access)");
    EXPECT_EQ(ports[3].name, "COM6");
    EXPECT_EQ(ports[3].state, PortState::Unusable);
    EXPECT_EQ(ports[3].reason,
              "does not open: A device attached to the system is not functioning (error 31)");
}
