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
std::string g_reason; // under g_mu
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
    const std::string reason = path +
#ifdef _WIN32
                               " is present but cannot be opened (access denied; another program may hold it)";
#else
                               " is present but cannot be opened (permission denied); install "
                               "packaging/udev/70-tarvex.rules";
#endif
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_reason = reason;
    }
    g_denied.store(true);
    // Once per process: the poll loop retries every second.
    if (!g_deniedLogged.exchange(true)) std::fprintf(stderr, "tarvex: %s\n", reason.c_str());
}

void ClearAccessDenied()
{
    g_denied.store(false);
    std::lock_guard<std::mutex> lk(g_mu);
    g_reason.clear();
}

std::string AccessDeniedReason()
{
    std::lock_guard<std::mutex> lk(g_mu);
    return g_denied.load() ? g_reason : std::string();
}

} // namespace platform::hid
