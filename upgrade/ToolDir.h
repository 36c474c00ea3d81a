// Where the tool keeps its files (configuration, image, recovery journal, run log). One
// function, so an installed copy can keep them elsewhere without touching its callers.
#pragma once
#include "platform/CString.h"

// Ends in a backslash; empty if the executable's path is unknown.
CString GetToolDir();
