// A small HID report descriptor reader: just enough to give each top-level collection its
// usage and its input, output and feature report byte lengths the way the HID class driver
// counts them (longest report of each kind plus the report ID byte).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::hid {

struct TopLevelCollection {
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    // Input reports are numbered. As in the kernel, this holds for the whole descriptor once
    // any input report carries an ID, wherever the Report ID item stands.
    bool usesReportIds = false;
    // The IDs of this collection's own input reports (empty when unnumbered), so a reader of
    // a node shared by several collections can keep only its own reports.
    std::vector<std::uint8_t> inputReportIds;
    std::uint16_t inputReportLength = 0;
    std::uint16_t outputReportLength = 0;
    std::uint16_t featureReportLength = 0;
};

// Returns false (and an empty list) for a descriptor that is malformed: a truncated item,
// unbalanced collections, a pop without push, or a report larger than 64 KiB. Main items
// outside any collection are ignored.
bool ParseReportDescriptor(const std::uint8_t* data, std::size_t length, std::vector<TopLevelCollection>& out);

} // namespace platform::hid
