// A delay on the UI thread that keeps window messages flowing. It blocks between messages
// (MsgWaitForSingleObject) instead of spinning, so a 30-second wait costs no CPU.
#pragma once
#include "platform/WinTypes.h"

void PumpWait(DWORD ms);
