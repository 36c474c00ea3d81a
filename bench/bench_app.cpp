// A whole upgrade of the simulated mouse through the main window at time scale 0.001, and
// the start-up of the window until it is shown. The run's own waits (600 x 100 ms at most,
// then 30 s) are summed so that the time the tool spends besides waiting can be read off.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cstring>

#include "app/TarvexDlg.h"
#include "device/PumpWait.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/ui/TestHooks.h"
#include "res/Resources.h"
#include "sim/World.h"
#include "tests/support/ImageFactory.h"

namespace {

constexpr double kScale = 0.001;
constexpr int kBoundMs = 60000;

double g_waitedScaledMs = 0;
void SummingWait(DWORD ms)
{
    g_waitedScaledMs += ms;
    PumpWait(ms);
}

double ProcessCpuMs()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// A scratch tool directory with an image of `size` bytes and a configuration naming it.
struct Scratch {
    explicit Scratch(std::size_t size)
    {
        platform::ui::EnsureGui();
        tarvex::res::RegisterResources();
        platform::SetTimeScale(kScale);
        world.Reset();
        sim::World::Install();
        platform::ClearMessageQueue();
        platform::OverrideModuleFileName((dir.Path() / "tarvex").string());
        platform::ui::SetMessageBoxHook([](const platform::ui::MessageBoxCall&) { return IDOK; });
        const auto header = testsupport::WriteImageFile(dir / "bench.bimg", "bench", testsupport::MakeRawImage(size, 1));
        SYSTEM_CONFIG config = testsupport::MakeConfig(u"bench.bimg", header);
        config.wProgramID = static_cast<WORD>(sim::MouseSettings().programId & 0xFFFF);
        config.wProgramVer = 0x0200;
        config.bSaveUserData = TRUE;
        config.bAutoReset = TRUE;
        testsupport::WriteConfigFile(dir.Path(), config);
    }
    ~Scratch()
    {
        platform::ui::SetDialogShownHook(nullptr);
        platform::ui::SetMessageBoxHook(nullptr);
        platform::OverrideModuleFileName("");
        platform::SetTimeScale(1.0);
    }
    sim::World& world = sim::World::Instance();
    testsupport::TempDir dir;
};

void BM_WholeUpgrade(benchmark::State& state)
{
    Scratch scratch(static_cast<std::size_t>(state.range(0)));
    sim::World& world = scratch.world;
    CTarvexDlg dlg;
    dlg.m_pfnWait = &SummingWait;
    double wallMs = 0, cpuMs = 0, waitedMs = 0;
    int runs = 0, failedRuns = 0;
    platform::ui::SetDialogShownHook([&](HWND hwnd) {
        if (hwnd != dlg.m_hWnd) return;
        for (auto _ : state) {
            state.PauseTiming();
            world.UnplugMouse();
            platform::ui::RunUntil([&] { return !dlg.m_AppComm.IsOpen() && !dlg.m_ISPComm.IsOpen(); }, kBoundMs);
            world.PlugMouse();
            if (!platform::ui::RunUntil([&] { return dlg.m_AppComm.IsOpen(); }, kBoundMs)) {
                state.SkipWithError("the mouse did not connect");
                break;
            }
            g_waitedScaledMs = 0;
            const double cpu0 = ProcessCpuMs();
            const auto t0 = std::chrono::steady_clock::now();
            state.ResumeTiming();

            dlg.SendMessage(WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED), reinterpret_cast<LPARAM>(dlg.m_btnUpgrade.m_hWnd));

            state.PauseTiming();
            // At this scale a 1000-ms reply time-out lasts 1 ms of real time: a busy machine
            // can miss one three times running. Such runs are counted, not averaged.
            if (dlg.GetProgress() == 100) {
                wallMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
                cpuMs += ProcessCpuMs() - cpu0;
                waitedMs += g_waitedScaledMs * kScale;
                ++runs;
            } else {
                ++failedRuns;
            }
            state.ResumeTiming();
        }
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    if (runs == 0) state.SkipWithError("no run succeeded");
    state.counters["failed_runs"] = failedRuns;
    if (runs > 0) {
        state.counters["run_wall_ms"] = wallMs / runs;
        state.counters["run_cpu_ms_all_threads"] = cpuMs / runs;
        state.counters["scaled_waits_ms"] = waitedMs / runs;
        state.counters["beyond_waits_ms"] = (wallMs - waitedMs) / runs;
    }
}
BENCHMARK(BM_WholeUpgrade)
    ->Arg(0x4200) // about 16 KiB: the smallest images that take the patches start at 0x4106
    ->Arg(0x10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

// From constructing the dialog (configuration read, 64 KiB image decoded, threads started)
// until it is shown.
void BM_StartupUntilShown(benchmark::State& state)
{
    Scratch scratch(0x10000);
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        CTarvexDlg dlg;
        double shownSec = 0;
        platform::ui::SetDialogShownHook([&](HWND hwnd) {
            if (hwnd != dlg.m_hWnd) return;
            shownSec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            dlg.EndDialog(IDCANCEL);
        });
        dlg.DoModal();
        platform::ui::SetDialogShownHook(nullptr);
        if (!dlg.m_bAppLoaded) state.SkipWithError("the image did not load");
        state.SetIterationTime(shownSec);
    }
}
BENCHMARK(BM_StartupUntilShown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

// CPU the GUI thread uses while PumpWait waits one second of real time with nothing to do:
// the wait blocks in Qt's dispatcher instead of spinning.
void BM_PumpWaitIdleOnGuiThread(benchmark::State& state)
{
    platform::ui::EnsureGui();
    platform::SetTimeScale(1.0);
    for (auto _ : state) {
        rusage before{}, after{};
        getrusage(RUSAGE_THREAD, &before);
        PumpWait(1000);
        getrusage(RUSAGE_THREAD, &after);
        auto ms = [](const rusage& r) {
            return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
        };
        state.counters["gui_thread_cpu_ms"] = ms(after) - ms(before);
    }
}
BENCHMARK(BM_PumpWaitIdleOnGuiThread)->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
