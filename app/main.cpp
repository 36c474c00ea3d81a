// The product: the real HID and USB backends, the configuration and image in the tool
// directory. --help, --version and --where answer and exit before any window exists, so
// they work without a display; every other argument is left to Qt, as before.
#ifndef _WIN32
#include <QGuiApplication>
#endif

#include <cstdio>
#include <cstring>
#include <string>

#include "app/TarvexApp.h"
#include "encfile/ToolDir.h"
#include "res/Resources.h"

CTarvexApp theApp;

namespace {

void PrintHelp(const tarvex::ToolDirSettings& s)
{
    std::printf(
        "usage: tarvex [--help | --version | --where]\n"
        "\n"
        "Upgrades the application firmware of a DUN-X4 gaming mouse. Without an option it opens\n"
        "its window; other arguments are the Qt toolkit's own (for example -platform).\n"
        "\n"
        "  --help     print this text and exit\n"
        "  --version  print the version and exit\n"
        "  --where    print the tool directory this copy uses and exit\n"
        "\n"
        "The tool directory holds Tarvex.cfg and the firmware image it names; the hidden\n"
        "configuration entry (Alt+Space, 系统配置) writes both there. A copy started from\n"
        "%s, where it was installed, uses $XDG_DATA_HOME/tarvex (by default\n"
        "~/.local/share/tarvex), created on first use; while that holds no Tarvex.cfg, the\n"
        "administrator's default in %s is copied in. Any other copy uses its own directory.\n",
        s.installedBinDir.c_str(), s.systemDir.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    tarvex::SetToolDirSettings({TARVEX_INSTALL_BINDIR, TARVEX_SYSTEM_DIR});

    if (argc >= 2) {
        const char* a = argv[1];
        const bool help = !std::strcmp(a, "--help") || !std::strcmp(a, "-h");
        const bool version = !std::strcmp(a, "--version");
        const bool where = !std::strcmp(a, "--where");
        if (help || version || where) {
            if (argc > 2) {
                std::fprintf(stderr, "tarvex: %s takes no further arguments\n", a);
                return 2;
            }
            if (help) PrintHelp(tarvex::GetToolDirSettings());
            if (version) std::printf("tarvex %s\n", TARVEX_VERSION);
            if (where) {
                std::string dir = tarvex::CurrentToolDir(false).dir;
#ifdef _WIN32
                if (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back(); // "C:\" stays
#else
                if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
#endif
                std::printf("%s\n", dir.c_str());
            }
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    }

#ifndef _WIN32
    // Lets a Wayland compositor match the window to the menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(TARVEX_APP_ID));
#endif
    tarvex::res::RegisterResources();
    return platform::ui::RunApp(argc, argv);
}
