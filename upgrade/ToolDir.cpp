#include "upgrade/ToolDir.h"

#include "encfile/SystemConfig.h"

CString GetToolDir()
{
    return GetModuleDir();
}
