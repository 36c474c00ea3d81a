// tarvex-demo: the real main window against the simulated DUN-X4 mouse. It makes an image
// and a configuration in a scratch directory, runs the tool as if it lay there, and plugs
// the mouse in a moment after start. Without a display it runs offscreen.
#ifdef _WIN32
#include <process.h>

#include <csignal>
#else
#include <QImage>
#include <QPixmap>
#include <QWidget>

#include <pthread.h>
#include <signal.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/TarvexApp.h"
#include "app/EventLines.h"
#include "app/TarvexDlg.h"
#include "upgrade/EventJson.h"
#include "encfile/AppImage.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/ui/TestHooks.h"
#include "res/Resources.h"
#include "sim/FaultNames.h"
#include "sim/World.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr DWORD kPlugDelayMs = 1000;
constexpr DWORD kImageSize = 0x8000;

struct Options {
    bool bAuto = false;
    double dTimeScale = 1.0;
    std::vector<std::string> faults;
    std::optional<DWORD> devProgramId;
    std::optional<int> devVersion;
    bool bBootloaderPresent = false;
    std::optional<WORD> programId;
    WORD wProgramVer = 0x0200;
    bool bVersionCheck = false;
    bool bSaveUserData = false;
    bool bAutoReset = false;
    bool bNoImage = false;
    std::string screenshotDir;
    bool bEvents = false;
};


void Usage(FILE* out)
{
    std::fprintf(out,
                 "usage: tarvex-demo [options]\n"
                 "  --auto                   start the upgrade when the mouse arrives, exit when the run has ended\n"
                 "  --time-scale F           clock scale (1 = real time, 0.01 = a 90-s wait in 0.9 s)\n"
                 "  --fault NAME             repeatable: program-info program-id device-id user-data no-bootloader\n"
                 "                           erase write read verify reset unplug-app unplug-isp isp-held isp-denied\n"
                 "  --device-program-id HEX  program ID the mouse reports (default 15A3C)\n"
                 "  --device-version N       version byte the mouse reports (default 1)\n"
                 "  --bootloader-present     another bootloader device is on the bus from the start\n"
                 "  --program-id HEX         program ID the configuration requires (default: the mouse's low 16 bits)\n"
                 "  --program-ver MAJOR.MINOR  version of the image (default 2.0)\n"
                 "  --version-check          refuse a mouse whose version is not older\n"
                 "  --save-user-data         carry the mouse's user data into the image\n"
                 "  --auto-reset             start the new firmware after a verified write\n"
                 "  --no-image               the configuration names no image\n"
                 "  --screenshot DIR         a PNG of the window at every change of the status line and device state\n"
                 "  --events                 JSON lines on stdout instead of the readable log\n"
                 "exit status: 0 after full success, 1 after any other outcome, 2 for a usage error\n");
}

bool ParseHex(const std::string& s, DWORD& v)
{
    if (s.empty() || s.size() > 8) return false;
    char* end = nullptr;
    unsigned long x = std::strtoul(s.c_str(), &end, 16);
    if (*end || s[0] == '-' || s[0] == '+') return false;
    v = static_cast<DWORD>(x);
    return true;
}

// Returns false with a message on stderr for a usage error.
bool ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tarvex-demo: %s needs a value\n", a.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--auto") {
            o.bAuto = true;
        } else if (a == "--time-scale") {
            if (!value(v)) return false;
            char* end = nullptr;
            o.dTimeScale = std::strtod(v.c_str(), &end);
            if (*end || !(o.dTimeScale > 0) || o.dTimeScale > 100) {
                std::fprintf(stderr, "tarvex-demo: bad time scale '%s'\n", v.c_str());
                return false;
            }
        } else if (a == "--fault") {
            if (!value(v)) return false;
            // One mouse here: a fault names no mouse number.
            if (!sim::IsFaultArgument(v) || v.find('@') != std::string::npos) {
                std::fprintf(stderr, "tarvex-demo: unknown fault '%s'\n", v.c_str());
                return false;
            }
            o.faults.push_back(v);
        } else if (a == "--device-program-id") {
            DWORD x = 0;
            if (!value(v)) return false;
            if (!ParseHex(v, x)) {
                std::fprintf(stderr, "tarvex-demo: bad program ID '%s'\n", v.c_str());
                return false;
            }
            o.devProgramId = x;
        } else if (a == "--device-version") {
            if (!value(v)) return false;
            char* end = nullptr;
            long x = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || x < 0 || x > 255) {
                std::fprintf(stderr, "tarvex-demo: bad device version '%s' (0..255)\n", v.c_str());
                return false;
            }
            o.devVersion = static_cast<int>(x);
        } else if (a == "--bootloader-present") {
            o.bBootloaderPresent = true;
        } else if (a == "--program-id") {
            DWORD x = 0;
            if (!value(v)) return false;
            if (!ParseHex(v, x) || x > 0xFFFF) {
                std::fprintf(stderr, "tarvex-demo: bad program ID '%s' (4 hex digits)\n", v.c_str());
                return false;
            }
            o.programId = static_cast<WORD>(x);
        } else if (a == "--program-ver") {
            if (!value(v)) return false;
            unsigned major = 0, minor = 0;
            char tail = 0;
            if (std::sscanf(v.c_str(), "%u.%u%c", &major, &minor, &tail) != 2 || major > 255 || minor > 255) {
                std::fprintf(stderr, "tarvex-demo: bad program version '%s' (MAJOR.MINOR)\n", v.c_str());
                return false;
            }
            o.wProgramVer = static_cast<WORD>(major << 8 | minor);
        } else if (a == "--version-check") {
            o.bVersionCheck = true;
        } else if (a == "--save-user-data") {
            o.bSaveUserData = true;
        } else if (a == "--auto-reset") {
            o.bAutoReset = true;
        } else if (a == "--no-image") {
            o.bNoImage = true;
        } else if (a == "--screenshot") {
            if (!value(o.screenshotDir)) return false;
        } else if (a == "--events") {
            o.bEvents = true;
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            std::exit(kExitSuccess);
        } else {
            std::fprintf(stderr, "tarvex-demo: unknown option '%s'\n", a.c_str());
            return false;
        }
    }
    return true;
}

bool Has(const Options& o, const char* fault) { return sim::HasFault(o.faults, fault, 1); }

Options g_opt;
int g_exitCode = kExitFailure;
std::atomic<HWND> g_hMainDlg{nullptr};
std::chrono::steady_clock::time_point g_start;

double ElapsedMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - g_start).count();
}

// Follows the window and reports what changes.
class CDemoApp : public CTarvexApp
{
protected:
    void OnDialogCreated(CTarvexDlg& dlg) override
    {
        m_pDlg = &dlg;
        dlg.m_fnObserver = [this](CTarvexDlg::Change c) { OnChange(c); };
    }

private:
    struct Shown {
        CString strText;
        COLORREF cr = 0;
        int nProgress = -1;
        CTarvexDlg::ResultPicture result = CTarvexDlg::ResultPicture::None;
        bool operator==(const Shown& o) const
        {
            return strText == o.strText && cr == o.cr && nProgress == o.nProgress && result == o.result;
        }
    };

    void OnChange(CTarvexDlg::Change c)
    {
        CTarvexDlg& dlg = *m_pDlg;
        using Change = CTarvexDlg::Change;
        switch (c) {
        case Change::AppDevice:
        case Change::IspDevice: ReportDevice(c == Change::AppDevice); break;
        case Change::RunStarted:
            if (!g_opt.bEvents) std::printf("[%8.1f ms] upgrade started\n", ElapsedMs());
            break;
        case Change::RunEnded: {
            bool ok = dlg.GetResultPicture() == CTarvexDlg::ResultPicture::Success && dlg.GetProgress() == 100;
            // The tool's word is checked against the simulated mouse itself: with another
            // bootloader on the bus the run succeeds on that device, not on the mouse.
            if (ok && !MouseHoldsImage(dlg)) {
                ok = false;
                std::fprintf(stderr, "tarvex-demo: the run reported success, but the image went to another device's "
                                     "bootloader; the mouse itself was not upgraded\n");
            }
            g_exitCode = ok ? kExitSuccess : kExitFailure;
            if (!g_opt.bEvents)
                std::printf("[%8.1f ms] upgrade ended: %s\n", ElapsedMs(), ok ? "success" : "not upgraded");
            // The status line changes before the result picture: one more with the outcome.
            if (!g_opt.screenshotDir.empty()) Screenshot();
            if (g_opt.bAuto && !m_bEnding) {
                m_bEnding = true;
                // One run: the mouse coming back after the reset must not start another.
                dlg.m_Config.bAutoUpgrade = FALSE;
                platform::ui::RunLater([this] { m_pDlg->EndDialog(IDCANCEL); });
            }
            break;
        }
        default: ReportState(c == Change::Status); break;
        }
        std::fflush(stdout);
    }

    static bool MouseHoldsImage(const CTarvexDlg& dlg)
    {
        const std::vector<BYTE> flash = sim::World::Instance().Flash();
        const DWORD n = dlg.m_AppHeader.dwDataSize;
        return dlg.m_pAppData && n <= flash.size() && std::memcmp(flash.data(), dlg.m_pAppData, n) == 0;
    }

    void ReportDevice(bool app)
    {
        CTarvexDlg& dlg = *m_pDlg;
        const bool present = app ? dlg.m_AppComm.IsOpen() : dlg.m_ISPComm.IsOpen();
        if (!g_opt.screenshotDir.empty()) Screenshot();
        if (g_opt.bEvents) {
            std::printf("{\"t_ms\":%.1f,\"notify\":\"%s\",\"present\":%s}\n", ElapsedMs(), app ? "app" : "isp",
                        present ? "true" : "false");
            return;
        }
        if (!app) {
            std::printf("[%8.1f ms] bootloader device %s\n", ElapsedMs(), present ? "arrived" : "gone");
            return;
        }
        CString id, ver;
        dlg.m_staticProgramID.GetWindowText(id);
        dlg.m_staticProgramVer.GetWindowText(ver);
        std::printf("[%8.1f ms] mouse (application mode) %s; program ID %s, version %s\n", ElapsedMs(),
                    present ? "connected" : "disconnected", id.IsEmpty() ? "-" : id.ToUtf8().c_str(),
                    ver.IsEmpty() ? "-" : ver.ToUtf8().c_str());
    }

    void ReportState(bool statusChanged)
    {
        CTarvexDlg& dlg = *m_pDlg;
        Shown now{dlg.GetStatusText(), dlg.GetStatusColor(), dlg.GetProgress(), dlg.GetResultPicture()};
        if (now.strText.IsEmpty()) now.cr = GetSysColor(COLOR_BTNFACE);
        if (now == m_last) return;
        const bool textChanged = !(now.strText == m_last.strText) || now.cr != m_last.cr;
        m_last = now;
        if (g_opt.bEvents) {
            std::printf("{\"t_ms\":%.1f,\"text\":%s,\"colour\":\"%s\",\"progress\":%d,\"result\":\"%s\"}\n", ElapsedMs(),
                        JsonString(now.strText).c_str(), StatusColourName(now.cr), now.nProgress, ResultPictureName(now.result));
        } else {
            std::printf("[%8.1f ms] %3d%%  %-7s  %-5s  %s\n", ElapsedMs(), now.nProgress, ResultPictureName(now.result),
                        StatusColourName(now.cr), now.strText.IsEmpty() ? "(status line cleared)" : now.strText.ToUtf8().c_str());
        }
        if (statusChanged && textChanged && !g_opt.screenshotDir.empty()) Screenshot();
    }

    void Screenshot()
    {
        char name[32];
#ifdef _WIN32
        // The whole window as the system draws it, frame and caption included.
        const platform::ui::Picture picture = platform::ui::PictureOfWindow(m_pDlg->m_hWnd, true);
        if (picture.argb.empty()) return;
        std::snprintf(name, sizeof name, "%02d.bmp", ++m_nShots);
        const std::string path = (std::filesystem::path(g_opt.screenshotDir) / name).string();
        if (!platform::ui::SavePictureBmp(picture, path))
            std::fprintf(stderr, "tarvex-demo: cannot write %s\n", path.c_str());
#else
        QWidget* w = platform::ui::WidgetOf(m_pDlg->m_hWnd);
        if (!w) return;
        std::snprintf(name, sizeof name, "%02d.png", ++m_nShots);
        const std::string path = (std::filesystem::path(g_opt.screenshotDir) / name).string();
        if (!w->grab().save(QString::fromStdString(path), "PNG"))
            std::fprintf(stderr, "tarvex-demo: cannot write %s\n", path.c_str());
#endif
    }

    CTarvexDlg* m_pDlg = nullptr;
    Shown m_last;
    int m_nShots = 0;
    bool m_bEnding = false;
};

CDemoApp theApp;

// The image and the configuration the tool finds in its directory.
bool MakeScratch(const std::filesystem::path& dir, const sim::MouseSettings& mouse)
{
    std::vector<BYTE> raw(kImageSize);
    for (DWORD i = 0; i < kImageSize; ++i) raw[i] = static_cast<BYTE>((i * 131u + (i >> 8) * 7u) & 0xFF);
    std::vector<BYTE> file;
    if (EncodeAppImage("demo", raw.data(), kImageSize, static_cast<DWORD>(std::time(nullptr)), file) != 0) return false;
    const CString imagePath = platform::WindowsPath((dir / "demo.bimg").string());
    HANDLE h = CreateFileW(imagePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(h, file.data(), static_cast<DWORD>(file.size()), &written, nullptr);
    CloseHandle(h);
    if (!ok || written != file.size()) return false;

    ENC_FILE_HEADER header = HeaderFromBytes(file.data());
    SYSTEM_CONFIG cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    if (!g_opt.bNoImage) {
        std::memcpy(cfg.szAppFile, u"demo.bimg", sizeof(u"demo.bimg"));
        std::memcpy(cfg.szAppName, header.szName, sizeof(cfg.szAppName));
        cfg.dwAppCrc = header.dwDataCrc;
    }
    cfg.wProgramID = g_opt.programId ? *g_opt.programId : static_cast<WORD>(mouse.programId & 0xFFFF);
    cfg.wProgramVer = g_opt.wProgramVer;
    cfg.bAutoUpgrade = g_opt.bAuto;
    cfg.bAutoReset = g_opt.bAutoReset || Has(g_opt, "reset");
    cfg.bVersionCheck = g_opt.bVersionCheck;
    cfg.bSaveUserData = g_opt.bSaveUserData || Has(g_opt, "user-data");
    std::memcpy(cfg.szTitle, u"DUN-X4游戏鼠标ROM升级工具 (demo)", sizeof(u"DUN-X4游戏鼠标ROM升级工具 (demo)"));
    const CString cfgPath = platform::WindowsPath((dir / "Tarvex.cfg").string());
    return SaveSystemConfig(cfgPath, &cfg) != 0;
}

sim::Faults MakeFaults()
{
    // The window asks for the program info when the mouse arrives, before the run's own requests.
    return sim::FaultsFor(g_opt.faults, 1, 1);
}

#ifdef _WIN32
std::filesystem::path g_scratch;
std::atomic<int> g_nSignals{0};

// Ctrl+C closes the window the normal way, so the scratch directory is removed; a second one
// ends the process at once. The runtime calls this on a thread of its own.
void OnInterrupt(int)
{
    const HWND hDlg = g_hMainDlg.load();
    if (++g_nSignals == 1 && hDlg && PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0)) {
        std::signal(SIGINT, &OnInterrupt);
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(g_scratch, ec);
    std::_Exit(130);
}

// A fresh directory of our own under the temporary directory.
bool MakeScratchDir(std::filesystem::path& out)
{
    const auto base = std::filesystem::temp_directory_path();
    for (unsigned i = 0; i < 1000; ++i) {
        const auto dir = base / ("tarvex-demo-" + std::to_string(_getpid()) + "-" + std::to_string(i));
        std::error_code ec;
        if (std::filesystem::create_directory(dir, ec)) {
            out = dir;
            return true;
        }
    }
    return false;
}
#endif

} // namespace

int main(int argc, char** argv)
{
    g_start = std::chrono::steady_clock::now();
    if (!ParseOptions(argc, argv, g_opt)) {
        Usage(stderr);
        return kExitUsage;
    }
#ifdef _WIN32
    const bool offscreen = false; // Windows always has a desktop
#else
    const bool headless = !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY");
    if (headless && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const bool offscreen = headless || (std::getenv("QT_QPA_PLATFORM") && std::string(std::getenv("QT_QPA_PLATFORM")) == "offscreen");
#endif

    if (!g_opt.screenshotDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(g_opt.screenshotDir, ec);
        if (ec) {
            std::fprintf(stderr, "tarvex-demo: cannot create %s: %s\n", g_opt.screenshotDir.c_str(), ec.message().c_str());
            return kExitUsage;
        }
    }

#ifdef _WIN32
    if (!MakeScratchDir(g_scratch)) {
        std::fprintf(stderr, "tarvex-demo: cannot make a scratch directory\n");
        return kExitFailure;
    }
    const std::filesystem::path scratch = g_scratch;
    std::signal(SIGINT, &OnInterrupt);
#else
    // Ctrl+C and SIGTERM close the window the normal way, so the scratch directory is removed;
    // a second one ends the process at once. Blocked here, before any thread exists, and
    // taken by one thread with sigwait.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    std::string tmpl = (std::filesystem::temp_directory_path() / "tarvex-demo-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
        std::perror("tarvex-demo: scratch directory");
        return kExitFailure;
    }
    const std::filesystem::path scratch = tmpl;
    // Qt wants a private runtime directory; a bare container has none. mkdtemp made this one 0700.
    if (!std::getenv("XDG_RUNTIME_DIR")) setenv("XDG_RUNTIME_DIR", tmpl.c_str(), 1);
#endif

    platform::SetTimeScale(g_opt.dTimeScale);
    sim::World& world = sim::World::Instance();
    world.Reset();
    sim::World::Install();
    sim::MouseSettings mouse;
    if (g_opt.devProgramId) mouse.programId = *g_opt.devProgramId;
    if (g_opt.devVersion) mouse.version = static_cast<BYTE>(*g_opt.devVersion);
    if (!MakeScratch(scratch, mouse)) {
        std::fprintf(stderr, "tarvex-demo: cannot write the image and configuration in %s\n", scratch.string().c_str());
        return kExitFailure;
    }
    if (Has(g_opt, "program-id") && !g_opt.devProgramId) mouse.programId = sim::kForeignProgramId;
    world.SetMouseSettings(mouse);
    world.SetFaults(MakeFaults());
    if (g_opt.bBootloaderPresent) world.AddHidInterface(0x040B, 0x6876, 0xFF00, 65);
    platform::OverrideModuleFileName((scratch / "tarvex").string());

    if (!g_opt.bEvents)
        std::printf("tarvex-demo: tool directory %s, time scale %g%s\n", scratch.string().c_str(), g_opt.dTimeScale,
                    offscreen ? ", offscreen" : "");
    if (offscreen && !g_opt.bAuto)
        std::fprintf(stderr, "tarvex-demo: no display and no --auto: the window runs offscreen until stopped (Ctrl+C)\n");

    // Nobody is there to answer a box offscreen or in an automatic run.
    if (g_opt.bAuto || offscreen) {
        platform::ui::SetMessageBoxHook([](const platform::ui::MessageBoxCall& call) {
            std::fprintf(stderr, "tarvex-demo: message box \"%s\" [%s]: OK\n", call.strText.ToUtf8().c_str(),
                         call.strCaption.ToUtf8().c_str());
            return IDOK;
        });
    }

#ifndef _WIN32
    std::atomic<bool> bDone{false};
    std::thread sigThread([&sigs, &bDone, scratch] {
        for (int nSignals = 0;;) {
            int sig = 0;
            if (sigwait(&sigs, &sig) != 0 || bDone) return;
            if (sig == SIGUSR1) continue;
            const HWND hDlg = g_hMainDlg.load();
            if (++nSignals == 1 && hDlg && PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0)) continue;
            std::error_code ec;
            std::filesystem::remove_all(scratch, ec);
            std::_Exit(130);
        }
    });
#endif
    platform::ui::SetDialogShownHook([](HWND h) {
        HWND none = nullptr;
        g_hMainDlg.compare_exchange_strong(none, h); // the first dialog shown is the main window
    });

    std::thread plug([] {
        Sleep(kPlugDelayMs); // on the scaled clock
        sim::World::Instance().PlugMouse();
    });

    tarvex::res::RegisterResources();
    platform::ui::RunApp(argc > 0 ? 1 : 0, argv);
    plug.join();
#ifndef _WIN32
    bDone = true;
    pthread_kill(sigThread.native_handle(), SIGUSR1);
    sigThread.join();
#endif

    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
    return g_exitCode;
}
