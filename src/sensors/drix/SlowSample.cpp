#include "SlowSample.h"

#include <time.h>

namespace SlowSample {

uint64_t monotonicMillis() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void check(const Logger& log, uint64_t startMs, uint64_t endMs, const char* format) {
    if (endMs < startMs) return;
    const uint64_t elapsed = endMs - startMs;
    if (elapsed > LIMIT_MS) log.logWarning(format, static_cast<double>(elapsed) / 1000.0);
}

}  // namespace SlowSample
