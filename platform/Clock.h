// The one clock every wait goes through. Tests and the demo may scale it (a 90-second wait
// in 90 ms); the product never does.
#pragma once
#include <chrono>

#include "platform/WinTypes.h"

namespace platform {

// scale 1.0 is real time; 0.001 makes a 1000-ms wait last 1 ms of real time.
void SetTimeScale(double scale);
double GetTimeScale();
// Real duration of `ms` milliseconds on the scaled clock (INFINITE is not accepted here).
std::chrono::nanoseconds ScaledDuration(DWORD ms);
// Milliseconds on the scaled clock since the process started (fractional).
double ScaledNowMs();

} // namespace platform

void Sleep(DWORD ms);
ULONGLONG GetTickCount64();
