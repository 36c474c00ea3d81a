// The tool directory is GetModuleDir (encfile/SystemConfig.h), the one name the application
// and the tools use; tarvex::CurrentToolDir (encfile/ToolDir.h) is the decision behind it,
// for callers that need to know why a directory was chosen or refused. GetToolDir is the
// same function under the name the main dialog still calls it by.
#pragma once
#include "encfile/SystemConfig.h"

inline CString GetToolDir() { return GetModuleDir(); }
