// runcapture.cpp - a program's standard output, captured through a pipe.
//
// Threads: everything runs on the caller's thread, except a watchdog thread
// that kills the program when it overruns (it touches only the process
// handle and the timedOut flag, and is joined before the result is read).
#include "runcapture.h"

#include <atomic>
#include <thread>
#include <vector>

namespace bench {

CapturedRun RunCaptured(const std::wstring &commandLine, DWORD timeoutMs)
{
    CapturedRun run;
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        run.startError = GetLastError();
        return run;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION info = {};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    run.started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &info) != 0;
    if (!run.started)
        run.startError = GetLastError();
    CloseHandle(writeEnd);  // only the program holds it now
    if (nul != INVALID_HANDLE_VALUE)
        CloseHandle(nul);
    if (!run.started) {
        CloseHandle(readEnd);
        return run;
    }
    CloseHandle(info.hThread);

    std::atomic<bool> done(false);
    std::thread watchdog([&] {
        if (WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_TIMEOUT && !done) {
            run.timedOut = true;
            TerminateProcess(info.hProcess, ERROR_TIMEOUT);
        }
    });
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        run.output.append(buffer, got);
    WaitForSingleObject(info.hProcess, INFINITE);
    done = true;
    watchdog.join();
    GetExitCodeProcess(info.hProcess, &run.exitCode);
    CloseHandle(info.hProcess);
    CloseHandle(readEnd);
    return run;
}

std::wstring BinPath(const std::wstring &name)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    size_t slash = folder.find_last_of(L"\\/");
    folder.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return folder + name;
}

std::vector<std::string> OutputLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace bench
