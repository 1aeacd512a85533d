// runcapture.h - runs a program with its standard output and error in a
// pipe, for tests of command-line programs (debugtap.exe, devmgr.exe).
//
// Threads: RunCaptured reads the pipe on the calling thread until every
// holder of its write end (the program and anything it started) has gone.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace bench {

struct CapturedRun {
  bool started = false;
  DWORD startError = 0;
  bool timedOut = false;  // the program was killed after timeoutMs
  DWORD exitCode = 0;
  std::string output;     // standard output and error, as written
};

CapturedRun RunCaptured(const std::wstring &commandLine, DWORD timeoutMs);

// A file beside the running program (every build output lands in one bin
// folder), e.g. BinPath(L"tapchild.exe").
std::wstring BinPath(const std::wstring &name);

// The lines of captured text (cut at "\n", a "\r" before it dropped).
std::vector<std::string> OutputLines(const std::string &text);

}  // namespace bench
