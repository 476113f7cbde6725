// Wall times.
#include "console/WallTime.h"

#include <cstdio>

namespace pellorin {

std::tm CalendarTime(std::time_t seconds, TimeZone zone) {
    std::tm time{};
#ifdef _WIN32
    if (zone == TimeZone::Local) {
        localtime_s(&time, &seconds);
    } else {
        gmtime_s(&time, &seconds);
    }
#else
    if (zone == TimeZone::Local) {
        localtime_r(&seconds, &time);
    } else {
        gmtime_r(&seconds, &time);
    }
#endif
    return time;
}

std::string LocalTimeText(std::chrono::system_clock::time_point when) {
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    const std::tm local =
        CalendarTime(static_cast<std::time_t>(sinceEpoch.count() / 1000), TimeZone::Local);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(sinceEpoch.count() % 1000));
    return text;
}

}  // namespace pellorin
