// bare_wait: a bare Win32 client that waits for bytes on a quiet COM port for a number of seconds,
// with nothing of the tool's code, so that what waiting costs under Wine can be told apart from
// what the tool adds (scripts/bench-windows.sh measures its processor time from outside).
//
//   bare_wait COMn SECONDS event   WaitCommEvent(EV_RXCHAR | EV_BREAK | EV_ERR) on an overlapped
//                                  record, armed again as soon as it ends (the listener's wait)
//   bare_wait COMn SECONDS read    an overlapped read of one byte with immediate read time-outs,
//                                  started again when it ends (what the listener does where the
//                                  event wait cannot wait)
//
// Prints how often the wait ended, and how often with an event or a byte. Windows only.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[3], "event") != 0 && std::strcmp(argv[3], "read") != 0)) {
        std::fprintf(stderr, "usage: bare_wait COMn SECONDS event|read\n");
        return 2;
    }
    const std::string path = std::string("\\\\.\\") + argv[1];
    const DWORD seconds = static_cast<DWORD>(std::atoi(argv[2]));
    const bool byEvent = std::strcmp(argv[3], "event") == 0;
    const HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "bare_wait: %s does not open (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(port, &timeouts);
    SetCommMask(port, EV_RXCHAR | EV_BREAK | EV_ERR);
    const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    long ended = 0, arrivals = 0;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < seconds * 1000) {
        OVERLAPPED record{};
        record.hEvent = done;
        ResetEvent(done);
        DWORD events = 0, count = 0;
        char byte = 0;
        const BOOL atOnce = byEvent ? WaitCommEvent(port, &events, &record)
                                    : ReadFile(port, &byte, 1, &count, &record);
        if (!atOnce) {
            if (GetLastError() != ERROR_IO_PENDING) {
                std::fprintf(stderr, "bare_wait: the wait failed (%lu)\n", GetLastError());
                return 1;
            }
            const DWORD left = seconds * 1000 - (GetTickCount() - start);
            if (WaitForSingleObject(done, left) != WAIT_OBJECT_0) {
                CancelIoEx(port, &record);
                GetOverlappedResult(port, &record, &count, TRUE);
                break;
            }
            GetOverlappedResult(port, &record, &count, FALSE);
        }
        ++ended;
        if (events != 0 || count != 0) ++arrivals;
    }
    std::printf("bare_wait %s: the wait ended %ld times in %lu s, %ld of them with an arrival\n",
                argv[3], ended, seconds, arrivals);
    CloseHandle(port);
    return 0;
}
