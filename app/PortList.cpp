// Probing ports 0 to 29 for the port list.
#include "app/PortList.h"

#include <grp.h>
#include <sys/stat.h>

#include "SerialLib/Serial/PortNames.h"
#include "platform/Trace.h"

namespace pellorin {
namespace {

// The group that owns the device, which the user usually has to join ("dialout" on Debian).
std::string OwningGroup(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return {};
    if (const group* owner = getgrgid(info.st_gid)) return owner->gr_name;
    return std::to_string(info.st_gid);
}

}  // namespace

void FormatPortPath(std::string& path, int number) { path = PortDevicePath(number); }

std::string PortName(int number) { return "COM" + std::to_string(number); }

std::vector<int> FindPresentPorts() {
    std::vector<int> present;
    for (int number = kFirstPortNumber; number <= kLastPortNumber; ++number) {
        std::string path;
        FormatPortPath(path, number);
        if (path.empty()) continue;
        switch (ProbePortPath(path)) {
            case PortProbe::Available:
                present.push_back(number);
                break;
            case PortProbe::NotPermitted: {
                const std::string group = OwningGroup(path);
                platform::Tracef(
                    "FillPortList - %s (%s) may not be opened by this user: add the user to the "
                    "group '%s' (sudo usermod -aG %s $USER) and log in again\n",
                    PortName(number).c_str(), path.c_str(), group.c_str(), group.c_str());
                break;
            }
            case PortProbe::InUse:
                platform::Tracef("FillPortList - %s (%s) is in use by another program\n",
                                 PortName(number).c_str(), path.c_str());
                break;
            case PortProbe::Missing:
                break;
        }
    }
    return present;
}

}  // namespace pellorin
