// debugtap.h - runs a program under the debugger and keeps its debug output.
//
// The program is started with DEBUG_ONLY_THIS_PROCESS on a debugger thread of
// its own (the platform delivers debug events only to the thread that created
// the process, and ends the program if that thread goes away first). Every
// OutputDebugString call arrives there whole and in order, whatever thread of
// the program made it, and the program's exit code comes with the last event;
// a program killed from outside, which Wine reports as exit code 0, gets
// kKilledExitCode instead.
//
// Threads: the debugger thread is the only writer of the captured calls, the
// exit code and the "exited" flag; it publishes them under the object's mutex
// and wakes the waiters. Every other member is used by the owning thread.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// Called on the debugger thread once per OutputDebugString call, with the
// call's text, while the program is held. Keep it short.
using DebugCallSink = std::function<void(const std::string &call)>;

class DebuggedProcess {
 public:
  DebuggedProcess() = default;
  DebuggedProcess(const DebuggedProcess &) = delete;
  DebuggedProcess &operator=(const DebuggedProcess &) = delete;
  ~DebuggedProcess();  // kills a program that still runs, joins the thread

  // Set before Start.
  void SetSink(DebugCallSink sink) { sink_ = std::move(sink); }
  // The program inherits this process's standard handles (the default), so
  // its own output lands in the same place as ours.
  void InheritStdHandles(bool inherit) { inheritStd_ = inherit; }

  // Starts the program (command line as CreateProcessW takes it). False when
  // it cannot be started; StartError() then has the error code.
  bool Start(const std::wstring &commandLine, const std::wstring &workingDir = L"");
  DWORD StartError() const { return startError_; }

  std::vector<std::string> Calls() const;  // one element per call
  std::vector<std::string> Lines() const;  // cut after every "\r\n"
  std::string Text() const;

  // True once the text contains needle; false after timeoutMs, or at once
  // when the program has ended without writing it.
  bool WaitForText(const std::string &needle, DWORD timeoutMs) const;
  // True once the program has ended (exitCode may be null).
  bool WaitForExit(DWORD timeoutMs, DWORD *exitCode);
  bool Exited() const;

  DWORD ProcessId() const { return processId_; }
  HANDLE Process() const { return process_; }

  // Ends a running program with kKilledExitCode and joins the thread.
  void Kill();
  static constexpr DWORD kKilledExitCode = ERROR_PROCESS_ABORTED;
  // True once the program has ended without exiting (killed from outside,
  // which Wine reports as exit code 0): its exit code is then
  // kKilledExitCode.
  bool KilledFromOutside() const;

 private:
  void DebuggerThread(std::wstring commandLine, std::wstring workingDir);
  void Record(std::string call);

  DebugCallSink sink_;
  bool inheritStd_ = true;
  std::thread thread_;
  HANDLE process_ = nullptr;  // ours, from CreateProcessW; closed by the destructor
  DWORD processId_ = 0;
  DWORD startError_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool startDone_ = false;     // guarded: the debugger thread has tried to start
  std::vector<std::string> calls_;  // guarded
  bool exited_ = false;        // guarded
  DWORD exitCode_ = 0;         // guarded
  bool killed_ = false;        // guarded
};

// The text of one OUTPUT_DEBUG_STRING_EVENT, read from the program's memory:
// narrow text as is, wide text converted to the ANSI code page, trailing NULs
// dropped. Empty when the memory cannot be read.
std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO &info);

}  // namespace bench
