#include "platform/Clock.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace platform {
namespace {
std::atomic<double> g_scale{1.0};
const std::chrono::steady_clock::time_point g_start = std::chrono::steady_clock::now();
// The scaled clock stays continuous across scale changes: each change starts a new segment
// at the scaled time reached so far, so GetTickCount64 never runs backwards.
std::mutex g_segMu;
std::chrono::steady_clock::time_point g_segReal = g_start;
double g_segScaledMs = 0.0;

double ScaledAt(std::chrono::steady_clock::time_point now, double scale)
{
    return g_segScaledMs + std::chrono::duration<double, std::milli>(now - g_segReal).count() / scale;
}
} // namespace

void SetTimeScale(double scale)
{
    if (!(scale > 0.0)) scale = 1.0;
    std::lock_guard<std::mutex> lk(g_segMu);
    auto now = std::chrono::steady_clock::now();
    g_segScaledMs = ScaledAt(now, g_scale.load());
    g_segReal = now;
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
    std::lock_guard<std::mutex> lk(g_segMu);
    return ScaledAt(std::chrono::steady_clock::now(), g_scale.load());
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
