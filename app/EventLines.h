// One JSON line on stdout per visible change of the main window, for scripts and tests that
// drive the product itself (the real-kernel test reads the outcome of a run from them).
// The product prints them only when TARVEX_EVENTS is set to a value other than "0"; the lines
// have the shape of tarvex-demo's --events lines, plus {"t_ms":..,"run":"started"|"ended"}.
#pragma once
#include "app/TarvexDlg.h"

void AttachEventLines(CTarvexDlg& dlg);
// Whether the environment asks for the lines.
bool EventLinesWanted();
// "initial", "success", "failure" or "none": the result picture as the event lines name it.
const char* ResultPictureName(CTarvexDlg::ResultPicture picture);
