// The port a job opens is the one the operator chose, and a port that cannot be opened says why:
// adapters that are renumbered by a replug, a port locked by another program, a port this user
// may not open.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "SerialLib/Serial/PortBindings.h"
#include "SerialLib/Serial/PortCatalog.h"
#include "sim/PseudoTerminal.h"
#include "tests/support/SimulatedLine.h"

using namespace pellorin;
using testing_support::SimulatedLine;
using testing_support::TempFolder;
namespace fs = std::filesystem;

namespace {
using Lines = std::vector<std::string>;

// A made-up /sys and /dev with USB adapters whose nodes lead to pseudo-terminals, and a settings
// folder of its own.
class FakeSystem {
  public:
    FakeSystem() : m_root(m_folder.Path()), m_guard(m_folder.Path()) {
        fs::create_directories(m_root / "sys/class/tty");
        fs::create_directories(m_root / "dev");
        setenv("XDG_CONFIG_HOME", (m_root / "config").c_str(), 1);
        unsetenv("PELLORIN_COM_DIR");
    }
    ~FakeSystem() { unsetenv("XDG_CONFIG_HOME"); }

    // An FTDI adapter with serial number `serial` in USB socket `socket`, showing up as `node`.
    void Plug(const std::string& node, const std::string& socket, const std::string& serial,
              const std::string& slave) {
        const fs::path usb = m_root / "sys/devices/pci0000:00/usb1" / socket;
        const fs::path tty = usb / (socket + ":1.0") / node / "tty" / node;
        fs::create_directories(tty);
        std::ofstream(usb / "idVendor") << "0403\n";
        std::ofstream(usb / "idProduct") << "6001\n";
        std::ofstream(usb / "manufacturer") << "FTDI\n";
        std::ofstream(usb / "product") << "FT232R USB UART\n";
        std::ofstream(usb / "serial") << serial << "\n";
        fs::create_directory_symlink(tty, m_root / "sys/class/tty" / node);
        fs::create_symlink(slave, m_root / "dev" / node);
    }
    void Unplug(const std::string& node, const std::string& socket) {
        fs::remove(m_root / "sys/class/tty" / node);
        fs::remove(m_root / "dev" / node);
        fs::remove_all(m_root / "sys/devices/pci0000:00/usb1" / socket);
    }
    [[nodiscard]] std::string Dev(const std::string& node) const {
        return (m_root / "dev" / node).string();
    }
    [[nodiscard]] std::string Settings() const {
        std::ifstream file(m_root / "config/pellorin/com-ports");
        return {std::istreambuf_iterator<char>(file), {}};
    }

  private:
    TempFolder m_folder;
    fs::path m_root;
    serial::ScopedSystemRoot m_guard;
};

// A child process named "holder" that holds `path` until it is killed: open with a lock, open
// without one, or not at all (a lock file names it).
enum class Hold { OpenAndLock, Open, Nothing };
class HolderProcess {
  public:
    HolderProcess(const std::string& path, Hold hold) {
        int ready[2];
        if (pipe(ready) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_NAME, "holder");
            // Only what it holds itself: not the far ends of the test's lines.
            dup2(ready[1], 3);
            close_range(4, ~0U, 0);
            ready[1] = 3;
            const int fd =
                hold == Hold::Nothing ? 0 : open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const bool held =
                fd >= 0 && (hold != Hold::OpenAndLock || flock(fd, LOCK_EX | LOCK_NB) == 0);
            const char ok = held ? '1' : '0';
            (void)!write(ready[1], &ok, 1);
            for (;;) pause();
        }
        close(ready[1]);
        char ok = '0';
        m_holding = m_pid > 0 && read(ready[0], &ok, 1) == 1 && ok == '1';
        close(ready[0]);
    }
    ~HolderProcess() { End(); }
    void End() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    [[nodiscard]] bool Holding() const { return m_holding; }
    [[nodiscard]] int Pid() const { return m_pid; }

  private:
    pid_t m_pid = -1;
    bool m_holding = false;
};

// Counts the opens of device nodes (inotify reports every open of a watched file, also of a
// tty's node).
class OpenWatch {
  public:
    OpenWatch() : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~OpenWatch() { close(m_fd); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;
    bool Watch(const std::string& path) {
        return inotify_add_watch(m_fd, path.c_str(), IN_OPEN) >= 0;
    }
    // The opens since the last call.
    int Opens() {
        int opens = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t length; (length = read(m_fd, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                opens += (event->mask & IN_OPEN) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return opens;
    }

  private:
    int m_fd;
};

// Runs `work` on a thread of its own as user and group "nobody" and returns what it gave. The raw
// system calls change the credentials of that thread only (the C library's wrappers would change
// every thread's), and they end with it; a forked child could instead hang on a lock that one of
// the test's other threads held at the fork.
std::string AsNobody(const std::function<std::string()>& work) {
    std::string text = "could not act as nobody";
    std::thread nobody([&] {
        if (syscall(SYS_setgroups, 0, nullptr) != 0 ||
            syscall(SYS_setresgid, 65534, 65534, 65534) != 0 ||
            syscall(SYS_setresuid, 65534, 65534, 65534) != 0)
            return;
        text = work();
    });
    nobody.join();
    return text;
}

}  // namespace

class PortChoice : public SimulatedLine {};

TEST_F(PortChoice, ANumberStaysWithItsAdapterWhenAReplugRenumbersTheNodes) {
    sim::SimInverter first{sim::Options{}}, second{sim::Options{}};
    ASSERT_TRUE(first.Start() && second.Start());
    FakeSystem system;
    system.Plug("ttyUSB0", "1-1", "AAA1", first.SlavePath());
    system.Plug("ttyUSB1", "1-2", "BBB2", second.SlavePath());

    const auto listed = serial::ListPorts();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, "COM1");
    EXPECT_EQ(listed[1].name, "COM2");
    EXPECT_EQ(listed[1].state, serial::PortState::Free);
    EXPECT_EQ(listed[1].Description(),
              system.Dev("ttyUSB1") + ", FTDI FT232R USB UART, serial BBB2");

    // Between listing and pressing the button, the first adapter is pulled out and the second one
    // replugged: it is ttyUSB0 now.
    system.Unplug("ttyUSB0", "1-1");
    system.Unplug("ttyUSB1", "1-2");
    system.Plug("ttyUSB0", "1-2", "BBB2", second.SlavePath());

    console = std::make_unique<HeadlessConsole>();
    console->Link().ModulePath = folder.File("Pellorin");
    ASSERT_TRUE(console->PressJobButton(kJobMcuUpdate, "COM2"));
    ASSERT_TRUE(console->WaitForJobEnd(60000));
    EXPECT_EQ(second.Received(), "^S008BAUD192\rSV\r");
    EXPECT_EQ(first.Received(), "");
    EXPECT_EQ(Log().front(), "COM2 was opened!");

    ASSERT_TRUE(console->PressJobButton(kJobMcuUpdate, "COM1"));
    ASSERT_TRUE(console->WaitForJobEnd(60000));
    EXPECT_EQ(console->MessageBoxes(),
              Lines{"Cannot open serial port\nCOM1: not plugged in (the port of "
                    "usb:0403:6001:AAA1:1.0)\npellorin-cli ports lists the serial ports and their "
                    "state"});
    EXPECT_EQ(second.Received(), "^S008BAUD192\rSV\r") << "COM1 is not whatever is at ttyUSB0 now";

    // The numbers are remembered: a new start lists the second adapter as COM2, and a third
    // adapter gets a number of its own.
    system.Plug("ttyUSB1", "1-3", "CCC3", first.SlavePath());
    const auto again = serial::ListPorts();
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].name, "COM2");
    EXPECT_EQ(again[0].path, system.Dev("ttyUSB0"));
    EXPECT_EQ(again[1].name, "COM3");
    EXPECT_EQ(system.Settings().find("COM1 usb:0403:6001:AAA1:1.0\nCOM2 usb:0403:6001:BBB2:1.0\n"
                                     "COM3 usb:0403:6001:CCC3:1.0\n") != std::string::npos,
              true)
        << system.Settings();
}

// Whether the other program locks the port, only has it open, or names itself in a lock file: the
// port is listed as in use by it, and a job refuses it before anything is opened or sent. A lock
// file whose program has ended is stale.
TEST_F(PortChoice, APortAnotherProgramHoldsIsRefusedWithItsNameAndPid) {
    Start();
    TempFolder lockRoot;
    const serial::ScopedSystemRoot lockFolders(lockRoot.Path());
    std::string lockName = device->SlavePath().substr(5);  // "pts/N" is locked as LCK..pts_N
    std::replace(lockName.begin(), lockName.end(), '/', '_');
    const std::string lockFile = "run/lock/LCK.." + lockName;
    fs::create_directories(lockRoot.Path() + "/run/lock");
    for (const Hold hold : {Hold::OpenAndLock, Hold::Open, Hold::Nothing}) {
        SCOPED_TRACE(static_cast<int>(hold));
        HolderProcess holder(device->SlavePath(), hold);
        ASSERT_TRUE(holder.Holding());
        if (hold == Hold::Nothing)
            lockRoot.Write(lockFile, "     " + std::to_string(holder.Pid()) + "\n");
        const std::string inUse = "in use by holder (PID " + std::to_string(holder.Pid()) + ")";

        const auto listed = serial::ListPorts();
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].state, serial::PortState::InUse);
        EXPECT_EQ(listed[0].reason, inUse);

        OpenWatch opens;
        ASSERT_TRUE(opens.Watch(device->SlavePath()));
        console = std::make_unique<HeadlessConsole>();
        console->Link().ModulePath = folder.File("Pellorin");
        RunJob(kJobDspUpdate);
        EXPECT_EQ(console->MessageBoxes(),
                  Lines{"Cannot open serial port\nCOM1 (" + folder.File("com1") + " (" +
                        device->SlavePath() + ")): " + inUse +
                        "\npellorin-cli ports lists the serial ports and their state"});
        EXPECT_EQ(opens.Opens(), 0);
        EXPECT_EQ(device->Received(), "");
        holder.End();
        if (hold == Hold::Nothing) {
            EXPECT_EQ(serial::ListPorts()[0].state, serial::PortState::Free) << "a stale lock file";
        }
    }
}

// Listing the ports (the window's list, pellorin-cli ports) and looking at the chosen one before
// a job opens no port: an open raises DTR and RTS, which can reset a device on another adapter.
TEST_F(PortChoice, ListingPortsOpensNone) {
    Start();
    sim::PseudoTerminal other;
    ASSERT_TRUE(other.Ok() && other.LinkAs(folder.File("com2")));
    HolderProcess holder(other.SlavePath(), Hold::Open);
    ASSERT_TRUE(holder.Holding());
    OpenWatch opens;
    ASSERT_TRUE(opens.Watch(device->SlavePath()) && opens.Watch(other.SlavePath()));
    close(open(other.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_EQ(opens.Opens(), 1) << "the watch sees an open";

    const auto listed = serial::ListPorts();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].state, serial::PortState::Free);
    EXPECT_EQ(listed[1].state, serial::PortState::InUse);
    auto chosen = serial::LocatePort("COM1");
    ASSERT_TRUE(chosen.has_value());
    serial::DiagnosePort(*chosen);
    EXPECT_EQ(chosen->state, serial::PortState::Free);
    EXPECT_EQ(opens.Opens(), 0);

    // The same with the system's own list of adapters.
    FakeSystem system;
    system.Plug("ttyUSB0", "1-1", "AAA1", device->SlavePath());
    system.Plug("ttyUSB1", "1-2", "BBB2", other.SlavePath());
    ASSERT_EQ(serial::ListPorts().size(), 2u);
    EXPECT_EQ(opens.Opens(), 0);
}

TEST_F(PortChoice, APortThisUserMayNotOpenSaysWhichGroupToJoin) {
    const group* dialout = getgrnam("dialout");
    if (dialout == nullptr) GTEST_SKIP() << "no group dialout on this machine";
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    Start();
    ASSERT_EQ(chown(device->SlavePath().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(device->SlavePath().c_str(), 0660), 0);
    ASSERT_EQ(chmod(folder.Path().c_str(), 0755), 0);  // nobody may look into the COM folder

    const std::string seen = AsNobody([] {
        const auto listed = serial::ListPorts();
        if (listed.size() != 1) return "ports: " + std::to_string(listed.size());
        return (listed[0].state == serial::PortState::NotPermitted ? "" : "not refused: ") +
               listed[0].reason;
    });
    EXPECT_EQ(seen,
              "permission denied: the device belongs to group dialout; run: sudo usermod -aG "
              "dialout $USER, then log in again");
}

TEST(PortBindings, NumbersAreKeptAcrossStartsAndOnlyAnAbsentAdaptersNumberIsGivenAgain) {
    TempFolder folder;
    const std::string path = folder.File("pellorin/com-ports");
    {
        serial::PortBindings bindings(path);
        ASSERT_TRUE(bindings.Load());
        for (int i = 1; i <= 3; ++i)
            EXPECT_EQ(bindings.Bind("usb:" + std::to_string(i), 1, 3, {}), i);
        ASSERT_TRUE(bindings.Save());
    }
    folder.Write("pellorin/com-ports",
                 "# comment\nCOM1 usb:1\nnot a binding\nCOM2 usb:2\nCOM3 usb:3\nCOM3 usb:9\n");
    serial::PortBindings bindings(path);
    ASSERT_TRUE(bindings.Load());
    EXPECT_EQ(bindings.All().size(), 3u) << "a number bound twice keeps its first binding";
    EXPECT_EQ(bindings.NumberOf("usb:2"), 2);
    // All numbers taken: the oldest binding of an adapter that is not here is given again.
    EXPECT_EQ(bindings.Bind("usb:4", 1, 3, {"usb:1", "usb:3"}), 2);
    EXPECT_EQ(bindings.IdentityOf(2), "usb:4");
    EXPECT_EQ(bindings.Bind("usb:5", 1, 3, {"usb:1", "usb:3", "usb:4"}), std::nullopt);
}

TEST_F(PortChoice, ADeviceProgramHoldingBothEndsOfItsLineLeavesThePortFree) {
    // As pellorin-sim does: another process owns the pseudo-terminal and keeps its slave open.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        sim::PseudoTerminal line;
        const char ok = line.Ok() && line.LinkAs(folder.File("com1")) ? '1' : '0';
        (void)!write(ready[1], &ok, 1);
        for (;;) pause();
    }
    close(ready[1]);
    char ok = '0';
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    setenv("PELLORIN_COM_DIR", folder.Path().c_str(), 1);
    const auto listed = serial::ListPorts();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_EQ(ok, '1');
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].state, serial::PortState::Free) << listed[0].reason;
}
