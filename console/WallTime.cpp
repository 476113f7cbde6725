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

namespace {

struct Moment {
    std::tm time;
    int millis;
};

Moment MomentOf(std::chrono::system_clock::time_point when, TimeZone zone) {
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    return {CalendarTime(static_cast<std::time_t>(sinceEpoch.count() / 1000), zone),
            static_cast<int>(sinceEpoch.count() % 1000)};
}

}  // namespace

std::string LocalTimeText(std::chrono::system_clock::time_point when) {
    const auto [t, millis] = MomentOf(when, TimeZone::Local);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, millis);
    return text;
}

std::string IsoUtcText(std::chrono::system_clock::time_point when) {
    const auto [t, millis] = MomentOf(when, TimeZone::Utc);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, millis);
    return text;
}

}  // namespace pellorin
