// The system timer: its resolution and a millisecond tick.
#pragma once

#include <cstdint>

namespace platform {

// Asks the system for a 1 ms timer resolution for the rest of the process's life
// (timeBeginPeriod on Windows; POSIX timers need nothing). Never undone.
void TimerSetFineResolution();

// Milliseconds since an arbitrary start, wrapping at 2^32 (timeGetTime on Windows,
// CLOCK_MONOTONIC on POSIX).
uint32_t TickCount();

}  // namespace platform
