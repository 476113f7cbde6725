// A tiny JSON writer for the transcript and the summary: strings are escaped so that every byte
// stays visible and the output stays valid JSON (control bytes as "\r" or "\u0001").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/JsonText.h"

namespace sim {

// The text as a quoted JSON string (platform/JsonText.h).
using platform::JsonString;

// Builds one JSON object member by member; nested objects and arrays are passed in as raw JSON.
class JsonObject {
  public:
    JsonObject& Add(const std::string& key, const std::string& value);
    JsonObject& Add(const std::string& key, const char* value);
    JsonObject& Add(const std::string& key, bool value);
    JsonObject& Add(const std::string& key, std::int64_t value);
    JsonObject& Add(const std::string& key, double value);
    JsonObject& AddRaw(const std::string& key, const std::string& json);
    [[nodiscard]] std::string Text() const { return "{" + m_body + "}"; }

  private:
    void Key(const std::string& key);
    std::string m_body;
};

std::string JsonStringArray(const std::vector<std::string>& items);

}  // namespace sim
