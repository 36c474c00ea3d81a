#include "device/PresencePoll.h"

#include "platform/Clock.h"
#include "platform/Messages.h"

namespace {
constexpr DWORD kPollIntervalMs = 1000;
}

unsigned RunPresencePoll(CHIDComm& comm, const std::function<bool()>& stopRequested,
                         const std::function<std::vector<CString>()>& findDevices, LPCWSTR messageName,
                         const std::atomic<HWND>& owner)
{
    if (stopRequested()) return 0;
    int countdown = 0;
    do {
        if (countdown > 0) {
            Sleep(kPollIntervalMs);
            --countdown;
            continue;
        }
        if (comm.IsOpen()) {
            HID_ATTRIBUTES_CAPABILITES rec;
            if (!comm.GetHIDAttCap(&rec)) {
                comm.Close();
                if (HWND hwnd = owner.load())
                    PostMessageW(hwnd, RegisterWindowMessageW(messageName), comm.IsOpen() ? 1 : 0, 0);
            }
        } else {
            for (const CString& path : findDevices()) {
                if (comm.Open(path) != 0) continue;
                if (HWND hwnd = owner.load())
                    PostMessageW(hwnd, RegisterWindowMessageW(messageName), comm.IsOpen() ? 1 : 0, 0);
                break;
            }
        }
        countdown = 1;
    } while (!stopRequested());
    return 0;
}
