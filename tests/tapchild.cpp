// tapchild.exe - a program for the debug viewer's tests. Each argument is
// one step, run in order:
//   a=TEXT    OutputDebugStringA(TEXT)      (\r, \n and \\ are decoded)
//   w=TEXT    OutputDebugStringW(TEXT)
//   long=N    one call of N 'x' followed by "\r\n"
//   out=TEXT  TEXT written to standard output
//   sleep=MS  Sleep(MS)
//   threads=N N threads at once, each with 50 calls "tK nI\r\n"
//   raise     raises exception 0xE0001234, which a handler of our own
//             continues; then says "handled\r\n" or "not handled\r\n"
//   crash     writes through a null pointer
//   dlls=N    loads and frees KTAPI.dll N times
//   exit=N    ExitProcess(N)
//   hang      sleeps for ever
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const DWORD kTestException = 0xE0001234;
volatile LONG g_handled;

std::string Decode(const char *text)
{
    std::string out;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p == '\\' && p[1] != '\0') {
            p++;
            out += *p == 'r' ? '\r' : *p == 'n' ? '\n' : *p;
        } else {
            out += *p;
        }
    }
    return out;
}

LONG CALLBACK OnException(EXCEPTION_POINTERS *info)
{
    if (info->ExceptionRecord->ExceptionCode != kTestException)
        return EXCEPTION_CONTINUE_SEARCH;
    g_handled = 1;
    return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD WINAPI Chatter(LPVOID param)
{
    int thread = (int)(INT_PTR)param;
    for (int i = 0; i < 50; i++) {
        char line[32];
        wsprintfA(line, "t%d n%d\r\n", thread, i);
        OutputDebugStringA(line);
    }
    return 0;
}

bool Starts(const char *arg, const char *step, const char **rest)
{
    size_t n = strlen(step);
    if (strncmp(arg, step, n) != 0)
        return false;
    *rest = arg + n;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const char *rest = nullptr;
        if (Starts(argv[i], "a=", &rest)) {
            OutputDebugStringA(Decode(rest).c_str());
        } else if (Starts(argv[i], "w=", &rest)) {
            std::string text = Decode(rest);
            std::wstring wide(text.begin(), text.end());
            OutputDebugStringW(wide.c_str());
        } else if (Starts(argv[i], "long=", &rest)) {
            std::string text(strtoul(rest, nullptr, 10), 'x');
            OutputDebugStringA((text + "\r\n").c_str());
        } else if (Starts(argv[i], "out=", &rest)) {
            std::string text = Decode(rest);
            DWORD written;
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), (DWORD)text.size(), &written, nullptr);
        } else if (Starts(argv[i], "sleep=", &rest)) {
            Sleep(strtoul(rest, nullptr, 10));
        } else if (Starts(argv[i], "threads=", &rest)) {
            std::vector<HANDLE> threads;
            for (unsigned long t = 0; t < strtoul(rest, nullptr, 10); t++)
                threads.push_back(CreateThread(nullptr, 0, Chatter, (LPVOID)(INT_PTR)t, 0, nullptr));
            for (HANDLE thread : threads) {
                WaitForSingleObject(thread, INFINITE);
                CloseHandle(thread);
            }
        } else if (strcmp(argv[i], "raise") == 0) {
            PVOID handler = AddVectoredExceptionHandler(1, OnException);
            RaiseException(kTestException, 0, 0, nullptr);
            RemoveVectoredExceptionHandler(handler);
            OutputDebugStringA(g_handled ? "handled\r\n" : "not handled\r\n");
        } else if (strcmp(argv[i], "crash") == 0) {
            *(volatile int *)nullptr = 1;
        } else if (Starts(argv[i], "dlls=", &rest)) {
            for (unsigned long n = 0; n < strtoul(rest, nullptr, 10); n++) {
                HMODULE module = LoadLibraryW(L"KTAPI.dll");
                if (module != nullptr)
                    FreeLibrary(module);
            }
        } else if (Starts(argv[i], "exit=", &rest)) {
            ExitProcess(strtoul(rest, nullptr, 0));
        } else if (strcmp(argv[i], "hang") == 0) {
            Sleep(INFINITE);
        }
    }
    return 0;
}
