// The station's throughput: wall time of `tarvexctl upgrade --all` with N simulated mice, one
// per port, at one clock scale, and the CPU it spends per mouse. The aim: 8 mice in at most
// 1.2 times one mouse's time. The clock scale is 0.05: the 30-s settle wait lasts 1.5 s and
// each feature report its scaled millisecond of bus time, so the flash phase counts too.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/ImageFactory.h"

namespace {

double ChildCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_StationAll(benchmark::State& state)
{
    const int mice = static_cast<int>(state.range(0));
    testsupport::TempDir dir;
    const std::vector<BYTE> raw = testsupport::MakeRawImage(0x8000, 5);
    const ENC_FILE_HEADER h = testsupport::WriteImageFile(dir / "fw.bimg", "DUNX4", raw);
    SYSTEM_CONFIG cfg = testsupport::MakeConfig(u"fw.bimg", h);
    cfg.wProgramID = 0x5A3C;
    cfg.wProgramVer = 0x0200;
    cfg.bAutoReset = 1;
    testsupport::WriteConfigFile(dir.Path(), cfg);
    const std::string cmd = std::string(TARVEXCTL_PATH) + " upgrade --all --simulate --time-scale 0.05 --sim-mice " +
                            std::to_string(mice) + " --dir " + dir.Path().string() + " >/dev/null 2>&1";
    double cpu = 0;
    for (auto _ : state) {
        const double cpu0 = ChildCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = std::system(cmd.c_str());
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpu += ChildCpuSeconds() - cpu0;
        if (!WIFEXITED(rc) || WEXITSTATUS(rc) != 0) state.SkipWithError("the station did not upgrade every mouse");
        state.SetIterationTime(wall);
    }
    state.counters["cpu_ms_per_mouse"] = benchmark::Counter(1000.0 * cpu / mice / static_cast<double>(state.iterations()));
    state.counters["mice"] = mice;
}

} // namespace

BENCHMARK(BM_StationAll)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
