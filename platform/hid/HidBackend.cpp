#include "platform/hid/HidBackend.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace platform::hid {
namespace {
std::mutex g_mu;
std::shared_ptr<IHidBackend> g_backend;
std::atomic<bool> g_denied{false};
std::atomic<bool> g_deniedLogged{false};
} // namespace

std::shared_ptr<IHidBackend> GetBackend()
{
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_backend) g_backend = MakeSystemBackend();
    return g_backend;
}

void InstallBackend(std::shared_ptr<IHidBackend> backend)
{
    std::lock_guard<std::mutex> lk(g_mu);
    g_backend = std::move(backend);
}

bool AccessDeniedSeen() { return g_denied.load(); }

void NoteAccessDenied(const std::string& path)
{
    g_denied.store(true);
    // Once per process: the poll loop retries every second.
    if (!g_deniedLogged.exchange(true))
        std::fprintf(stderr,
#ifdef _WIN32
                     "tarvex: %s is present but cannot be opened (access denied; another program "
                     "may hold it)\n",
#else
                     "tarvex: %s is present but cannot be opened (permission denied); "
                     "install packaging/udev/70-tarvex.rules\n",
#endif
                     path.c_str());
}

void ClearAccessDenied() { g_denied.store(false); }

} // namespace platform::hid
