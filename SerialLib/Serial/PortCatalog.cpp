// The port list's texts: descriptions, state names, the list as lines and as JSON.
#include "SerialLib/Serial/PortCatalog.h"

#include <cstdio>

namespace serial {
namespace {

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string PortInfo::Description() const {
    std::string text = path;
    if (!device.empty() && device != path) text += " (" + device + ")";
    std::string what = maker;
    if (!product.empty()) what += (what.empty() ? "" : " ") + product;
    if (!what.empty()) text += ", " + what;
    if (!serialNumber.empty()) text += ", serial " + serialNumber;
    return text;
}

const char* StateName(PortState state) {
    switch (state) {
        case PortState::Free:
            return "free";
        case PortState::InUse:
            return "in use";
        case PortState::NotPermitted:
            return "permission denied";
        case PortState::Unusable:
            return "unusable";
        case PortState::Absent:
            return "absent";
    }
    return "unknown";
}

std::string FormatPortList(const std::vector<PortInfo>& ports) {
    std::string text;
    for (const PortInfo& port : ports) {
        text += port.name + "  " + StateName(port.state) + "  " + port.Description();
        if (!port.reason.empty()) text += "  (" + port.reason + ")";
        text += '\n';
    }
    return text;
}

std::string PortListJson(const std::vector<PortInfo>& ports) {
    std::string json = "[";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const PortInfo& port = ports[i];
        json += i == 0 ? "\n" : ",\n";
        json += "  {\"number\": " + std::to_string(port.number);
        const std::pair<const char*, const std::string*> fields[] = {
            {"name", &port.name},         {"identity", &port.identity},
            {"path", &port.path},         {"device", &port.device},
            {"byId", &port.byId},         {"maker", &port.maker},
            {"product", &port.product},   {"serialNumber", &port.serialNumber},
            {"driver", &port.driver},     {"group", &port.group},
            {"reason", &port.reason},
        };
        for (const auto& [key, value] : fields) json += ", \"" + std::string(key) + "\": " + JsonString(*value);
        json += ", \"state\": " + JsonString(StateName(port.state));
        json += ", \"description\": " + JsonString(port.Description());
        json += ", \"holders\": [";
        for (std::size_t h = 0; h < port.holders.size(); ++h) {
            if (h) json += ", ";
            json += "{\"pid\": " + std::to_string(port.holders[h].pid) +
                    ", \"program\": " + JsonString(port.holders[h].program) + "}";
        }
        json += "]}";
    }
    return json + (ports.empty() ? "]\n" : "\n]\n");
}

}  // namespace serial
