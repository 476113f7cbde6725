// A port behind a network serial server: the connection, its receiving thread, and the
// PortBackend operations over them.
#include "SerialLib/Serial/RemotePort.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "SerialLib/Serial/NetSocket.h"
#include "SerialLib/Serial/SerialTypes.h"
#include "SerialLib/Serial/TelnetComPort.h"
#include "SerialLib/Serial/TransferRecords.h"
#include "platform/Clock.h"
#include "platform/Event.h"

namespace serial {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr unsigned kContactBaud = 2400;
// A raw server that turns a second client away (ser2net says "Port already in use" and closes)
// does so at once: an open looks this long for that.
constexpr auto kRawRefusalWait = 300ms;
// A write waits this long for room in a full connection before it counts as failed.
constexpr auto kSendWait = 5s;

// RFC 2217's values of the line parameters.
constexpr unsigned char kParityValues[] = {1, 2, 3, 4, 5};  // none, odd, even, mark, space
constexpr unsigned char kStopValues[] = {1, 3, 2};          // one, one and a half, two
constexpr unsigned char kControlNoFlow = 1, kControlXonXoff = 2, kControlHardware = 3;
constexpr unsigned char kControlBreakOn = 5, kControlBreakOff = 6;
constexpr unsigned char kPurgeBoth = 3;
// NOTIFY-LINESTATE bits and the CE_ bits they become.
constexpr unsigned char kLineOverrun = 0x02, kLineParity = 0x04, kLineFraming = 0x08,
                        kLineBreak = 0x10;

// A wait's end on the steady clock: none for INFINITE, else program milliseconds from now.
std::optional<Clock::time_point> ProgramDeadline(DWORD timeoutMs) {
    if (timeoutMs == INFINITE) return std::nullopt;
    return Clock::now() + platform::RealDuration(timeoutMs);
}

std::uint32_t BaudFrom(const std::string& value) {
    if (value.size() < 4) return 0;
    std::uint32_t baud = 0;
    for (int i = 0; i < 4; ++i) baud = (baud << 8) | static_cast<unsigned char>(value[i]);
    return baud;
}

class RemotePort final : public PortBackend {
  public:
    RemotePort(const RemoteEndpoint& endpoint, std::unique_ptr<NetSocket> socket, bool overlapped)
        : m_telnet(endpoint.kind == RemoteKind::ComPortControl), m_socket(std::move(socket)) {
        if (overlapped) m_overlappedEvent = std::make_unique<platform::Event>();
        m_line.baudrate = kContactBaud;
        m_line.dataBits = 8;
        m_line.parity = NOPARITY;
        m_line.stopBits = ONESTOPBIT;
    }

    ~RemotePort() override {
        Shutdown();
        JoinReader();
    }

    // Starts the receiving thread and, for telnet, agrees on the options and asks the server
    // for its line speed, all before `deadline`.
    LONG Start(Clock::time_point deadline) {
        try {
            m_reader = std::thread([this] { ReceiveLoop(); });
        } catch (const std::system_error&) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        if (!m_telnet) {
            // A raw server that turns a second client away closes at once; otherwise whatever
            // came before the first command is none of the device's.
            std::unique_lock lock(m_mutex);
            m_changed.wait_until(lock, std::min(deadline, Clock::now() + kRawRefusalWait),
                                 [this] { return m_peerGone; });
            if (m_peerGone) return ERROR_BUSY;
            m_rx.clear();
            return ERROR_SUCCESS;
        }
        if (const LONG sent = SendBytes(telnet::Greeting()); sent != ERROR_SUCCESS)
            return ClosedWhileOpening(sent);
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait_until(lock, deadline, [this] {
                return m_comPortAccepted || m_comPortRefused || m_peerGone;
            });
            if (m_comPortRefused) return ERROR_NOT_SUPPORTED;
            if (m_peerGone) return ERROR_BUSY;
            if (!m_comPortAccepted) return ERROR_NOT_READY;
        }
        // A round trip through the server: a server that has given the port to another client
        // closes here, one that serves us answers with its line speed.
        const unsigned asked = AnswerCount(telnet::SET_BAUDRATE);
        if (const LONG sent =
                SendBytes(telnet::ComPortCommand(telnet::SET_BAUDRATE, telnet::BaudrateValue(0)));
            sent != ERROR_SUCCESS)
            return ClosedWhileOpening(sent);
        std::unique_lock lock(m_mutex);
        m_changed.wait_until(lock, deadline, [&] {
            return m_answerCount[telnet::SET_BAUDRATE] != asked || m_peerGone;
        });
        if (m_answerCount[telnet::SET_BAUDRATE] == asked)
            return m_peerGone ? ERROR_BUSY : ERROR_NOT_READY;
        if (const std::uint32_t baud = BaudFrom(m_answer[telnet::SET_BAUDRATE]); baud != 0)
            m_line.baudrate = static_cast<LONG>(baud);
        m_rx.clear();
        return ERROR_SUCCESS;
    }

    [[nodiscard]] const void* InternalEvent() const override { return m_overlappedEvent.get(); }

    PortResult SetQueues(DWORD, DWORD) override { return PortResult::Success(); }

    PortResult ApplyDefaultConfiguration() override {
        {
            // Open's own mask change must not end the listener's first wait.
            std::lock_guard lock(m_mutex);
            m_maskChanged = false;
        }
        // No flow control, as on a local port. Many servers never answer this: not waited for.
        if (m_telnet) (void)SendControl(kControlNoFlow);
        return PortResult::Success();
    }

    PortResult Setup(DWORD dwBaudrate, BYTE bDataBits, BYTE bParity, BYTE bStopBits) override {
        if (dwBaudrate == 0 || bDataBits < 5 || bDataBits > 8 || bParity > SPACEPARITY ||
            bStopBits > TWOSTOPBITS)
            return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Set);
        if (!m_telnet) {
            // The raw server keeps its own setting: only the contact speed is taken as agreed.
            if (dwBaudrate != kContactBaud || bDataBits != 8 || bParity != NOPARITY ||
                bStopBits != ONESTOPBIT)
                return PortResult::Failed(ERROR_NOT_SUPPORTED, PortFailure::Set);
            return PortResult::Success();
        }
        const std::array<std::pair<unsigned char, std::string>, 4> commands = {{
            {telnet::SET_BAUDRATE, telnet::BaudrateValue(dwBaudrate)},
            {telnet::SET_DATASIZE, std::string(1, static_cast<char>(bDataBits))},
            {telnet::SET_PARITY, std::string(1, static_cast<char>(kParityValues[bParity]))},
            {telnet::SET_STOPSIZE, std::string(1, static_cast<char>(kStopValues[bStopBits]))},
        }};
        std::array<unsigned, 4> before{};
        for (std::size_t i = 0; i < commands.size(); ++i)
            before[i] = AnswerCount(commands[i].first);
        for (const auto& [code, value] : commands) {
            if (const LONG sent = SendBytes(telnet::ComPortCommand(code, value));
                sent != ERROR_SUCCESS)
                return PortResult::Failed(sent, PortFailure::Set);
        }
        // Each setting is in force only once the server has answered it.
        std::unique_lock lock(m_mutex);
        const auto confirmed = [&] {
            for (std::size_t i = 0; i < commands.size(); ++i)
                if (m_answerCount[commands[i].first] == before[i]) return false;
            return true;
        };
        m_changed.wait_until(lock, Clock::now() + std::chrono::milliseconds(kRemoteConfirmMs),
                             [&] { return confirmed() || m_closing || m_peerGone; });
        if (m_closing) return PortResult::Failed(ERROR_OPERATION_ABORTED, PortFailure::Set);
        if (!confirmed())
            return PortResult::Failed(m_peerGone ? ERROR_DEVICE_NOT_CONNECTED : ERROR_TIMEOUT,
                                      PortFailure::Set);
        // The answers carry what the server applied; anything else is a refusal.
        bool applied = BaudFrom(m_answer[telnet::SET_BAUDRATE]) == dwBaudrate;
        for (std::size_t i = 1; i < commands.size(); ++i)
            applied = applied && m_answer[commands[i].first] == commands[i].second;
        if (!applied) return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Set);
        m_line.baudrate = static_cast<LONG>(dwBaudrate);
        m_line.dataBits = bDataBits;
        m_line.parity = bParity;
        m_line.stopBits = bStopBits;
        return PortResult::Success();
    }

    PortResult SetupHandshaking(int eHandshake) override {
        if (!m_telnet)
            return eHandshake == 0 ? PortResult::Success()
                                   : PortResult::Failed(ERROR_NOT_SUPPORTED, PortFailure::Set);
        const unsigned char control = eHandshake == 1   ? kControlHardware
                                      : eHandshake == 2 ? kControlXonXoff
                                                        : kControlNoFlow;
        if (const LONG sent = SendControl(control); sent != ERROR_SUCCESS)
            return PortResult::Failed(sent, PortFailure::Set);
        std::lock_guard lock(m_mutex);
        m_line.ctsFlow = m_line.rtsHandshake = m_line.dtrHandshake = eHandshake == 1;
        m_line.dsrFlow = eHandshake == 1;
        m_line.xonXoff = eHandshake == 2;
        return PortResult::Success();
    }

    PortResult SetupReadTimeouts(int eReadTimeoutMode) override {
        m_readMode.store(eReadTimeoutMode);
        return PortResult::Success();
    }

    PortResult GetLine(LineSettings& settings) override {
        std::lock_guard lock(m_mutex);
        settings = m_line;
        settings.eventChar = m_eventChar;
        return PortResult::Success();
    }

    PortResult SetEventChar(BYTE bEventChar) override {
        std::lock_guard lock(m_mutex);
        m_eventChar = bEventChar;
        return PortResult::Success();
    }

    PortResult SetMask(DWORD dwMask) override {
        std::lock_guard lock(m_mutex);
        m_mask = dwMask;
        m_maskChanged = true;
        m_changed.notify_all();
        return PortResult::Success();
    }

    void ForgetMaskChange() override {
        std::lock_guard lock(m_mutex);
        m_maskChanged = false;
    }

    PortResult WaitEvent(DWORD* pdwEvent, LPOVERLAPPED lpOverlapped, DWORD dwTimeout) override {
        OVERLAPPED internal{};
        OVERLAPPED* pRecord = PickRecord(m_overlappedEvent.get(), lpOverlapped, internal);
        const auto deadline = ProgramDeadline(dwTimeout);
        DWORD dwEvents = 0;
        LONG status = ERROR_SUCCESS;
        PortFailure failure = PortFailure::None;
        {
            std::unique_lock lock(m_mutex);
            for (;;) {
                if (m_closing) {
                    status = ERROR_OPERATION_ABORTED;
                    failure = PortFailure::Call;
                    break;
                }
                // What arrived is reported before a hang-up, so the last reply is still read.
                if (m_arrivals != m_arrivalsReported) {
                    m_arrivalsReported = m_arrivals;
                    dwEvents |= EV_RXCHAR;
                }
                dwEvents |= m_lineEvents;
                m_lineEvents = 0;
                if (dwEvents & m_mask) {
                    dwEvents &= m_mask | EV_RXCHAR;
                    break;
                }
                dwEvents = 0;
                if (m_peerGone) {
                    status = ERROR_DEVICE_NOT_CONNECTED;
                    failure = PortFailure::Call;
                    break;
                }
                if (m_maskChanged) {
                    m_maskChanged = false;
                    break;
                }
                if (!deadline) {
                    m_changed.wait(lock);
                } else if (m_changed.wait_until(lock, *deadline) == std::cv_status::timeout &&
                           Clock::now() >= *deadline) {
                    status = ERROR_TIMEOUT;
                    failure = PortFailure::Wait;
                    break;
                }
            }
        }
        *pdwEvent = dwEvents;
        if (pRecord) FinishRecord(pRecord, status, 0, status == ERROR_SUCCESS);
        return {status, failure, 0};
    }

    PortResult Write(const void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                     DWORD dwTimeout) override {
        OVERLAPPED internal{};
        OVERLAPPED* pRecord = PickRecord(m_overlappedEvent.get(), lpOverlapped, internal);
        LONG status = ERROR_SUCCESS;
        {
            std::lock_guard lock(m_mutex);
            if (m_closing)
                status = ERROR_OPERATION_ABORTED;
            else if (m_peerGone)
                status = ERROR_DEVICE_NOT_CONNECTED;
        }
        if (status == ERROR_SUCCESS) {
            // One write to the connection for the whole command.
            const std::string bytes = m_telnet ? telnet::EscapeData(pData, iLen)
                                               : std::string(static_cast<const char*>(pData), iLen);
            const auto deadline = ProgramDeadline(dwTimeout);
            status = SendBytes(bytes, deadline ? *deadline : Clock::now() + kSendWait);
        }
        const DWORD count = status == ERROR_SUCCESS ? static_cast<DWORD>(iLen) : 0;
        if (pRecord) FinishRecord(pRecord, status, count, status == ERROR_SUCCESS);
        if (status != ERROR_SUCCESS)
            return PortResult::Failed(
                status, status == ERROR_TIMEOUT ? PortFailure::Wait : PortFailure::Call);
        return PortResult::Success(count);
    }

    PortResult Read(void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                    DWORD dwTimeout) override {
        OVERLAPPED internal{};
        OVERLAPPED* pRecord = PickRecord(m_overlappedEvent.get(), lpOverlapped, internal);
        LONG status = ERROR_SUCCESS;
        PortFailure failure = PortFailure::None;
        std::size_t got = 0;
        {
            std::unique_lock lock(m_mutex);
            if (m_readMode.load() != 0) {
                // Blocking mode: the bytes are taken only once all iLen are there.
                const auto deadline = ProgramDeadline(lpOverlapped ? INFINITE : dwTimeout);
                const std::uint64_t cancel = m_cancels;
                const auto ready = [&] {
                    return m_rx.size() >= iLen || m_closing || m_peerGone || m_cancels != cancel;
                };
                if (!deadline)
                    m_changed.wait(lock, ready);
                else
                    m_changed.wait_until(lock, *deadline, ready);
                if (m_rx.size() < iLen) {
                    status = m_closing || m_cancels != cancel ? ERROR_OPERATION_ABORTED
                             : m_peerGone                     ? ERROR_DEVICE_NOT_CONNECTED
                                                              : ERROR_TIMEOUT;
                    failure = status == ERROR_TIMEOUT ? PortFailure::Wait : PortFailure::Call;
                }
            }
            if (status == ERROR_SUCCESS) {
                got = std::min(iLen, m_rx.size());
                m_rx.copy(static_cast<char*>(pData), got);
                m_rx.erase(0, got);
                if (got == 0 && iLen != 0 && m_peerGone) {
                    status = ERROR_DEVICE_NOT_CONNECTED;
                    failure = PortFailure::Call;
                }
            }
        }
        if (pRecord)
            FinishRecord(pRecord, status, static_cast<DWORD>(got), status == ERROR_SUCCESS);
        return {status, failure, static_cast<DWORD>(got)};
    }

    PortResult Purge() override {
        {
            std::lock_guard lock(m_mutex);
            m_rx.clear();
        }
        if (m_telnet)
            (void)SendBytes(telnet::ComPortCommand(telnet::PURGE_DATA,
                                                   std::string(1, static_cast<char>(kPurgeBoth))));
        return PortResult::Success();
    }

    PortResult SetBreak(bool on) override {
        if (!m_telnet) return PortResult::Failed(ERROR_NOT_SUPPORTED, PortFailure::Call);
        if (const LONG sent = SendControl(on ? kControlBreakOn : kControlBreakOff);
            sent != ERROR_SUCCESS)
            return PortResult::Failed(sent, PortFailure::Call);
        return PortResult::Success();
    }

    PortResult ClearCommError(DWORD& dwErrors) override {
        std::lock_guard lock(m_mutex);
        dwErrors = m_errors;
        m_errors = 0;
        return PortResult::Success();
    }

    PortResult GetModemStatus(DWORD& dwStatus) override {
        if (!m_telnet) return PortResult::Failed(ERROR_NOT_SUPPORTED, PortFailure::Obtain);
        std::lock_guard lock(m_mutex);
        // RFC 2217's modem state bits are the MS_ bits: CTS 0x10, DSR 0x20, ring 0x40, CD 0x80.
        dwStatus = m_modemState & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
        return PortResult::Success();
    }

    void CancelIo() override {
        std::lock_guard lock(m_mutex);
        ++m_cancels;
        m_changed.notify_all();
    }

  protected:
    void WakeAll() override {
        {
            std::lock_guard lock(m_mutex);
            m_closing = true;
            m_changed.notify_all();
        }
        m_socket->Wake();
    }

    void AfterLastUse() override { JoinReader(); }

  private:
    // A server that turns a second client away closes the connection during the open: a write
    // then finds it gone.
    static LONG ClosedWhileOpening(LONG sent) {
        return sent == ERROR_DEVICE_NOT_CONNECTED ? ERROR_BUSY : sent;
    }

    void JoinReader() {
        std::lock_guard lock(m_joinMutex);
        if (m_reader.joinable()) m_reader.join();
    }

    unsigned AnswerCount(unsigned char code) {
        std::lock_guard lock(m_mutex);
        return m_answerCount[code];
    }

    LONG SendBytes(const std::string& bytes, Clock::time_point deadline) {
        std::lock_guard lock(m_sendMutex);
        return m_socket->Send(bytes.data(), bytes.size(), deadline);
    }
    LONG SendBytes(const std::string& bytes) { return SendBytes(bytes, Clock::now() + kSendWait); }

    LONG SendControl(unsigned char control) {
        return SendBytes(telnet::ComPortCommand(telnet::SET_CONTROL,
                                                std::string(1, static_cast<char>(control))));
    }

    // The receiving thread: until the port closes or the connection ends.
    void ReceiveLoop() {
        unsigned char buffer[4096];
        for (;;) {
            const NetSocket::Waited wake = m_socket->WaitReadable(Clock::time_point::max());
            if (wake == NetSocket::Waited::Woken) return;
            if (wake == NetSocket::Waited::TimedOut) continue;
            bool gone = wake == NetSocket::Waited::Failed;
            while (!gone) {
                const long n = m_socket->Receive(buffer, sizeof buffer);
                if (n == -1) break;
                if (n <= 0) {
                    gone = true;
                    break;
                }
                Take(buffer, static_cast<std::size_t>(n));
            }
            if (gone) {
                std::lock_guard lock(m_mutex);
                m_peerGone = true;
                m_changed.notify_all();
                return;
            }
        }
    }

    void Take(const unsigned char* bytes, std::size_t length) {
        telnet::Session::Result result;
        if (m_telnet)
            m_session.Feed(bytes, length, result);
        else
            result.data.assign(reinterpret_cast<const char*>(bytes), length);
        if (!result.reply.empty()) (void)SendBytes(result.reply);
        std::lock_guard lock(m_mutex);
        if (!result.data.empty()) {
            m_rx += result.data;
            ++m_arrivals;
        }
        for (const telnet::ComPortAnswer& answer : result.answers) {
            if (answer.code < telnet::kServerOffset) continue;
            const unsigned code = answer.code - telnet::kServerOffset;
            if (code == telnet::NOTIFY_LINESTATE && !answer.value.empty()) {
                const auto state = static_cast<unsigned char>(answer.value[0]);
                const DWORD errors = ((state & kLineOverrun) ? CE_OVERRUN : 0) |
                                     ((state & kLineParity) ? CE_RXPARITY : 0) |
                                     ((state & kLineFraming) ? CE_FRAME : 0) |
                                     ((state & kLineBreak) ? CE_BREAK : 0);
                m_errors |= errors;
                if (state & kLineBreak) m_lineEvents |= EV_BREAK;
                if (errors & ~static_cast<DWORD>(CE_BREAK)) m_lineEvents |= EV_ERR;
            } else if (code == telnet::NOTIFY_MODEMSTATE && !answer.value.empty()) {
                m_modemState = static_cast<unsigned char>(answer.value[0]);
            } else if (code < m_answer.size()) {
                m_answer[code] = answer.value;
                ++m_answerCount[code];
            }
        }
        m_comPortAccepted = m_session.ComPortAccepted();
        m_comPortRefused = m_session.ComPortRefused();
        m_changed.notify_all();
    }

    const bool m_telnet;
    std::unique_ptr<NetSocket> m_socket;
    std::unique_ptr<platform::Event> m_overlappedEvent;
    std::thread m_reader;
    std::mutex m_joinMutex;
    std::mutex m_sendMutex;     // one command at a time on the connection
    telnet::Session m_session;  // the receiving thread's alone
    std::atomic<int> m_readMode{0};

    std::mutex m_mutex;  // everything below
    std::condition_variable m_changed;
    std::string m_rx;  // the line's bytes, not yet read
    std::uint64_t m_arrivals = 0, m_arrivalsReported = 0, m_cancels = 0;
    bool m_closing = false, m_peerGone = false, m_maskChanged = false;
    bool m_comPortAccepted = false, m_comPortRefused = false;
    DWORD m_mask = 0, m_lineEvents = 0, m_errors = 0;
    unsigned char m_modemState = 0;
    BYTE m_eventChar = 0;
    std::array<std::string, telnet::PURGE_DATA + 1> m_answer;
    std::array<unsigned, telnet::PURGE_DATA + 1> m_answerCount{};
    LineSettings m_line;
};

}  // namespace

PortResult OpenRemotePort(const RemoteEndpoint& endpoint, bool overlapped,
                          std::unique_ptr<PortBackend>& port) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRemoteOpenMs);
    std::unique_ptr<NetSocket> socket;
    if (const LONG status = NetSocket::Connect(endpoint.host, endpoint.port, deadline, socket);
        status != ERROR_SUCCESS)
        return PortResult::Failed(status, PortFailure::Open);
    auto remote = std::make_unique<RemotePort>(endpoint, std::move(socket), overlapped);
    if (const LONG status = remote->Start(deadline); status != ERROR_SUCCESS)
        return PortResult::Failed(status, PortFailure::Open);
    port = std::move(remote);
    return PortResult::Success();
}

}  // namespace serial
