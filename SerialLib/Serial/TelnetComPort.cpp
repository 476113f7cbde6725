// Telnet framing, negotiation and the COM port commands of a remote port.
#include "SerialLib/Serial/TelnetComPort.h"

namespace serial::telnet {

std::string EscapeData(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve(length + 8);
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(static_cast<char>(bytes[i]));
        if (bytes[i] == IAC) out.push_back(static_cast<char>(IAC));
    }
    return out;
}

std::string Negotiation(unsigned char verb, unsigned char option) {
    return {static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(option)};
}

std::string ComPortCommand(unsigned char command, const std::string& value) {
    std::string out = {static_cast<char>(IAC), static_cast<char>(SB),
                       static_cast<char>(OPT_COM_PORT), static_cast<char>(command)};
    out += EscapeData(value.data(), value.size());
    out += static_cast<char>(IAC);
    out += static_cast<char>(SE);
    return out;
}

std::string BaudrateValue(std::uint32_t baud) {
    return {static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
            static_cast<char>(baud >> 8), static_cast<char>(baud)};
}

std::string Greeting() {
    return Negotiation(WILL, OPT_BINARY) + Negotiation(DO, OPT_BINARY) +
           Negotiation(WILL, OPT_SGA) + Negotiation(DO, OPT_SGA) + Negotiation(WILL, OPT_COM_PORT);
}

void Session::Feed(const unsigned char* bytes, std::size_t length, Result& result) {
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = bytes[i];
        switch (m_parse) {
            case Parse::Data:
                if (c == IAC)
                    m_parse = Parse::Iac;
                else
                    result.data.push_back(static_cast<char>(c));
                break;
            case Parse::Iac:
                if (c == IAC) {
                    result.data.push_back(static_cast<char>(IAC));
                    m_parse = Parse::Data;
                } else if (c >= WILL && c <= DONT) {
                    m_verb = c;
                    m_parse = Parse::Verb;
                } else if (c == SB) {
                    m_sub.clear();
                    m_parse = Parse::Sub;
                } else {
                    // NOP, go-ahead, data mark and the other two-byte commands carry no data.
                    m_parse = Parse::Data;
                }
                break;
            case Parse::Verb:
                Negotiate(m_verb, c, result.reply);
                m_parse = Parse::Data;
                break;
            case Parse::Sub:
                if (c == IAC)
                    m_parse = Parse::SubIac;
                else
                    m_sub.push_back(static_cast<char>(c));
                break;
            case Parse::SubIac:
                if (c == IAC) {
                    m_sub.push_back(static_cast<char>(IAC));
                    m_parse = Parse::Sub;
                } else {
                    // IAC SE ends it; anything else after IAC is a sender's fault, taken as the
                    // end.
                    EndSubnegotiation(result);
                    m_parse = Parse::Data;
                }
                break;
        }
    }
}

void Session::EndSubnegotiation(Result& result) {
    if (m_sub.size() < 2 || static_cast<unsigned char>(m_sub[0]) != OPT_COM_PORT) return;
    result.answers.push_back({static_cast<unsigned char>(m_sub[1]), m_sub.substr(2)});
}

void Session::Negotiate(unsigned char verb, unsigned char option, std::string& reply) {
    // Each answer is sent only when the state changes, so two sides never answer each other in
    // a loop (RFC 854's rule); an option we do not use is refused.
    const bool ours = option == OPT_BINARY || option == OPT_SGA;
    switch (verb) {
        case DO:
            if (option == OPT_COM_PORT) {
                if (m_comPort == State::No) reply += Negotiation(WILL, option);
                m_comPort = State::Yes;
                m_comPortRefused = false;
            } else if (ours) {
                if (m_us[option] == State::No) reply += Negotiation(WILL, option);
                m_us[option] = State::Yes;
            } else {
                reply += Negotiation(WONT, option);
            }
            break;
        case DONT:
            if (option == OPT_COM_PORT) {
                if (m_comPort == State::Yes) reply += Negotiation(WONT, option);
                m_comPort = State::No;
                m_comPortRefused = true;
            } else if (ours) {
                if (m_us[option] == State::Yes) reply += Negotiation(WONT, option);
                m_us[option] = State::No;
            }
            break;
        case WILL:
            if (ours) {
                if (m_him[option] == State::No) reply += Negotiation(DO, option);
                m_him[option] = State::Yes;
            } else {
                // Echo above all: the server must not send our own bytes back to us.
                reply += Negotiation(DONT, option);
            }
            break;
        case WONT:
            if (ours) {
                if (m_him[option] == State::Yes) reply += Negotiation(DONT, option);
                m_him[option] = State::No;
            }
            break;
        default:
            break;
    }
}

}  // namespace serial::telnet
