// The faults a person names on a command line (tarvex-demo --fault, tarvexctl --simulate
// --fault), one table for both, and what each does to a simulated mouse.
#pragma once
#include <string>
#include <vector>

#include "sim/World.h"

namespace sim {

// program-info program-id device-id user-data no-bootloader erase write read verify reset
// unplug-app unplug-isp isp-held isp-denied, in that order.
const std::vector<std::string>& FaultNames();
// "NAME" or "NAME@N" (N from 1: only mouse N of a loop or station). False for anything else.
bool IsFaultArgument(const std::string& arg);
// Whether the arguments name that fault for mouse n (from 1).
bool HasFault(const std::vector<std::string>& args, const std::string& name, int mouse);
// The faults of mouse n. requestsOnArrival: the requests the face makes when a mouse arrives,
// before the run's own first one (the window asks for the program info; a loop of tarvexctl
// for the device ID), so that unplug-app pulls the mouse out after the run's first request.
Faults FaultsFor(const std::vector<std::string>& args, int mouse, int requestsOnArrival);
// What "program-id" makes the mouse report instead of its own program ID.
inline constexpr DWORD kForeignProgramId = 0x00011234;

} // namespace sim
