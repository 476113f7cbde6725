// The byte level of a remote port that speaks telnet with COM port control (RFC 2217): data with
// the telnet escape (0xFF doubled), option negotiation for binary transmission both ways,
// suppress-go-ahead and COM port control, and the COM port commands with the server's answers and
// notifications. No sockets and no threads here: RemotePort feeds received bytes in and sends
// what comes out, so this part is tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace serial::telnet {

constexpr unsigned char IAC = 255;
constexpr unsigned char DONT = 254;
constexpr unsigned char DO = 253;
constexpr unsigned char WONT = 252;
constexpr unsigned char WILL = 251;
constexpr unsigned char SB = 250;
constexpr unsigned char SE = 240;

constexpr unsigned char OPT_BINARY = 0;
constexpr unsigned char OPT_SGA = 3;
constexpr unsigned char OPT_COM_PORT = 44;

// COM port commands, client to server; the server answers with the code plus 100.
enum ComCommand : unsigned char {
    SET_BAUDRATE = 1,
    SET_DATASIZE = 2,
    SET_PARITY = 3,
    SET_STOPSIZE = 4,
    SET_CONTROL = 5,
    NOTIFY_LINESTATE = 6,
    NOTIFY_MODEMSTATE = 7,
    PURGE_DATA = 12,
};
constexpr unsigned char kServerOffset = 100;

// Data for the line with every 0xFF doubled.
[[nodiscard]] std::string EscapeData(const void* data, std::size_t length);
// IAC <verb> <option>.
[[nodiscard]] std::string Negotiation(unsigned char verb, unsigned char option);
// IAC SB COM-PORT-OPTION <command> <value, 0xFF doubled> IAC SE.
[[nodiscard]] std::string ComPortCommand(unsigned char command, const std::string& value);
[[nodiscard]] std::string BaudrateValue(std::uint32_t baud);  // four bytes, network order
// What the client says first: it will and asks the server to use binary transmission and to
// suppress go-ahead, and offers COM port control.
[[nodiscard]] std::string Greeting();

// A COM port answer or notification of the server: its code (100 and up) and its value.
struct ComPortAnswer {
    unsigned char code = 0;
    std::string value;
};

// Splits what the server sends into data, negotiation and COM port subnegotiations, and keeps the
// state of the options. Bytes may be fed in pieces of any size; a command cut in two is kept
// until its end arrives.
class Session {
  public:
    struct Result {
        std::string data;                    // the line's bytes, unescaped
        std::string reply;                   // negotiation answers to send back
        std::vector<ComPortAnswer> answers;  // COM port answers and notifications, in order
    };
    void Feed(const unsigned char* bytes, std::size_t length, Result& result);

    // The server agreed to COM port control (DO COM-PORT-OPTION), or refused it (DONT).
    [[nodiscard]] bool ComPortAccepted() const { return m_comPort == State::Yes; }
    [[nodiscard]] bool ComPortRefused() const { return m_comPortRefused; }
    // Each side sends binary: no CR NUL padding, no line-end translation.
    [[nodiscard]] bool BinaryBothWays() const {
        return m_us[OPT_BINARY] == State::Yes && m_him[OPT_BINARY] == State::Yes;
    }

  private:
    // No: off; Asked: we asked for it and wait for the answer; Yes: on.
    enum class State : unsigned char { No, Asked, Yes };
    void Negotiate(unsigned char verb, unsigned char option, std::string& reply);
    void EndSubnegotiation(Result& result);

    enum class Parse : unsigned char { Data, Iac, Verb, Sub, SubIac } m_parse = Parse::Data;
    unsigned char m_verb = 0;
    std::string m_sub;
    // Our side (WILL/WONT) and the server's side (DO/DONT asked of it) of each option we use;
    // Greeting() asks for these, so they start as asked.
    State m_us[OPT_SGA + 1] = {State::Asked, State::No, State::No, State::Asked};
    State m_him[OPT_SGA + 1] = {State::Asked, State::No, State::No, State::Asked};
    State m_comPort = State::Asked;
    bool m_comPortRefused = false;
};

}  // namespace serial::telnet
