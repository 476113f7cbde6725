// Linux discovery of the port catalogue: the present ttys from sysfs (or PELLORIN_COM_DIR), their
// identities and USB descriptors, who holds a port (/proc/locks, /proc/*/fd, lock files in
// /run/lock), whether this user may open it (the device's mode, owner and group), and the
// hot-plug watch on /dev (inotify). None of it opens a port.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "SerialLib/Serial/PortBindings.h"
#include "SerialLib/Serial/PortCatalog.h"
#include "SerialLib/Serial/PortNames.h"
#include "platform/Win32Types.h"

namespace serial {
namespace fs = std::filesystem;
namespace {

std::mutex g_rootMutex;
std::string g_root;  // "" = the system's own /sys and /dev

std::string Root() {
    std::lock_guard lock(g_rootMutex);
    return g_root;
}

constexpr int kPortUnknownType = 0;

// The number after `prefix` when the whole rest of `name` is digits.
std::optional<int> NumberAfter(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    int number = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return std::nullopt;
        if (number > 100000) return std::nullopt;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

// The kernel registers a fixed number of 8250 placeholders whether or not a UART is there; their
// port type (TIOCGSERIAL, also shown as the sysfs attribute "type") is PORT_UNKNOWN. The
// attribute answers without opening the device, which would toggle its modem lines; a kernel
// without it has the driver's table (/proc/tty/driver/serial, "1: uart:unknown ..."), which only
// root may read. When neither tells, the UART is listed and a job finds out.
bool UartPresent(const fs::path& classEntry, const std::string& name) {
    std::ifstream typeFile(classEntry / "type");
    int type = -1;
    if (typeFile >> type) return type != kPortUnknownType;
    const auto line = NumberAfter(name, "ttyS");
    std::ifstream table("/proc/tty/driver/serial");
    std::string entry;
    while (line && std::getline(table, entry)) {
        if (entry.rfind(std::to_string(*line) + ":", 0) == 0)
            return entry.find("uart:unknown") == std::string::npos;
    }
    return true;
}

std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.pop_back();
    return value;
}

// An identity is one word of the settings file.
std::string Word(std::string text) {
    for (char& c : text)
        if (!std::isgraph(static_cast<unsigned char>(c))) c = '_';
    return text;
}

// Identity and description of the tty `name` from its sysfs entry.
void DescribeFromSysfs(const fs::path& classDir, const std::string& name, PortInfo& port) {
    std::error_code error;
    const fs::path node = fs::canonical(classDir / name, error);
    port.identity = "tty:" + name;
    if (error) return;
    const fs::path driver = fs::read_symlink(node / "device" / "driver", error);
    if (!error) port.driver = driver.filename().string();
    // The USB device is the nearest ancestor with descriptors; the interface is its child on
    // the way down.
    fs::path interface;
    for (fs::path dir = node; dir.has_relative_path() && dir != dir.parent_path();
         interface = dir, dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor", error)) continue;
        port.maker = ReadAttribute(dir / "manufacturer");
        port.product = ReadAttribute(dir / "product");
        port.serialNumber = ReadAttribute(dir / "serial");
        const std::string vendor = ReadAttribute(dir / "idVendor");
        const std::string productId = ReadAttribute(dir / "idProduct");
        std::string where = interface.filename().string();  // "1-2:1.0"
        const std::size_t colon = where.find(':');
        if (colon != std::string::npos) where.erase(0, colon + 1);
        // A multi-port adapter may carry several ports on one interface.
        const std::string portNumber =
            ReadAttribute(node.parent_path().parent_path() / "port_number");
        if (!portNumber.empty() && portNumber != "0") where += "." + portNumber;
        port.identity =
            port.serialNumber.empty()
                ? "usb-port:" + dir.filename().string() + ":" + where
                : "usb:" + vendor + ":" + productId + ":" + port.serialNumber + ":" + where;
        port.identity = Word(port.identity);
        return;
    }
    if (name.rfind("ttyS", 0) == 0) port.identity = "uart:" + name;
}

// The /dev/serial/by-id name that leads to `device`.
std::string ByIdName(const std::string& devDir, const std::string& device) {
    std::error_code error;
    const fs::path target = fs::canonical(device, error);
    if (error) return {};
    for (const auto& entry : fs::directory_iterator(devDir + "/serial/by-id", error)) {
        std::error_code linkError;
        if (fs::canonical(entry.path(), linkError) == target && !linkError)
            return entry.path().filename().string();
    }
    return {};
}

// The present ports without their numbers, in the order numbers are first given.
std::vector<PortInfo> PresentPorts(const std::string& root) {
    const std::string classDir = root + "/sys/class/tty";
    const std::string devDir = root + "/dev";
    std::vector<PortInfo> ports;
    for (const std::string& systemPath : PresentSerialDevices(classDir)) {
        const std::string name = fs::path(systemPath).filename().string();
        PortInfo port;
        port.path = port.device = devDir + "/" + name;
        DescribeFromSysfs(classDir, name, port);
        port.byId = ByIdName(devDir, port.device);
        ports.push_back(std::move(port));
    }
    return ports;
}

// An advisory lock on the settings, so that the window and pellorin-cli never give one number
// to two adapters.
class BindingsLock {
  public:
    explicit BindingsLock(const std::string& path) {
        if (path.empty()) return;
        std::error_code error;
        fs::create_directories(fs::path(path).parent_path(), error);
        m_fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd >= 0)
            while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~BindingsLock() {
        if (m_fd >= 0) close(m_fd);
    }
    BindingsLock(const BindingsLock&) = delete;
    BindingsLock& operator=(const BindingsLock&) = delete;

  private:
    int m_fd = -1;
};

// Every present port with its number; identities seen for the first time are bound.
std::vector<PortInfo> Discover() {
    std::vector<PortInfo> ports;
    if (const std::string dir = ComDirectory(); !dir.empty()) {
        const std::string classDir = Root() + "/sys/class/tty";
        for (int number = kFirstComNumber; number <= kLastComNumber; ++number) {
            PortInfo port;
            port.path = dir + "/com" + std::to_string(number);
            struct stat info {};
            if (stat(port.path.c_str(), &info) != 0) continue;  // also a link that leads nowhere
            port.number = number;
            port.name = ComName(number);
            std::error_code error;
            port.device = fs::canonical(port.path, error).string();
            const std::string deviceName = fs::path(port.device).filename().string();
            if (!error && fs::exists(classDir + "/" + deviceName, error))
                DescribeFromSysfs(classDir, deviceName, port);
            port.identity = "dir:" + port.path;
            ports.push_back(std::move(port));
        }
        return ports;
    }
    ports = PresentPorts(Root());
    PortBindings bindings;
    BindingsLock lock(bindings.Path());
    bindings.Load();
    std::set<std::string> present;
    for (const PortInfo& port : ports) present.insert(port.identity);
    bool changed = false;
    for (PortInfo& port : ports) {
        auto number = bindings.NumberOf(port.identity);
        if (!number) {
            number = bindings.Bind(port.identity, 1, kLastComNumber, present);
            changed = changed || number.has_value();
        }
        if (number) {
            port.number = *number;
            port.name = ComName(*number);
        }
    }
    if (changed) bindings.Save();
    ports.erase(std::remove_if(ports.begin(), ports.end(),
                               [](const PortInfo& port) { return port.number < 0; }),
                ports.end());
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return a.number < b.number; });
    return ports;
}

std::string ProgramName(int pid) {
    std::string name = ReadAttribute("/proc/" + std::to_string(pid) + "/comm");
    return name.empty() ? "another program" : name;
}

void AddHolder(std::vector<PortHolder>& holders, int pid) {
    for (const PortHolder& holder : holders)
        if (holder.pid == pid) return;
    holders.push_back({pid, ProgramName(pid)});
}

// A file as /proc shows it: its file system and inode.
using FileKey = std::pair<dev_t, ino_t>;

// /dev/ptmx, and the majors of the pseudo-terminal slaves /dev/pts/N.
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

// The N of /dev/pts/N for a pseudo-terminal slave, -1 for any other file.
int PtySlaveIndex(const struct stat& info) {
    if (!S_ISCHR(info.st_mode)) return -1;
    const unsigned deviceMajor = major(info.st_rdev);
    if (deviceMajor < kPtySlaveMajorFirst || deviceMajor > kPtySlaveMajorLast) return -1;
    return static_cast<int>((deviceMajor - kPtySlaveMajorFirst) * 256 + minor(info.st_rdev));
}

// The pseudo-terminal a /dev/ptmx descriptor is the master of, from its fdinfo; -1 if unknown.
int MasterIndex(const std::string& fdInfoPath) {
    std::ifstream info(fdInfoPath);
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("tty-index:", 0) == 0) return std::atoi(line.c_str() + 10);
    }
    return -1;
}

// Processes that hold a lock on one of the files (/proc/locks, readable by every user) or have
// it open (/proc/<pid>/fd, readable for this user's own processes, or all of them for root), by
// file. This process's descriptors are not counted: they belong to this program's own port
// object or to its tests. Its locks are: a lock means the port is in use. /proc is read once for
// all the files.
std::map<FileKey, std::vector<PortHolder>> FindHolders(const std::set<FileKey>& files) {
    std::map<FileKey, std::vector<PortHolder>> holders;
    std::map<std::string, FileKey> lockIds;
    for (const FileKey& file : files) {
        char id[64];
        std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(file.first), minor(file.first),
                      static_cast<unsigned long>(file.second));
        lockIds.emplace(id, file);
    }
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4242 00:05:85 0 EOF"; blocked waiters have "->" first.
        std::istringstream fields(line);
        std::string ordinal, kind, mode, access, pidText, id;
        if (!(fields >> ordinal >> kind)) continue;
        if (kind == "->") fields >> kind;
        if (!(fields >> mode >> access >> pidText >> id)) continue;
        const auto file = lockIds.find(id);
        const int pid = std::atoi(pidText.c_str());
        if (file != lockIds.end() && pid > 0) AddHolder(holders[file->second], pid);
    }
    const int self = getpid();
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return holders;
    while (const dirent* entry = readdir(proc)) {
        const int pid = std::atoi(entry->d_name);
        if (pid <= 0 || pid == self) continue;
        const std::string fdDir = "/proc/" + std::string(entry->d_name) + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) continue;               // gone, or another user's
        std::vector<std::pair<FileKey, int>> held;  // with the pseudo-terminal's index, or -1
        std::set<int> mastered;                     // pseudo-terminals whose master it holds
        while (const dirent* fd = readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            struct stat info {};
            if (stat((fdDir + "/" + fd->d_name).c_str(), &info) != 0) continue;
            const FileKey key{info.st_dev, info.st_ino};
            if (files.count(key)) held.emplace_back(key, PtySlaveIndex(info));
            if (S_ISCHR(info.st_mode) && major(info.st_rdev) == kPtmxMajor &&
                minor(info.st_rdev) == kPtmxMinor) {
                const int index =
                    MasterIndex("/proc/" + std::string(entry->d_name) + "/fdinfo/" + fd->d_name);
                if (index >= 0) mastered.insert(index);
            }
        }
        closedir(fds);
        // The process that holds a pseudo-terminal's master is the other end of that line (the
        // device behind it, a terminal window), not a program competing for the port.
        for (const auto& [key, index] : held)
            if (index < 0 || !mastered.count(index)) AddHolder(holders[key], pid);
    }
    closedir(proc);
    return holders;
}

std::string HoldersText(const std::vector<PortHolder>& holders) {
    std::string text = "in use by ";
    for (std::size_t i = 0; i < holders.size(); ++i) {
        if (i) text += ", ";
        text += holders[i].program + " (PID " + std::to_string(holders[i].pid) + ")";
    }
    return text;
}

void NotPermitted(PortInfo& port, const struct stat& info) {
    port.state = PortState::NotPermitted;
    const group* owner = getgrgid(info.st_gid);
    port.group = owner ? owner->gr_name : std::to_string(info.st_gid);
    if (info.st_gid == 0 || (info.st_mode & S_IRWXG) != (S_IRGRP | S_IWGRP)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        port.reason = "permission denied: the device has mode " + std::string(mode) +
                      " and group " + port.group +
                      "; a udev rule must let the group dialout use it";
    } else {
        port.reason = "permission denied: the device belongs to group " + port.group +
                      "; run: sudo usermod -aG " + port.group + " $USER, then log in again";
    }
}

// The programs named by a lock file of the device (/run/lock/LCK..ttyUSB0, as UUCP-style
// programs leave one), while they run. The file holds the PID as text, or as a binary int (old
// programs).
std::vector<int> LockFileHolders(const std::string& device) {
    std::vector<int> pids;
    const fs::path node(device);
    std::set<std::string> names{node.filename().string()};
    if (device.rfind("/dev/", 0) == 0) {
        std::string flat = device.substr(5);  // /dev/pts/3 is also locked as LCK..pts_3
        std::replace(flat.begin(), flat.end(), '/', '_');
        names.insert(flat);
    }
    const std::string root = Root();
    const std::string folders[] = {root + "/run/lock", root + "/var/lock"};
    for (const std::string& folder : folders) {
        for (const std::string& name : names) {
            std::ifstream file(folder + "/LCK.." + name, std::ios::binary);
            char text[64] = {};
            file.read(text, sizeof text - 1);
            const std::streamsize length = file.gcount();
            int pid = 0;
            if (length == 4 && !std::isdigit(static_cast<unsigned char>(text[3])) &&
                text[3] != ' ' && text[3] != '\n') {
                std::memcpy(&pid, text, sizeof pid);
            } else if (length > 0) {
                pid = std::atoi(text);
            }
            // A lock left by a program that has ended is stale.
            const bool running = pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
            if (running && std::find(pids.begin(), pids.end(), pid) == pids.end())
                pids.push_back(pid);
        }
    }
    return pids;
}

// Whether a file is a serial port (a tty): a pseudo-terminal's device side, or a character
// device of the tty class in sysfs. /dev/null, a regular file or a folder is not; a character
// device that sysfs does not know is given the benefit of the doubt.
bool IsSerialPort(const struct stat& info) {
    if (!S_ISCHR(info.st_mode)) return false;
    if (PtySlaveIndex(info) >= 0) return true;
    if (major(info.st_rdev) == kPtmxMajor && minor(info.st_rdev) == kPtmxMinor) return false;
    const std::string entry = "/sys/dev/char/" + std::to_string(major(info.st_rdev)) + ":" +
                              std::to_string(minor(info.st_rdev));
    std::error_code error;
    if (!fs::exists(entry, error)) return true;
    const fs::path subsystem = fs::read_symlink(entry + "/subsystem", error);
    return !error && subsystem.filename() == "tty";
}

// What a failed open's status says when the look found nothing in the way.
void ExplainOpenFailure(PortInfo& port, long openStatus) {
    switch (openStatus) {
        case ERROR_FILE_NOT_FOUND:
            port.state = PortState::Absent;
            port.reason = kNoSuchDevice;
            return;
        case ERROR_ACCESS_DENIED:
            // Someone this user cannot see holds it exclusively (TIOCEXCL, or a lock).
            port.state = PortState::InUse;
            port.reason = "in use by another program (it holds the port exclusively)";
            return;
        case ERROR_NOT_SUPPORTED:
            port.state = PortState::Unusable;
            port.reason = kNotASerialPort;
            return;
        default:
            port.state = PortState::Unusable;
            port.reason = "the device does not open (error " + std::to_string(openStatus) + ")";
    }
}

// The state of a port whose holders are known (`holders` null: look them up), without opening it.
void Diagnose(PortInfo& port, const std::map<FileKey, std::vector<PortHolder>>* holders,
              long openStatus) {
    port.holders.clear();
    port.group.clear();
    port.reason.clear();
    port.state = PortState::Free;
    struct stat info {};
    if (port.path.empty() || stat(port.path.c_str(), &info) != 0) {
        port.state = PortState::Absent;
        port.reason = kNoSuchDevice;
        return;
    }
    if (!IsSerialPort(info)) {
        // Whoever holds /dev/null or a file does not matter: it is no port.
        port.state = PortState::Unusable;
        port.reason = kNotASerialPort;
        return;
    }
    const FileKey key{info.st_dev, info.st_ino};
    if (holders == nullptr) {
        const auto found = FindHolders({key});
        if (found.count(key)) port.holders = found.at(key);
    } else if (holders->count(key)) {
        port.holders = holders->at(key);
    }
    std::error_code error;
    const fs::path device = fs::canonical(port.path, error);
    if (!error)
        for (const int pid : LockFileHolders(device.string())) AddHolder(port.holders, pid);
    if (!port.holders.empty()) {
        port.state = PortState::InUse;
        port.reason = HoldersText(port.holders);
        return;
    }
    // From the device's mode, owner and group and this process's groups; nothing is opened.
    if (faccessat(AT_FDCWD, port.path.c_str(), R_OK | W_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EPERM)) {
        NotPermitted(port, info);
        return;
    }
    if (openStatus != 0) ExplainOpenFailure(port, openStatus);
}

}  // namespace

std::vector<std::string> PresentSerialDevices(const std::string& ttyClassDir) {
    const std::string groups[] = {"ttyS", "ttyUSB", "ttyACM"};
    std::vector<std::pair<int, std::string>> found[3];
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(ttyClassDir, error)) {
        const std::string name = entry.path().filename().string();
        for (int g = 0; g < 3; ++g) {
            const auto number = NumberAfter(name, groups[g]);
            if (!number) continue;
            std::error_code linkError;
            const fs::path target = fs::canonical(entry.path(), linkError);
            if (linkError || target.string().find("/devices/virtual/") != std::string::npos) break;
            if (g == 0 && !UartPresent(entry.path(), name)) break;
            found[g].emplace_back(*number, "/dev/" + name);
            break;
        }
    }
    std::vector<std::string> devices;
    for (auto& group : found) {
        std::sort(group.begin(), group.end());
        for (auto& [number, path] : group) devices.push_back(path);
    }
    return devices;
}

void DiagnosePort(PortInfo& port, long openStatus) { Diagnose(port, nullptr, openStatus); }

std::vector<PortInfo> ListPorts() {
    std::vector<PortInfo> ports = Discover();
    std::set<FileKey> files;
    for (const PortInfo& port : ports) {
        struct stat info {};
        if (stat(port.path.c_str(), &info) == 0) files.insert({info.st_dev, info.st_ino});
    }
    const auto holders = FindHolders(files);
    for (PortInfo& port : ports) Diagnose(port, &holders, 0);
    return ports;
}

std::optional<PortInfo> LocatePort(const std::string& name, const std::string& identity) {
    const auto number = ListedComNumber(name);
    if (!number) return std::nullopt;
    std::string wanted = identity;
    if (wanted.empty() && ComDirectory().empty()) {
        PortBindings bindings;
        bindings.Load();
        wanted = bindings.IdentityOf(*number).value_or("");
    }
    for (PortInfo& port : Discover()) {
        if (wanted.empty() ? port.number == *number : port.identity == wanted) return port;
    }
    PortInfo absent;
    absent.number = *number;
    absent.name = ComName(*number);
    absent.identity = wanted;
    absent.state = PortState::Absent;
    absent.reason = wanted.empty() ? kNoSuchDevice : "not plugged in (the port of " + wanted + ")";
    return absent;
}

PortWatch::PortWatch() {
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) return;
    constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO;
    const std::string dir = ComDirectory();
    const std::string watched = dir.empty() ? Root() + "/dev" : dir;
    if (inotify_add_watch(m_fd, watched.c_str(), kMask) < 0) {
        close(m_fd);
        m_fd = -1;
    }
}

PortWatch::~PortWatch() {
    if (m_fd >= 0) close(m_fd);
}

bool PortWatch::TakeChanges() {
    if (m_fd < 0) return false;
    const bool comDir = !ComDirectory().empty();
    bool relevant = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = read(m_fd, buffer, sizeof buffer);
        if (length <= 0) {
            if (length < 0 && errno == EINTR) continue;
            break;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            const std::string name = event->len ? event->name : "";
            // Only the kinds of tty that are listed: a console's tty changes owner at every login.
            const bool serialTty = name.rfind("ttyS", 0) == 0 || name.rfind("ttyUSB", 0) == 0 ||
                                   name.rfind("ttyACM", 0) == 0;
            if (comDir || serialTty || (event->mask & IN_Q_OVERFLOW)) relevant = true;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return relevant;
}

ScopedSystemRoot::ScopedSystemRoot(std::string root) {
    std::lock_guard lock(g_rootMutex);
    m_previous = std::move(g_root);
    g_root = std::move(root);
}

ScopedSystemRoot::~ScopedSystemRoot() {
    std::lock_guard lock(g_rootMutex);
    g_root = std::move(m_previous);
}

}  // namespace serial
