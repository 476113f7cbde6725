// The port list's texts: descriptions, and the states in words.
#include "SerialLib/Serial/PortCatalog.h"

namespace serial {

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

std::string StateWord(PortState state) {
    std::string word = StateName(state);
    for (char& c : word)
        if (c == ' ') c = '-';
    return word;
}

}  // namespace serial
