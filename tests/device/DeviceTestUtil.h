// Shared helpers of the device and simulator tests: a window that records what is posted to
// it, bounded waits for conditions, and a fixture that installs a fresh simulated world on a
// fast clock.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "sim/World.h"

namespace testutil {

// Waits (real time) until pred() holds; the bound is generous so a loaded machine still passes.
inline bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds bound = std::chrono::seconds(20))
{
    auto end = std::chrono::steady_clock::now() + bound;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Posted {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

class RecordingWindow : public IMessageTarget
{
public:
    RecordingWindow() : m_hwnd(platform::RegisterWindow(this)) {}
    ~RecordingWindow() override { platform::UnregisterWindow(m_hwnd); }
    HWND Hwnd() const { return m_hwnd; }
    LRESULT ReceiveMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        std::lock_guard<std::mutex> lk(m_mu);
        m_got.push_back(Posted{message, wParam, lParam});
        return 0;
    }
    std::vector<Posted> Got(UINT message) const
    {
        std::lock_guard<std::mutex> lk(m_mu);
        std::vector<Posted> r;
        for (auto& p : m_got)
            if (p.message == message) r.push_back(p);
        return r;
    }

private:
    HWND m_hwnd;
    mutable std::mutex m_mu;
    std::vector<Posted> m_got;
};

// Dispatches posted messages on this (the "UI") thread until pred() holds or the bound passes.
inline bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound = std::chrono::seconds(20))
{
    auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        MsgWaitForSingleObject(nullptr, 50);
    }
}

class SimTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kScale = TimeScale();
        platform::SetTimeScale(kScale);
        world.Reset();
        sim::World::Install();
        platform::ClearMessageQueue();
    }
    void TearDown() override
    {
        platform::ClearMessageQueue();
        platform::SetTimeScale(1.0);
    }
    // 1000 ms of the clock last 20 ms. Between the protocol's time-outs and the simulator's
    // delays there are then a few real milliseconds, more than a loaded host running the
    // Windows build under Wine can promise: TARVEX_TEST_TIME_SCALE slows the clock there.
    static double TimeScale()
    {
        const char* v = std::getenv("TARVEX_TEST_TIME_SCALE");
        double s = v ? std::atof(v) : 0.0;
        return s > 0.0 && s <= 1.0 ? s : 0.02;
    }
    inline static double kScale = 0.02;
    sim::World& world = sim::World::Instance();
};

} // namespace testutil
