// The JSON object builder.
#include "sim/Json.h"

#include <cmath>
#include <cstdio>

namespace sim {

void JsonObject::Key(const std::string& key) {
    if (!m_body.empty()) m_body += ',';
    m_body += JsonString(key);
    m_body += ':';
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& value) {
    Key(key);
    m_body += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, const char* value) {
    return Add(key, std::string(value));
}

JsonObject& JsonObject::Add(const std::string& key, bool value) {
    Key(key);
    m_body += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, std::int64_t value) {
    Key(key);
    m_body += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, double value) {
    Key(key);
    if (!std::isfinite(value)) {
        m_body += "null";
        return *this;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", value);
    m_body += text;
    return *this;
}

JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json) {
    Key(key);
    m_body += json;
    return *this;
}

std::string JsonStringArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out += ',';
        out += JsonString(items[i]);
    }
    return out + "]";
}

}  // namespace sim
