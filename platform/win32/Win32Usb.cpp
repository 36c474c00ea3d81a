// The one file that sees the hub driver's headers; see Win32Usb.h.
#include <windows.h>
#include <winioctl.h>
#include <usbioctl.h>

#include <cstddef>

#include "platform/win32/Win32Usb.h"

namespace platform::win32 {

void* OpenUsbNode(const char16_t* path)
{
    // Hub requests need no read or write access; write access is what the hub driver asks of
    // a handle on older systems, so it is requested and shared.
    HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(path), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           0, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool UsbIoControl(void* node, std::uint32_t code, const void* in, std::uint32_t inLen, void* out,
                  std::uint32_t outLen, std::uint32_t* returned)
{
    DWORD n = 0;
    BOOL ok = DeviceIoControl(static_cast<HANDLE>(node), code, const_cast<void*>(in), inLen, out, outLen, &n, nullptr);
    if (returned) *returned = ok ? n : 0;
    return ok != FALSE;
}

void CloseUsbNode(void* node)
{
    if (node) CloseHandle(static_cast<HANDLE>(node));
}

HubRecordFacts SystemHubRecordFacts()
{
    HubRecordFacts f{};
    f.getRootHubName = IOCTL_USB_GET_ROOT_HUB_NAME;
    f.getNodeInformation = IOCTL_USB_GET_NODE_INFORMATION;
    f.getNodeConnectionInformation = IOCTL_USB_GET_NODE_CONNECTION_INFORMATION;
    f.getDescriptorFromNodeConnection = IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION;
    f.getNodeConnectionName = IOCTL_USB_GET_NODE_CONNECTION_NAME;
    f.connInfoFixedSize = offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList);
    f.connInfoPipeSize = sizeof(USB_PIPE_INFO);
    f.connDeviceIsHub = offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceIsHub);
    f.connDeviceAddress = offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceAddress);
    f.connNumberOfOpenPipes = offsetof(USB_NODE_CONNECTION_INFORMATION, NumberOfOpenPipes);
    f.connConnectionStatus = offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus);
    f.nodeInfoSize = sizeof(USB_NODE_INFORMATION);
    f.nodeInfoNumberOfPorts = offsetof(USB_NODE_INFORMATION, u) + offsetof(USB_HUB_INFORMATION, HubDescriptor) +
                              offsetof(USB_HUB_DESCRIPTOR, bNumberOfPorts);
    f.rootHubNameHeader = sizeof(USB_ROOT_HUB_NAME);
    f.connNameHeader = sizeof(USB_NODE_CONNECTION_NAME);
    f.descReqHeader = offsetof(USB_DESCRIPTOR_REQUEST, Data);
    f.descReqWValue = offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket) + offsetof(decltype(USB_DESCRIPTOR_REQUEST::SetupPacket), wValue);
    f.descReqWLength = offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket) + offsetof(decltype(USB_DESCRIPTOR_REQUEST::SetupPacket), wLength);
    return f;
}

} // namespace platform::win32
