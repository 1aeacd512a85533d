// main.cpp - debugtap.exe, the debug viewer.
//
//   debugtap.exe <program> [arguments...]
//
// Runs the program under the debugger and copies every OutputDebugString
// call to standard output the moment it arrives, byte for byte: a line the
// program ends with "\r\n" appears with "\r\n", a call of one character
// appears as that one character, nothing is added between calls. The
// program shares our standard handles, so its own output and its debug
// lines come out in the order they happened. The exit code is the program's;
// for a program killed from outside (which Wine reports as 0) it is 1067,
// ERROR_PROCESS_ABORTED, with a line on standard error.
// A missing program is reported on standard error with exit code 127; no
// program at all prints the usage with exit code 2.
//
//   debugtap.exe --decode
//
// Without a debugger: reads Wine's trace of a program's debug calls on
// standard input (WINEDEBUG=warn+seh; see monitor.h) and prints the calls
// the same way, byte for byte; every other line of the input goes to
// standard error. That keeps up with thousands of calls a second, where
// the debugger takes about 1,500. The exit code is 0 once the input ends.
//
// Threads: the main thread starts the program and waits; the debugger
// thread writes to standard output and nothing else does. --decode runs on
// the main thread alone.
#include "debugtap.h"
#include "monitor.h"

#include <stdio.h>

namespace {

const DWORD kCannotStart = 127;
const DWORD kUsage = 2;

// The command line after our own program name, exactly as given: the
// program's quoting reaches it untouched.
const wchar_t *ProgramCommandLine()
{
    const wchar_t *p = GetCommandLineW();
    if (*p == L'"') {
        for (p++; *p != L'\0' && *p != L'"'; p++) {
        }
        if (*p == L'"')
            p++;
    } else {
        while (*p != L'\0' && *p != L' ' && *p != L'\t')
            p++;
    }
    while (*p == L' ' || *p == L'\t')
        p++;
    return p;
}

void WriteBytes(const char *data, size_t left)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(out, data, (DWORD)left, &written, nullptr) || written == 0)
            return;  // nowhere to write: the program still runs to its end
        data += written;
        left -= written;
    }
    // WriteFile keeps nothing back, so there is nothing to flush: on a file
    // FlushFileBuffers would only wait for the disk, 0.6 ms a call.
}

void WriteError(const char *data, size_t length)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), data, (DWORD)length, &written, nullptr);
}

void WriteOut(const std::string &text)
{
    WriteBytes(text.data(), text.size());
}

}  // namespace

int main()
{
    std::wstring commandLine = ProgramCommandLine();
    if (commandLine == L"--decode") {
        bench::DecodeTrace(GetStdHandle(STD_INPUT_HANDLE), WriteBytes, WriteError);
        return 0;
    }
    if (commandLine.empty()) {
        fputs("usage: debugtap.exe <program> [arguments...]  |  debugtap.exe --decode\n"
              "Runs the program under the debugger, prints its debug output as it comes\n"
              "(byte for byte, \"\\r\\n\" kept) and exits with the program's exit code.\n",
              stderr);
        return kUsage;
    }

    bench::DebuggedProcess program;
    program.SetSink(WriteOut);
    if (!program.Start(commandLine)) {
        fprintf(stderr, "debugtap: cannot start %ls: error %lu\n", commandLine.c_str(),
                (unsigned long)program.StartError());
        return kCannotStart;
    }
    DWORD exitCode = 0;
    program.WaitForExit(INFINITE, &exitCode);
    if (program.KilledFromOutside())
        fprintf(stderr, "debugtap: the program was killed (it ended without exiting); exit code %lu\n",
                (unsigned long)exitCode);
    return (int)exitCode;
}
