// Remote port names and the reasons a remote port does not open.
#include "SerialLib/Serial/RemotePortName.h"

#include <algorithm>
#include <cctype>

namespace serial {
namespace {

constexpr const char* kComPortScheme = "rfc2217://";
constexpr const char* kRawScheme = "tcp://";

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

struct Parsed {
    std::optional<RemoteEndpoint> endpoint;
    std::string problem;
};

Parsed Parse(const std::string& name) {
    const std::string kForm = "use rfc2217://HOST:PORT or tcp://HOST:PORT";
    RemoteEndpoint endpoint;
    std::string rest;
    if (StartsWithNoCase(name, kComPortScheme)) {
        rest = name.substr(std::char_traits<char>::length(kComPortScheme));
    } else if (StartsWithNoCase(name, kRawScheme)) {
        endpoint.kind = RemoteKind::RawTcp;
        rest = name.substr(std::char_traits<char>::length(kRawScheme));
    } else {
        return {std::nullopt, "not a remote port name: " + kForm};
    }
    if (rest.find('@') != std::string::npos)
        return {std::nullopt, "a remote port takes no user name or password: " + kForm};
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('/') != std::string::npos)
        return {std::nullopt, "a remote port name has no path: " + kForm};
    std::size_t colon;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return {std::nullopt, "an IPv6 address goes in brackets before the port: " + kForm};
        endpoint.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return {std::nullopt, "the TCP port is missing: " + kForm};
        endpoint.host = rest.substr(0, colon);
        if (endpoint.host.find(':') != std::string::npos)
            return {std::nullopt, "an IPv6 address goes in brackets: " + kForm};
    }
    endpoint.port = rest.substr(colon + 1);
    if (endpoint.host.empty()) return {std::nullopt, "the host is missing: " + kForm};
    const bool digits = !endpoint.port.empty() && endpoint.port.size() <= 5 &&
                        std::all_of(endpoint.port.begin(), endpoint.port.end(), [](char c) {
                            return std::isdigit(static_cast<unsigned char>(c)) != 0;
                        });
    if (!digits || std::stol(endpoint.port) < 1 || std::stol(endpoint.port) > 65535)
        return {std::nullopt, "the TCP port must be a number from 1 to 65535: " + kForm};
    for (char c : endpoint.host) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || u >= 0x7F)
            return {std::nullopt, "the host name has a blank or control character"};
    }
    return {endpoint, ""};
}

}  // namespace

bool IsRemotePortName(const std::string& name) {
    return StartsWithNoCase(name, kComPortScheme) || StartsWithNoCase(name, kRawScheme);
}

bool IsRawTcpPortName(const std::string& name) {
    const auto endpoint = ParseRemotePortName(name);
    return endpoint && endpoint->kind == RemoteKind::RawTcp;
}

std::optional<RemoteEndpoint> ParseRemotePortName(const std::string& name) {
    return Parse(name).endpoint;
}

std::string RemoteNameProblem(const std::string& name) { return Parse(name).problem; }

std::string RemoteOpenFailure(LONG status) {
    switch (status) {
        case ERROR_INVALID_PARAMETER:
            return "not a valid remote port: use rfc2217://HOST:PORT or tcp://HOST:PORT";
        case ERROR_BAD_NET_NAME:
            return "name not found: the server's host name does not resolve";
        case ERROR_CONNECTION_REFUSED:
            return "connection refused: no server listens on that TCP port";
        case ERROR_HOST_UNREACHABLE:
        case ERROR_NETWORK_UNREACHABLE:
            return "server unreachable: no route to the host";
        case ERROR_SEM_TIMEOUT:
            return "server unreachable: no connection within 5 s";
        case ERROR_BUSY:
            return "port busy: the server serves another client";
        case ERROR_NOT_READY:
            return "no answer from the server within 5 s: it serves another client, or it does "
                   "not speak RFC 2217";
        case ERROR_NOT_SUPPORTED:
            return "the server does not speak RFC 2217 (telnet COM port control); for a raw TCP "
                   "server use tcp://HOST:PORT";
        case ERROR_NETNAME_DELETED:
            return "the server closed the connection";
        default:
            return "network error " + std::to_string(status);
    }
}

}  // namespace serial
