// What the window, the demo's --events, the product's TARVEX_EVENTS lines and tarvexctl's
// --json output share: one way to write a text as a JSON string, and the names of the
// status-line colours.
#pragma once
#include <string>

#include "platform/CString.h"
#include "platform/WinTypes.h"

// A JSON string that stays valid UTF-8 whatever the text holds: a lone surrogate (a file name
// byte that is not UTF-8, see CString::FromUtf8Escaped, or a broken text field) is written as
// its \uXXXX escape, which a JSON reader turns back into the same code unit.
std::string JsonString(const CString& text);
// Text that came in as bytes (a path from the command line) or as UTF-8.
std::string JsonString(const std::string& bytes);

// "blue", "red", "green", or "face" for anything else (the cleared line).
const char* StatusColourName(COLORREF colour);
