// monitor.h - a program's debug output taken from Wine's own trace of it,
// without a debugger.
//
// Under a debugger every OutputDebugString call is a debug event: the
// program stops until the debugger has read the text (0.4 to 0.8 ms a call
// here), too slow for a call per character of a full 38,400-baud line.
// With no debugger attached, Wine hands each call to its exception
// dispatcher, which with WINEDEBUG=warn+seh traces the text on the Unix
// standard error of the program, one line a call:
//     0024:warn:seh:dispatch_exception "text\r\n"
// escaped as C text. That costs the program about 50 us a call. The calls
// come whole and in the order they were made (each trace line is one
// write). Wine cuts a traced text after about 290 characters and puts "..."
// after the closing quote; such a call comes out cut, followed by "...".
//
// Wine gives a program it starts the standard error of its Unix parent,
// whatever the Windows handles say, so the trace is taken from a pipe that
// the shell sets up: scripts/rxconf.sh runs
//     WINEDEBUG=-all,warn+seh wine rxconf.exe 2>&1 >&3 | wine debugtap.exe --decode
//
// Threads: the caller's only.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace bench {

using TextSink = std::function<void(const char *text, size_t length)>;

// The text of one trace line of a debug call, or false when the line is
// something else.
bool ParseTracedCall(const std::string &line, std::string *text);

// Reads trace lines from input until it ends: the text of every debug call
// goes to calls, in order, every other line (with its "\n") to otherLines.
void DecodeTrace(HANDLE input, const TextSink &calls, const TextSink &otherLines);

}  // namespace bench
