// debugcapture.h - the debug output of the test's own process, captured.
//
// The deliverables write diagnostics with OutputDebugStringW. With no debugger
// attached, every call raises DBG_PRINTEXCEPTION_C, which a vectored handler
// sees; the text of every call is kept in order, with the thread that made
// it. GoogleTest writes each failure's report (and a "\n") the same way, on
// the thread that failed: a test takes what it compares before it asserts,
// and checks of another thread's calls (the reply listener's echo) leave out
// the test's own thread, the one that started the capture.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace bench {

// Idempotent; also clears what was captured. The calling thread is the
// test's own from then on.
void StartDebugCapture();
void ClearDebugCapture();

enum class Callers {
    Any,             // every thread
    NotTheTest,      // every thread but the one that started the capture
};

// Each OutputDebugString call's text, in order.
std::vector<std::string> DebugCalls(Callers callers = Callers::Any);
// All text (of those callers), cut after every "\r\n" (terminators kept); a
// trailing piece without a terminator is the last element.
std::vector<std::string> DebugLines(Callers callers = Callers::Any);
std::string DebugText(Callers callers = Callers::Any);

// Called on the calling thread for every captured call, after it is stored
// (e.g. to look at other state at the moment a line is written). Pass an
// empty function to remove it.
void SetDebugCallHook(std::function<void(const std::string &call)> hook);

// Splits text the way DebugLines does.
std::vector<std::string> SplitDebugLines(const std::string &text);

}  // namespace bench
