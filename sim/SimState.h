// A simulated mouse kept in a file between commands (tarvexctl --sim-state), as a real mouse
// keeps its mode, flash and identity while it lies on the bench:
//   tarvex-sim-state 1
//   port=N  mode=application|bootloader  firmware=ok|broken  program_id=…  version=…  device_id=…
//   user_data_N=<512 hex digits> (blocks 0..15)  flash=<hex, the erased tail left out>
// A mouse whose flash was erased and not rewritten with a verified image is "broken": it comes
// back in its bootloader, with only the identity its flash holds.
#pragma once
#include <string>
#include <vector>

#include "sim/World.h"

namespace sim {

struct SimState {
    int port = 1; // on the root hub of controller 0: a mouse keeps its place on the bench
    bool bootloader = false;
    bool broken = false;
    MouseSettings settings;
    std::vector<BYTE> flash;
};

// False with the reason for a file that is not a regular file, too large, or not a state.
bool ReadSimState(const std::string& path, SimState& state, std::string& error);
// Written whole or not at all, never through a link. False with the reason.
bool WriteSimState(const std::string& path, const SimState& state, std::string& error);

// The state of mouse k of the world now. broken: the caller's verdict on its firmware; a
// broken mouse is saved with the identity its flash holds.
SimState CaptureSimState(World& w, int mouse, bool broken);
// Puts a saved mouse k on the bus (plugged in at the given port; in its bootloader when it
// was there or broken).
void RestoreSimState(World& w, int mouse, const SimState& state, int hub, int port);

} // namespace sim
