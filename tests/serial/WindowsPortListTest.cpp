// The Windows port list from the system's device map, with nothing opened, and what a job's
// failed open says about its port (the system's view and the open are made up here, so these run
// on every system).
#include <gtest/gtest.h>

#include "SerialLib/Serial/WindowsPortList.h"

using serial::PortState;

namespace {

class MadeUpSystem : public SystemPortView {
  public:
    std::vector<std::pair<std::string, std::string>> serialComm, wineMap;
    bool serialCommReadable = true;
    std::vector<std::string> dosDevices;
    bool underWine = false;
    bool SerialComm(std::vector<std::pair<std::string, std::string>>& values) override {
        values = serialComm;
        return serialCommReadable;
    }
    bool DosDevices(std::vector<std::string>& names) override {
        names = dosDevices;
        return true;
    }
    bool WinePorts(std::vector<std::pair<std::string, std::string>>& values) override {
        values = wineMap;
        return underWine;
    }
};

std::vector<std::pair<int, std::string>> Listed(MadeUpSystem& system) {
    std::vector<std::pair<int, std::string>> result;
    for (const SystemPort& port : ListSystemPorts(system))
        result.emplace_back(port.number, port.device);
    return result;
}

std::vector<std::string> Names(const std::vector<serial::PortInfo>& ports) {
    std::vector<std::string> names;
    for (const serial::PortInfo& port : ports) names.push_back(port.name);
    return names;
}

}  // namespace

TEST(WindowsPortList, TheRegistryListGivesNumbersZeroToTwentyNineInOrderWithTheirDevices) {
    MadeUpSystem system;
    system.serialComm = {{"\\Device\\VCP0", "COM10"},     {"\\Device\\Serial0", "COM2"},
                         {"\\Device\\Serial1", "com0"},   {"\\Device\\Serial2", "COM30"},
                         {"\\Device\\Parallel0", "LPT1"}, {"\\Device\\Serial3", "COMX"}};
    system.dosDevices = {"COM7"};
    EXPECT_EQ(Listed(system),
              (std::vector<std::pair<int, std::string>>{
                  {0, "\\Device\\Serial1"}, {2, "\\Device\\Serial0"}, {10, "\\Device\\VCP0"}}));
}

TEST(WindowsPortList, WithoutTheRegistryListTheDosDeviceNamesAreUsed) {
    MadeUpSystem system;
    system.serialCommReadable = false;
    system.dosDevices = {"C:", "COM3", "NUL", "COM1", "COM29", "COM31", "COM3"};
    EXPECT_EQ(Listed(system),
              (std::vector<std::pair<int, std::string>>{{1, ""}, {3, ""}, {29, ""}}));
    system.dosDevices.clear();
    EXPECT_TRUE(Listed(system).empty());
}

TEST(WindowsPortList, ANumberWineMapsToNothingIsAbsentNotFree) {
    MadeUpSystem system;
    for (int n = 1; n <= 8; ++n)
        system.serialComm.emplace_back("\\Device\\Serial" + std::to_string(n - 1),
                                       "COM" + std::to_string(n));
    // Wine keeps a device for every number of its map; COM2 has no value, so Wine gives it a
    // serial port of the machine.
    system.wineMap = {{"COM1", ""},           {"COM3", ""}, {"COM4", " "}, {"COM5", "/dev/pts/3"},
                      {"COM6", "/dev/pts/4"}, {"COM7", ""}, {"COM8", ""}};
    system.underWine = true;
    const auto ports = serial::ListedPorts(ListSystemPorts(system));
    EXPECT_EQ(Names(ports), (std::vector<std::string>{"COM2", "COM5", "COM6"}));
    for (const serial::PortInfo& port : ports) EXPECT_EQ(port.state, PortState::Free);
    EXPECT_EQ(ports[1].identity, "device:\\Device\\Serial4");
    EXPECT_EQ(ports[1].Description(), "COM5 (\\Device\\Serial4)");

    // On Windows itself there is no such map: the system's list is the list.
    system.underWine = false;
    EXPECT_EQ(serial::ListedPorts(ListSystemPorts(system)).size(), 8u);
}

TEST(WindowsPortOpen, AFailedOpenSaysWhyThePortCannotBeUsed) {
    const struct {
        unsigned long error;
        const char* text;
        PortState state;
        const char* reason;
    } cases[] = {
        {2, "", PortState::Absent, "no such device"},
        {5, "Access is denied", PortState::InUse,
         "in use by another program (the system refused access)"},
        {32, "", PortState::InUse, "in use by another program (the system refused access)"},
        {31, "A device attached to the system is not functioning", PortState::Unusable,
         "does not open: A device attached to the system is not functioning (error 31)"},
        {1167, "", PortState::Unusable, "does not open: system error (error 1167)"},
    };
    for (const auto& c : cases) {
        serial::PortInfo port = serial::ListedPort({4, "\\Device\\VCP0"});
        serial::ExplainOpenError(port, c.error, c.text);
        EXPECT_EQ(port.state, c.state) << c.error;
        EXPECT_EQ(port.reason, c.reason);
    }
}
