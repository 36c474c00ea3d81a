// The USB hub driver's device I/O controls, behind names and types of our own (see
// Win32Api.h for why), and the driver's own figures for the records, so that a test can hold
// our byte layouts against the system headers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::win32 {

// "\\.\HCD0", "\\.\<hub name>" or a controller's interface path; null when it does not open.
void* OpenUsbNode(const char16_t* path);
bool UsbIoControl(void* node, std::uint32_t code, const void* in, std::uint32_t inLen, void* out,
                  std::uint32_t outLen, std::uint32_t* returned);
void CloseUsbNode(void* node);
// The interface paths of the present host controllers (GUID_DEVINTERFACE_USB_HOST_CONTROLLER),
// in SetupAPI's order.
std::vector<std::u16string> HostControllerInterfaces();

struct HubRecordFacts {
    std::uint32_t getRootHubName, getNodeInformation, getNodeConnectionInformation,
        getDescriptorFromNodeConnection, getNodeConnectionName;
    std::size_t connInfoFixedSize;    // USB_NODE_CONNECTION_INFORMATION up to PipeList
    std::size_t connInfoPipeSize;     // USB_PIPE_INFO
    std::size_t connDeviceIsHub, connDeviceAddress, connNumberOfOpenPipes, connConnectionStatus;
    std::size_t nodeInfoSize;         // USB_NODE_INFORMATION
    std::size_t nodeInfoNumberOfPorts;
    std::size_t rootHubNameHeader;    // USB_ROOT_HUB_NAME with one name unit
    std::size_t connNameHeader;       // USB_NODE_CONNECTION_NAME with one name unit
    std::uint32_t getHcdDriverKeyName;
    std::size_t hcdDriverKeyNameHeader; // USB_HCD_DRIVERKEY_NAME with one name unit
    std::size_t descReqHeader;        // USB_DESCRIPTOR_REQUEST up to Data
    std::size_t descReqWValue, descReqWLength;
};
HubRecordFacts SystemHubRecordFacts();

} // namespace platform::win32
