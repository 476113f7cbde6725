// Trace lines: the system's sink (TraceSink.h), plus the recording of an active TraceCapture.
#include "platform/Trace.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/TraceSink.h"

namespace platform {
namespace {

struct Sink {
    std::mutex mutex;
    int captures = 0;
    std::vector<std::string> lines;
};

Sink& TheSink() {
    static Sink sink;
    return sink;
}

// Set by the operator's programs: standard error gets trace lines only when asked for.
std::atomic<bool> g_onlyWhenAsked{false};

}  // namespace

void TraceOnlyWhenAsked() { g_onlyWhenAsked.store(true); }

bool TraceToStandardError() {
    static const bool asked = [] {
        const char* value = std::getenv("PELLORIN_DEBUG");
        return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
    }();
    return !g_onlyWhenAsked.load() || asked;
}

void Trace(const char* text) {
    std::string line = text ? text : "";
    if (line.empty() || line.back() != '\n') line += '\n';
    Sink& sink = TheSink();
    std::lock_guard lock(sink.mutex);
    WriteTraceLine(line.c_str(), TraceToStandardError());
    if (sink.captures > 0) sink.lines.push_back(line);
}

void Tracef(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    Trace(buffer);
}

TraceCapture::TraceCapture() {
    Sink& sink = TheSink();
    std::lock_guard lock(sink.mutex);
    if (sink.captures++ == 0) sink.lines.clear();
}

TraceCapture::~TraceCapture() {
    Sink& sink = TheSink();
    std::lock_guard lock(sink.mutex);
    --sink.captures;
}

std::vector<std::string> TraceCapture::Lines() const {
    Sink& sink = TheSink();
    std::lock_guard lock(sink.mutex);
    return sink.lines;
}

bool TraceCapture::Contains(const std::string& line) const { return Count(line) > 0; }

int TraceCapture::Count(const std::string& line) const {
    Sink& sink = TheSink();
    std::lock_guard lock(sink.mutex);
    return static_cast<int>(std::count(sink.lines.begin(), sink.lines.end(), line));
}

void TraceCapture::Clear() {
    Sink& sink = TheSink();
    std::lock_guard lock(sink.mutex);
    sink.lines.clear();
}

}  // namespace platform
