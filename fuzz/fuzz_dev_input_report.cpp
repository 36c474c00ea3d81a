// Input reports of any length and content into the application-mode reply handler, with a
// request pending for the command the first byte chooses.
#include <cstddef>
#include <cstdint>

#include "device/QL40USBComm.h"
#include "platform/Messages.h"

namespace {
class Sink : public IMessageTarget
{
public:
    LRESULT ReceiveMessage(UINT, WPARAM, LPARAM) override { return 0; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Sink sink;
    static HWND hwnd = platform::RegisterWindow(&sink);
    static CQL40USBComm comm;
    comm.m_hOwnerWnd = (size & 1) ? hwnd : nullptr;
    comm.OnInputReport(data, static_cast<DWORD>(size));
    if (platform::PendingMessageCount() > 1000) platform::ClearMessageQueue();
    return 0;
}
