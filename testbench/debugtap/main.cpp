// main.cpp - debugtap.exe, the debug viewer.
//
//   debugtap.exe <program> [arguments...]
//
// Runs the program under the debugger and copies every OutputDebugString
// call to standard output the moment it arrives, byte for byte: a line the
// program ends with "\r\n" appears with "\r\n", a call of one character
// appears as that one character, nothing is added between calls. The
// program shares our standard handles, so its own output and its debug
// lines come out in the order they happened. The exit code is the program's.
// A missing program is reported on standard error with exit code 127; no
// program at all prints the usage with exit code 2.
//
// Threads: the main thread starts the program and waits; the debugger
// thread writes to standard output (nothing else does).
#include "debugtap.h"

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

void WriteOut(const std::string &text)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const char *data = text.data();
    size_t left = text.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(out, data, (DWORD)left, &written, nullptr) || written == 0)
            return;  // nowhere to write: the program still runs to its end
        data += written;
        left -= written;
    }
    FlushFileBuffers(out);
}

}  // namespace

int main()
{
    std::wstring commandLine = ProgramCommandLine();
    if (commandLine.empty()) {
        fputs("usage: debugtap.exe <program> [arguments...]\n"
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
    return (int)exitCode;
}
