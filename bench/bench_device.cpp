// Device communication costs: host time per bootloader report against a zero-latency
// simulated mouse, and the CPU that waiting and idle polling burn.
#include <benchmark/benchmark.h>

#include <ctime>
#include <thread>
#include <vector>

#include "device/DunX4ISPUSBComm.h"
#include "device/PumpWait.h"
#include "device/QL40USBComm.h"
#include "platform/Clock.h"
#include "sim/World.h"

namespace {

double ProcessCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void FreshWorld()
{
    platform::SetTimeScale(1.0);
    sim::World::Instance().Reset();
    sim::World::Install();
}

// 64 KiB written and read back: 2048 write reports and 2048 read exchanges (set + get).
void BM_Write64KAndReadBack(benchmark::State& state)
{
    FreshWorld();
    auto& w = sim::World::Instance();
    w.PlugMouse();
    w.EnterBootloader();
    CDunX4ISPUSBComm isp;
    CString path;
    if (!isp.FindDevice(path) || isp.Open(path) != 0) {
        state.SkipWithError("no simulated bootloader");
        return;
    }
    std::vector<BYTE> image(65536), back(65536);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<BYTE>(i * 31);
    for (auto _ : state) {
        DWORD n = 0;
        bool ok = isp.WriteFlash(image.data(), 65536, n) && isp.ReadFlash(back.data(), 65536, n);
        benchmark::DoNotOptimize(ok);
        w.ClearLogs(); // keep the simulator's log from filling up
    }
    // Feature-report calls per iteration: 2048 sets + 2048 (set + get).
    state.counters["per_report"] = benchmark::Counter(6144, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * 65536);
}
BENCHMARK(BM_Write64KAndReadBack)->Unit(benchmark::kMillisecond);

// CPU used by one PumpWait(1000) on the real clock: it must block, not spin.
void BM_PumpWaitOneSecondCpu(benchmark::State& state)
{
    platform::SetTimeScale(1.0);
    double cpu = 0;
    for (auto _ : state) {
        double before = ProcessCpuMs();
        PumpWait(1000);
        cpu += ProcessCpuMs() - before;
    }
    state.counters["process_cpu_ms"] = cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_PumpWaitOneSecondCpu)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// CPU used by both presence-poll threads over ten seconds with no device present.
void BM_IdlePollTenSecondsCpu(benchmark::State& state)
{
    FreshWorld();
    double cpu = 0;
    for (auto _ : state) {
        CQL40USBComm app;
        CDunX4ISPUSBComm isp;
        double before = ProcessCpuMs();
        app.Start();
        isp.Start();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        isp.Stop();
        app.Stop();
        cpu += ProcessCpuMs() - before;
    }
    state.counters["process_cpu_ms"] = cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_IdlePollTenSecondsCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
