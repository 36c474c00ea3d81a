// The presence-poll loop both device classes run as their thread body.
#pragma once
#include <atomic>
#include <functional>
#include <vector>

#include "device/HIDComm.h"

// About once a second: find and open the device, or probe the open one and close it when it
// has gone; each successful flip posts `messageName` to the owner window with wParam = the
// device is open. findDevices lists the candidates in enumeration order; the first that opens
// is taken, so one that refuses access (or the class's own checks) does not hide the next.
// Returns 0 when stopRequested() is seen after a step.
unsigned RunPresencePoll(CHIDComm& comm, const std::function<bool()>& stopRequested,
                         const std::function<std::vector<CString>()>& findDevices, LPCWSTR messageName,
                         const std::atomic<HWND>& owner);
