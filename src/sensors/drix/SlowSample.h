// The warning about statistics samples that take longer than 100 ms, shared
// by the per-disk and WQM sensor bases. Time is taken on the monotonic clock:
// a wall clock stepped back between start and end would otherwise give a
// huge elapsed time and a false warning. The clock is a seam, so tests can
// give a sample any length.
//
// Stateless; called on the sensor's own thread.
#pragma once

#include <cstdint>

#include "Logger.h"

namespace SlowSample {

// Milliseconds on some monotonic scale.
using Clock = uint64_t (*)();

uint64_t monotonicMillis();

constexpr uint64_t LIMIT_MS = 100;

// Logs `format` (one %f, the elapsed seconds) at warning level when more than
// LIMIT_MS passed from startMs to endMs.
void check(const Logger& log, uint64_t startMs, uint64_t endMs, const char* format);

}  // namespace SlowSample
