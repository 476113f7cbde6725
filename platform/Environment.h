// The value of an environment variable, empty when it is not set.
#pragma once

#include <cstdlib>
#include <string>

namespace platform {

[[nodiscard]] inline std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace platform
