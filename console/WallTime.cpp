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

// "2026-12-07<between>10:40:12.345<after>" in `zone`.
std::string MomentText(std::chrono::system_clock::time_point when, TimeZone zone, char between,
                       const char* after) {
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    const std::tm t = CalendarTime(static_cast<std::time_t>(sinceEpoch.count() / 1000), zone);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d.%03d%s", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, between, t.tm_hour, t.tm_min, t.tm_sec,
                  static_cast<int>(sinceEpoch.count() % 1000), after);
    return text;
}

}  // namespace

std::string LocalTimeText(std::chrono::system_clock::time_point when) {
    return MomentText(when, TimeZone::Local, ' ', "");
}

std::string IsoUtcText(std::chrono::system_clock::time_point when) {
    return MomentText(when, TimeZone::Utc, 'T', "Z");
}

}  // namespace pellorin
