// tarvexctl upgrade --all and --loop --parallel: one run per port, every port at once.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "tools/tarvexctl/Field.h"

namespace field {

struct StationOptions {
    CommonOptions common;
    bool bLoop = false;            // --loop --parallel: each port takes its next mouse as it comes
    std::optional<long> count;     // mice in all, over every port
    std::string report;
    std::vector<std::string> ports; // --ports: only these port paths
    int simMice = 1;               // --sim-mice N: simulated mice on ports 1-1 .. 1-N
};

int UpgradeStation(const StationOptions& o);

} // namespace field
