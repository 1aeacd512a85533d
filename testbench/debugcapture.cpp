// debugcapture.cpp - in-process capture of OutputDebugString.
//
// Wine turns OutputDebugStringW into the ANSI call, which raises
// DBG_PRINTEXCEPTION_C with the length and address of the text. The handler
// copies the text and lets the search go on, so the call itself returns as
// usual. Any thread may raise it: a mutex guards the store, and each call
// is kept with its thread's id. The test's thread id is written by
// StartDebugCapture on that thread, under the same mutex.
#include "debugcapture.h"

#include <windows.h>

#include <mutex>

namespace bench {
namespace {

struct Call {
    DWORD thread;
    std::string text;
};

std::mutex g_mutex;
std::vector<Call> g_calls;
DWORD g_testThread;
PVOID g_handler;
std::function<void(const std::string &)> g_hook;

LONG CALLBACK OnException(EXCEPTION_POINTERS *info)
{
    EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
        size_t length = (size_t)record->ExceptionInformation[0];
        const char *text = (const char *)record->ExceptionInformation[1];
        std::string call(text, length);
        while (!call.empty() && call.back() == '\0')
            call.pop_back();
        std::function<void(const std::string &)> hook;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_calls.push_back({ GetCurrentThreadId(), call });
            hook = g_hook;
        }
        if (hook)
            hook(call);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void StartDebugCapture()
{
    if (g_handler == nullptr)
        g_handler = AddVectoredExceptionHandler(1, OnException);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
    g_testThread = GetCurrentThreadId();
}

void SetDebugCallHook(std::function<void(const std::string &call)> hook)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hook = std::move(hook);
}

void ClearDebugCapture()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
}

std::vector<std::string> DebugCalls(Callers callers)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::string> texts;
    for (const Call &call : g_calls) {
        if (callers == Callers::Any || call.thread != g_testThread)
            texts.push_back(call.text);
    }
    return texts;
}

std::string DebugText(Callers callers)
{
    std::string text;
    for (const std::string &call : DebugCalls(callers))
        text += call;
    return text;
}

std::vector<std::string> SplitDebugLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            break;
        lines.push_back(text.substr(start, end + 2 - start));
        start = end + 2;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

std::vector<std::string> DebugLines(Callers callers)
{
    return SplitDebugLines(DebugText(callers));
}

}  // namespace bench
