#include "device/HIDCommSTD.h"

#include <vector>

namespace {
// Bounds how long Close waits for the reader; reports are delivered as they arrive.
constexpr unsigned kReaderPollMs = 100;
constexpr std::size_t kReaderBuffer = 1024;
} // namespace

CHIDCommSTD::CHIDCommSTD() = default;

CHIDCommSTD::~CHIDCommSTD() { CHIDCommSTD::Close(); }

long CHIDCommSTD::Open(LPCWSTR path) { return CHIDComm::Open(path); }

long CHIDCommSTD::Close() { return CHIDComm::Close(); }

long CHIDCommSTD::Write(const BYTE* buf, DWORD length, DWORD* written, OVERLAPPED* ov, DWORD timeoutMs)
{
    return CHIDComm::Write(buf, length, written, ov, timeoutMs);
}

long CHIDCommSTD::Read(BYTE* buf, DWORD length, DWORD* read, OVERLAPPED* ov, DWORD timeoutMs)
{
    // Input reports belong to the reader thread while a device is open.
    if (read) *read = 0;
    return -1;
}

bool CHIDCommSTD::OnInputReport(const BYTE*, DWORD) { return true; }

void CHIDCommSTD::OnOpened()
{
    m_pReaderDevice = Device();
    m_bStopReader.store(false);
    try {
        m_reader = std::thread([this] { ThreadProc(); });
    } catch (...) {
        m_pReaderDevice.reset(); // no reader: requests time out, nothing worse
    }
}

void CHIDCommSTD::OnClosing()
{
    m_bStopReader.store(true);
    if (m_reader.joinable()) m_reader.join();
    m_pReaderDevice.reset();
}

DWORD CHIDCommSTD::ThreadProc()
{
    auto dev = m_pReaderDevice;
    if (!dev) return 0;
    std::vector<BYTE> buf(kReaderBuffer);
    while (!m_bStopReader.load()) {
        int n = dev->Read(buf.data(), buf.size(), kReaderPollMs);
        if (n < 0) break; // gone: the presence poll closes the object
        if (n > 0) OnInputReport(buf.data(), static_cast<DWORD>(n));
    }
    return 0;
}
