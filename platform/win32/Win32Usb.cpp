// The one file that sees the hub driver's headers; see Win32Usb.h.
#include <windows.h>
#include <initguid.h>
#include <setupapi.h>
#include <winioctl.h>
#include <usbioctl.h>
#include <usbiodef.h>

#include <cstddef>
#include <vector>

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

std::vector<std::u16string> HostControllerInterfaces()
{
    std::vector<std::u16string> out;
    const GUID guid = GUID_DEVINTERFACE_USB_HOST_CONTROLLER;
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return out;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA itf{};
        itf.cbSize = sizeof itf;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &itf)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
            continue;
        }
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &itf, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || required > 64 * 1024) continue;
        std::vector<BYTE> buf(required + sizeof(WCHAR), 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, required, nullptr, nullptr)) continue;
        std::u16string path(reinterpret_cast<const char16_t*>(detail->DevicePath));
        if (!path.empty()) out.push_back(std::move(path));
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
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
    f.getHcdDriverKeyName = IOCTL_GET_HCD_DRIVERKEY_NAME;
    f.hcdDriverKeyNameHeader = sizeof(USB_HCD_DRIVERKEY_NAME);
    f.descReqHeader = offsetof(USB_DESCRIPTOR_REQUEST, Data);
    f.descReqWValue = offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket) + offsetof(decltype(USB_DESCRIPTOR_REQUEST::SetupPacket), wValue);
    f.descReqWLength = offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket) + offsetof(decltype(USB_DESCRIPTOR_REQUEST::SetupPacket), wLength);
    return f;
}

} // namespace platform::win32
