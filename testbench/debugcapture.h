// debugcapture.h - the debug output of the test's own process, captured.
//
// The deliverables write diagnostics with OutputDebugStringW. With no debugger
// attached, every call raises DBG_PRINTEXCEPTION_C, which a vectored handler
// sees; the text of every call is kept in order, whatever thread made it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace bench {

void StartDebugCapture();   // idempotent; also clears what was captured
void ClearDebugCapture();

// Each OutputDebugString call's text, in order.
std::vector<std::string> DebugCalls();
// All text, cut after every "\r\n" (terminators kept); a trailing piece
// without a terminator is the last element.
std::vector<std::string> DebugLines();
std::string DebugText();

// Called on the calling thread for every captured call, after it is stored
// (e.g. to look at other state at the moment a line is written). Pass an
// empty function to remove it.
void SetDebugCallHook(std::function<void(const std::string &call)> hook);

// Splits text the way DebugLines does.
std::vector<std::string> SplitDebugLines(const std::string &text);

}  // namespace bench
