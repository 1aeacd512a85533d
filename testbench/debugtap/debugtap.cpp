// debugtap.cpp - the debugger loop behind DebuggedProcess.
//
// Threads: DebuggerThread creates the program and is the only thread that
// waits for and continues its debug events; it writes calls_, exited_,
// exitCode_ and startDone_ under mutex_ and notifies changed_. process_,
// processId_ and startError_ are written by the debugger thread before it
// sets startDone_, and only read by others after Start has seen that flag.
#include "debugtap.h"

#include "debugcapture.h"

#include <stdio.h>

#include <chrono>

namespace bench {
namespace {

// How long Kill waits for the exit event before it gives up on the program.
const DWORD kKillGraceMs = 5000;

void CloseIfOpen(HANDLE handle)
{
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

// The standard handles, made inheritable so that the program can share them.
bool PrepareStdHandles(STARTUPINFOW *startup)
{
    HANDLE handles[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                         GetStdHandle(STD_ERROR_HANDLE)};
    bool any = false;
    for (HANDLE handle : handles) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            any = true;
        }
    }
    if (!any)
        return false;
    startup->dwFlags |= STARTF_USESTDHANDLES;
    startup->hStdInput = handles[0];
    startup->hStdOutput = handles[1];
    startup->hStdError = handles[2];
    return true;
}

}  // namespace

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO &info)
{
    size_t count = info.nDebugStringLength;
    if (count == 0 || info.lpDebugStringData == nullptr)
        return std::string();
    std::string text;
    SIZE_T got = 0;
    if (info.fUnicode) {
        std::wstring wide(count, L'\0');
        if (!ReadProcessMemory(process, info.lpDebugStringData, &wide[0], count * sizeof(WCHAR), &got))
            return std::string();
        while (!wide.empty() && wide.back() == L'\0')
            wide.pop_back();
        if (wide.empty())
            return std::string();
        int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr, nullptr);
        text.resize(size > 0 ? (size_t)size : 0);
        if (size > 0)
            WideCharToMultiByte(CP_ACP, 0, wide.data(), (int)wide.size(), &text[0], size, nullptr, nullptr);
    } else {
        text.resize(count);
        if (!ReadProcessMemory(process, info.lpDebugStringData, &text[0], count, &got))
            return std::string();
    }
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

// Whether the program ends by exiting or is killed: every exit, ExitProcess
// and a return from main alike, passes ntdll's RtlExitUserProcess; a program
// killed from outside (its Unix process ended by a signal, say) never does,
// and Wine then reports exit code 0 for it, as for a clean exit. A
// breakpoint on the entry of RtlExitUserProcess, set once the program has
// reached its start-up breakpoint (ntdll lies at the same address in every
// process), tells the two apart; it is taken out again at its first hit.
struct ExitWatch {
    BYTE *address = nullptr;
    BYTE saved = 0;
    bool armed = false;
    bool reached = false;

    void Arm(HANDLE process)
    {
        address = (BYTE *)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlExitUserProcess");
        const BYTE breakpoint = 0xCC;
        SIZE_T done = 0;
        armed = address != nullptr && ReadProcessMemory(process, address, &saved, 1, &done) &&
                WriteProcessMemory(process, address, &breakpoint, 1, &done);
        if (armed)
            FlushInstructionCache(process, address, 1);
    }

    // True when the event is this breakpoint: it is taken out and the thread
    // goes on with the instruction it replaced.
    bool Hit(HANDLE process, const DEBUG_EVENT &event)
    {
        if (!armed || event.u.Exception.ExceptionRecord.ExceptionAddress != address)
            return false;
        SIZE_T done = 0;
        WriteProcessMemory(process, address, &saved, 1, &done);
        FlushInstructionCache(process, address, 1);
        HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
        if (thread != nullptr) {
            CONTEXT context = {};
            context.ContextFlags = CONTEXT_CONTROL;
            if (GetThreadContext(thread, &context)) {
#if defined(_WIN64)
                context.Rip = (DWORD64)address;
#else
                context.Eip = (DWORD)address;
#endif
                SetThreadContext(thread, &context);
            }
            CloseHandle(thread);
        }
        armed = false;
        reached = true;
        return true;
    }
};

DebuggedProcess::~DebuggedProcess()
{
    Kill();
    CloseIfOpen(process_);
}

bool DebuggedProcess::Start(const std::wstring &commandLine, const std::wstring &workingDir)
{
    if (thread_.joinable() || process_ != nullptr) {  // one program per object
        startError_ = ERROR_ALREADY_EXISTS;
        return false;
    }
    thread_ = std::thread(&DebuggedProcess::DebuggerThread, this, commandLine, workingDir);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return startDone_; });
    if (process_ != nullptr)
        return true;
    lock.unlock();
    thread_.join();
    return false;
}

void DebuggedProcess::Record(std::string call)
{
    if (sink_)
        sink_(call);
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    changed_.notify_all();
}

void DebuggedProcess::DebuggerThread(std::wstring commandLine, std::wstring workingDir)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    bool inherit = inheritStd_ && PrepareStdHandles(&startup);
    PROCESS_INFORMATION info = {};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, inherit, DEBUG_ONLY_THIS_PROCESS,
                                  nullptr, workingDir.empty() ? nullptr : workingDir.c_str(), &startup, &info);
    // Read before the lock: a contended mutex makes calls of its own that
    // reset the thread's last error (seen as 0 instead of 2 under load).
    DWORD startError = started ? 0 : GetLastError();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started) {
            process_ = info.hProcess;
            processId_ = info.dwProcessId;
        } else {
            startError_ = startError;
        }
        startDone_ = true;
        changed_.notify_all();
    }
    if (!started)
        return;
    CloseHandle(info.hThread);

    DWORD idlePolls = 0;  // 100 ms waits since the process object was signalled
    ExitWatch exitWatch;
    bool startupBreakpointSeen = false, lastChance = false;
    for (;;) {
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 100)) {
            // A program that was terminated but whose exit event never
            // comes must not hold the owner forever.
            if (WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0) {
                if (++idlePolls >= kKillGraceMs / 100) {
                    fprintf(stderr, "debugtap: no exit event from process %lu; detaching\n",
                            (unsigned long)info.dwProcessId);
                    DebugActiveProcessStop(info.dwProcessId);
                    DWORD code = 0;
                    GetExitCodeProcess(info.hProcess, &code);
                    std::lock_guard<std::mutex> lock(mutex_);
                    exitCode_ = code;
                    exited_ = true;
                    changed_.notify_all();
                    return;
                }
            }
            continue;
        }
        DWORD status = DBG_CONTINUE;
        bool last = false, killedOutside = false;
        DWORD exitCode = 0;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            // The process and thread handles of this event belong to the
            // system; the image file handle is ours.
            CloseIfOpen(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            CloseIfOpen(event.u.LoadDll.hFile);
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            std::string text = ReadDebugString(info.hProcess, event.u.DebugString);
            if (text.empty() && event.u.DebugString.nDebugStringLength > 1)
                fprintf(stderr, "debugtap: could not read a debug string of %u units\n",
                        (unsigned)event.u.DebugString.nDebugStringLength);
            Record(std::move(text));
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            // The start-up breakpoint (and any other) is ours to swallow;
            // every real exception goes back to the program's own handlers.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                status = DBG_EXCEPTION_NOT_HANDLED;
                lastChance = lastChance || event.u.Exception.dwFirstChance == 0;
            } else if (!startupBreakpointSeen) {
                startupBreakpointSeen = true;
                exitWatch.Arm(info.hProcess);
            } else {
                exitWatch.Hit(info.hProcess, event);
            }
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            exitCode = event.u.ExitProcess.dwExitCode;
            // Killed from outside: Wine says 0, but the program never exited.
            if (exitCode == 0 && exitWatch.address != nullptr && !exitWatch.reached && !lastChance &&
                startupBreakpointSeen) {
                exitCode = kKilledExitCode;
                killedOutside = true;
            }
            last = true;
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (last) {
            // Waiters wake only now, when the program is gone for good.
            std::lock_guard<std::mutex> lock(mutex_);
            exitCode_ = exitCode;
            killed_ = killedOutside;
            exited_ = true;
            changed_.notify_all();
            return;
        }
    }
}

std::vector<std::string> DebuggedProcess::Calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::string DebuggedProcess::Text() const
{
    std::string text;
    for (const std::string &call : Calls())
        text += call;
    return text;
}

std::vector<std::string> DebuggedProcess::Lines() const
{
    return SplitDebugLines(Text());
}

bool DebuggedProcess::KilledFromOutside() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return killed_;
}

bool DebuggedProcess::Exited() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return exited_;
}

bool DebuggedProcess::WaitForText(const std::string &needle, DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto found = [&] {
        std::string text;
        for (const std::string &call : calls_)
            text += call;
        return text.find(needle) != std::string::npos;
    };
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return exited_ || found(); });
    return found();
}

bool DebuggedProcess::WaitForExit(DWORD timeoutMs, DWORD *exitCode)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return exited_; }))
        return false;
    if (exitCode != nullptr)
        *exitCode = exitCode_;
    return true;
}

void DebuggedProcess::Kill()
{
    if (!thread_.joinable())
        return;
    if (!Exited())
        TerminateProcess(process_, kKilledExitCode);
    thread_.join();
}

}  // namespace bench
