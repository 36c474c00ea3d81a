#include "platform/hid/HidBackend.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>

namespace platform::hid {
namespace {
std::mutex g_mu;
std::shared_ptr<IHidBackend> g_backend;
std::atomic<bool> g_denied{false};
std::set<std::string> g_deniedLogged; // paths already reported, under g_mu
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
    bool first = false;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_reason = reason;
        // Once per node: the poll loop retries every second. Bounded by the nodes a machine has.
        if (g_deniedLogged.size() < 256) first = g_deniedLogged.insert(path).second;
    }
    g_denied.store(true);
    if (first) std::fprintf(stderr, "tarvex: %s\n", reason.c_str());
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
