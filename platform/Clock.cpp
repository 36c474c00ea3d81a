#include "platform/Clock.h"

#include <atomic>
#include <thread>

namespace platform {
namespace {
std::atomic<double> g_scale{1.0};
const std::chrono::steady_clock::time_point g_start = std::chrono::steady_clock::now();
} // namespace

void SetTimeScale(double scale)
{
    if (!(scale > 0.0)) scale = 1.0;
    g_scale.store(scale);
}

double GetTimeScale() { return g_scale.load(); }

std::chrono::nanoseconds ScaledDuration(DWORD ms)
{
    double ns = static_cast<double>(ms) * 1e6 * g_scale.load();
    return std::chrono::nanoseconds(static_cast<long long>(ns));
}

double ScaledNowMs()
{
    auto real = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - g_start).count();
    return real / g_scale.load();
}

} // namespace platform

void Sleep(DWORD ms)
{
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(platform::ScaledDuration(ms));
}

ULONGLONG GetTickCount64() { return static_cast<ULONGLONG>(platform::ScaledNowMs()); }
