// The Linux backend's line settings: speed, framing, handshaking and the read mode through the
// LineDriver seam, each read back, and the settings termios has no place for.
#include <termios.h>

#include "SerialLib/Serial/PosixPort.h"
#include "SerialLib/Serial/SerialErrors.h"
#include "platform/LineRates.h"

namespace {

constexpr tcflag_t FRAMING_BITS = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
}  // namespace

PortResult PosixPort::SetQueues(DWORD, DWORD) {
    // A tty's queues have fixed sizes on Linux.
    return PortResult::Success();
}

PortResult PosixPort::ApplyDefaultConfiguration() {
    // Raw line, receiver on, no flow control, reads that never wait in the driver.
    // Open's own mask change must not end the listener's first wait, and the termios change's
    // wake-ups must not sit in the event wait.
    struct Settle {
        PosixPort& port;
        ~Settle() {
            port.DrainMaskChange();
            port.RearmEventWait();
        }
    } settle{*this};
    termios settings{};
    if (const int error = m_driver->GetAttributes(m_fd, settings))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Obtain);
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD | HUPCL;
    settings.c_cflag &= ~CRTSCTS;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    PortResult result = PortResult::Success();
    if (const int error = m_driver->SetAttributes(m_fd, settings))
        result = PortResult::Failed(StatusFromErrno(error), PortFailure::Set);
    // Without it many USB adapters hold short replies back for their latency timer; drivers
    // that do not know the flag refuse, and the port works as before.
    (void)m_driver->RequestLowLatency(m_fd);
    return result;
}

PortResult PosixPort::Setup(DWORD dwBaudrate, BYTE bDataBits, BYTE bParity, BYTE bStopBits) {
    termios before{};
    if (const int error = m_driver->GetAttributes(m_fd, before))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Obtain);
    speed_t speed = B0;
    // Linux has no 1.5 stop bits: a clear refusal rather than a silent change to 1 or 2.
    if (!platform::SpeedForRate(dwBaudrate, speed) || bDataBits < 5 || bDataBits > 8 ||
        bParity > SPACEPARITY || (bStopBits != ONESTOPBIT && bStopBits != TWOSTOPBITS))
        return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Set);
    termios wanted = before;
    cfsetispeed(&wanted, speed);
    cfsetospeed(&wanted, speed);
    wanted.c_cflag &= ~FRAMING_BITS;
    static constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    wanted.c_cflag |= SIZES[bDataBits - 5];
    switch (bParity) {
        case ODDPARITY:
            wanted.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            wanted.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            wanted.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            wanted.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (bStopBits == TWOSTOPBITS) wanted.c_cflag |= CSTOPB;
    if (const int error = m_driver->SetAttributes(m_fd, wanted))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Set);
    // A driver may take the call and still not apply a setting (a pseudo-terminal forces 8
    // bits without parity); only the read-back tells.
    termios applied{};
    const bool fApplied = m_driver->GetAttributes(m_fd, applied) == 0 &&
                          cfgetospeed(&applied) == speed &&
                          (applied.c_cflag & FRAMING_BITS) == (wanted.c_cflag & FRAMING_BITS);
    if (!fApplied) {
        (void)m_driver->SetAttributes(m_fd, before);
        return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Set);
    }
    return PortResult::Success();
}

PortResult PosixPort::SetupHandshaking(int eHandshake) {
    termios before{};
    if (const int error = m_driver->GetAttributes(m_fd, before))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Obtain);
    termios wanted = before;
    wanted.c_cflag &= ~CRTSCTS;
    wanted.c_iflag &= ~(IXON | IXOFF | IXANY);
    // Linux has no DTR/DSR flow control: hardware handshaking is RTS/CTS.
    if (eHandshake == 1) wanted.c_cflag |= CRTSCTS;
    if (eHandshake == 2) wanted.c_iflag |= IXON | IXOFF;
    if (const int error = m_driver->SetAttributes(m_fd, wanted))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Set);
    termios applied{};
    if (m_driver->GetAttributes(m_fd, applied) != 0 ||
        (applied.c_cflag & CRTSCTS) != (wanted.c_cflag & CRTSCTS) ||
        (applied.c_iflag & (IXON | IXOFF)) != (wanted.c_iflag & (IXON | IXOFF))) {
        (void)m_driver->SetAttributes(m_fd, before);
        return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Set);
    }
    return PortResult::Success();
}

PortResult PosixPort::SetupReadTimeouts(int eReadTimeoutMode) {
    m_readMode.store(eReadTimeoutMode);
    return PortResult::Success();
}

PortResult PosixPort::GetLine(LineSettings& line) {
    termios settings{};
    if (const int error = m_driver->GetAttributes(m_fd, settings))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Obtain);
    const unsigned rate = platform::RateForSpeed(cfgetospeed(&settings));
    line.baudrate = rate == 0 ? -1 : static_cast<LONG>(rate);
    switch (settings.c_cflag & CSIZE) {
        case CS5:
            line.dataBits = 5;
            break;
        case CS6:
            line.dataBits = 6;
            break;
        case CS7:
            line.dataBits = 7;
            break;
        default:
            line.dataBits = 8;
            break;
    }
    const tcflag_t flags = settings.c_cflag;
    if (!(flags & PARENB))
        line.parity = NOPARITY;
    else if (flags & CMSPAR)
        line.parity = (flags & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        line.parity = (flags & PARODD) ? ODDPARITY : EVENPARITY;
    line.stopBits = (flags & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    const bool rtsCts = (flags & CRTSCTS) != 0;
    line.ctsFlow = line.rtsHandshake = line.dtrHandshake = rtsCts;
    line.dsrFlow = false;
    line.xonXoff = (settings.c_iflag & IXON) && (settings.c_iflag & IXOFF);
    line.eventChar = m_eventChar.load();
    return PortResult::Success();
}

PortResult PosixPort::SetEventChar(BYTE bEventChar) {
    // Linux cannot look into the receive queue without taking the bytes, so EV_RXFLAG is never
    // reported; the character is kept for GetEventChar.
    m_eventChar.store(bEventChar);
    return PortResult::Success();
}

PortResult PosixPort::SetMask(DWORD dwMask) {
    m_mask.store(dwMask);
    SignalMaskChange();
    return PortResult::Success();
}
