// A null-modem cable between pairs of pseudo-terminals, for the Windows tests under Wine: what
// one slave side is sent arrives at the other's, both ways. Prints one line per pair ("slave
// slave"), then relays until it is ended (SIGTERM).
//   nullmodem <pairs>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct End {
    int master = -1;
    int slave = -1;  // kept open, so the master never sees a hang-up between the test's opens
    std::string path;
};

bool OpenEnd(End& end) {
    char name[128];
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B19200);
    cfsetospeed(&raw, B19200);
    if (openpty(&end.master, &end.slave, name, &raw, nullptr) != 0) return false;
    end.path = name;
    return true;
}

bool WriteAll(int fd, const char* data, ssize_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 1;
    if (pairs < 1 || pairs > 16) {
        std::fprintf(stderr, "usage: nullmodem <pairs 1..16>\n");
        return 2;
    }
    std::vector<End> ends(static_cast<std::size_t>(2 * pairs));
    for (int i = 0; i < pairs; ++i) {
        if (!OpenEnd(ends[2 * i]) || !OpenEnd(ends[2 * i + 1])) {
            std::perror("openpty");
            return 1;
        }
        std::printf("%s %s\n", ends[2 * i].path.c_str(), ends[2 * i + 1].path.c_str());
    }
    std::fflush(stdout);

    std::vector<pollfd> fds;
    for (const End& end : ends) fds.push_back({end.master, POLLIN, 0});
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) WriteAll(ends[i ^ 1].master, buffer, n);
        }
    }
}
