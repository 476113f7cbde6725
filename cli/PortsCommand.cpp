// pellorin-cli ports: every port the window would list, numbered as the window numbers them, with
// its device, its adapter and whether this user can open it now.
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "SerialLib/Serial/PortNames.h"
#include "cli/Commands.h"
#include "cli/Output.h"

namespace pellorin::cli {
namespace {

constexpr int kFirstPort = 0;  // the window tries COM0 to COM29
constexpr int kLastPort = 29;

struct PortEntry {
    int number = 0;
    std::string path;    // what the port number maps to
    std::string device;  // the device behind it
    std::string maker, product, serial;
    PortProbe state = PortProbe::Missing;
    std::string user;    // who holds it, where known
    std::string remedy;  // for a port this user may not open
};

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The USB adapter's maker, product and serial number: the nearest device folder above the tty's
// device in sysfs that names them.
void DescribeAdapter(PortEntry& entry) {
    const std::string name = entry.device.substr(entry.device.find_last_of('/') + 1);
    std::string folder = RealPath("/sys/class/tty/" + name + "/device");
    for (int depth = 0; depth < 6 && folder.size() > 5; ++depth) {
        struct stat info {};
        if (stat((folder + "/idVendor").c_str(), &info) == 0) {
            entry.maker = ReadFirstLine(folder + "/manufacturer");
            entry.product = ReadFirstLine(folder + "/product");
            entry.serial = ReadFirstLine(folder + "/serial");
            return;
        }
        folder.erase(folder.find_last_of('/'));
    }
}

// The processes of this user that have the device open (others' are not visible without rights).
std::string HoldersOf(const std::string& device) {
    std::string holders;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return holders;
    while (const dirent* process = readdir(proc)) {
        const std::string pid = process->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string fdFolder = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdFolder.c_str());
        if (fds == nullptr) continue;
        bool holds = false;
        while (const dirent* fd = readdir(fds)) {
            char target[PATH_MAX];
            const std::string link = fdFolder + "/" + fd->d_name;
            const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == device) holds = true;
        }
        closedir(fds);
        if (holds && std::to_string(getpid()) != pid) {
            if (!holders.empty()) holders += ", ";
            holders += "pid " + pid + " (" + ReadFirstLine("/proc/" + pid + "/comm") + ")";
        }
    }
    closedir(proc);
    return holders;
}

// The process that holds the lock a serial program takes on the device (as this program's own
// port does), read from /proc/locks so that looking never disturbs the holder; 0 when none.
long LockHolder(const std::string& device) {
    struct stat info {};
    if (stat(device.c_str(), &info) != 0) return 0;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, file;
        fields >> id >> kind;
        if (kind == "->") fields >> kind;  // a waiting request
        fields >> mode >> access >> pid >> file;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
        if (major == major(info.st_dev) && minor == minor(info.st_dev) && inode == info.st_ino) {
            return std::strtol(pid.c_str(), nullptr, 10);
        }
    }
    return 0;
}

std::string Remedy(const std::string& device) {
    struct stat info {};
    if (stat(device.c_str(), &info) != 0) return {};
    std::string group = std::to_string(info.st_gid);
    if (const struct group* owner = getgrgid(info.st_gid)) group = owner->gr_name;
    return "add the user to the group '" + group + "' (sudo usermod -aG " + group +
           " $USER) and log in again";
}

const char* StateName(PortProbe state) {
    switch (state) {
        case PortProbe::Available: return "free";
        case PortProbe::InUse: return "in-use";
        case PortProbe::NotPermitted: return "permission-denied";
        case PortProbe::Missing: break;
    }
    return "missing";
}

std::vector<PortEntry> FindPorts() {
    std::vector<PortEntry> entries;
    for (int number = kFirstPort; number <= kLastPort; ++number) {
        PortEntry entry;
        entry.number = number;
        entry.path = PortDevicePath(number);
        if (entry.path.empty()) continue;
        entry.state = ProbePortPath(entry.path);
        if (entry.state == PortProbe::Missing) continue;
        entry.device = RealPath(entry.path);
        DescribeAdapter(entry);
        // An exclusive open does not turn away a privileged prober; the lock tells all the same.
        if (const long holder = LockHolder(entry.device); holder > 0 && holder != getpid()) {
            entry.state = PortProbe::InUse;
            entry.user = "pid " + std::to_string(holder) + " (" +
                         ReadFirstLine("/proc/" + std::to_string(holder) + "/comm") + ")";
        }
        if (entry.state == PortProbe::InUse && entry.user.empty()) entry.user = HoldersOf(entry.device);
        if (entry.state == PortProbe::NotPermitted) entry.remedy = Remedy(entry.device);
        entries.push_back(entry);
    }
    return entries;
}

}  // namespace

int RunPortsCommand(const Options& options, std::ostream& out) {
    const std::vector<PortEntry> entries = FindPorts();
    for (const PortEntry& entry : entries) {
        const std::string name = "COM" + std::to_string(entry.number);
        if (options.json) {
            out << "{\"port\":" << JsonString(name) << ",\"number\":" << entry.number
                << ",\"path\":" << JsonString(entry.path) << ",\"device\":" << JsonString(entry.device)
                << ",\"maker\":" << JsonString(entry.maker) << ",\"product\":" << JsonString(entry.product)
                << ",\"serial\":" << JsonString(entry.serial) << ",\"state\":\"" << StateName(entry.state)
                << "\",\"user\":" << JsonString(entry.user) << ",\"remedy\":" << JsonString(entry.remedy)
                << "}\n";
            continue;
        }
        std::string adapter = entry.maker;
        if (!entry.product.empty()) adapter += (adapter.empty() ? "" : " ") + entry.product;
        if (!entry.serial.empty()) adapter += " (serial " + entry.serial + ")";
        if (adapter.empty()) adapter = "-";
        std::string state = StateName(entry.state);
        if (entry.state == PortProbe::InUse) {
            state = entry.user.empty() ? "in use by another program" : "in use by " + entry.user;
        }
        if (entry.state == PortProbe::NotPermitted) state = "permission denied: " + entry.remedy;
        out << name << "  " << entry.device << "  " << adapter << "  " << state << "\n";
    }
    if (entries.empty() && !options.json) out << "no serial port found\n";
    return kExitUpdated;
}

}  // namespace pellorin::cli
