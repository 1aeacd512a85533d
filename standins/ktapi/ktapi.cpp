// ktapi.cpp - stand-in for the maker's GPIO library KTAPI.dll.
//
// Models the GPIO lines as a level and a direction each and keeps a journal
// of every call, in order, one line per call:
//     KTSetGPIO(0, 1)
//     KTSetGPIODirection(1, 1)
// The journal goes to the file named by the environment variable
// KTAPI_JOURNAL (appended, shared, so several processes may write it); the
// test bench reads it back. Calls may come from any thread: a critical
// section guards the model.
#include <KTAPI.h>

#include <stdio.h>

enum { kLineCount = 32 };

static CRITICAL_SECTION g_lock;
static int g_level[kLineCount];
static int g_direction[kLineCount];

static void Journal(const char *call, int first, int second)
{
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("KTAPI_JOURNAL", path, sizeof(path));
    if (n == 0 || n >= sizeof(path))
        return;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char line[96];
    int length = snprintf(line, sizeof(line), "%s(%d, %d)\r\n", call, first, second);
    DWORD written;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

static int Apply(int *model, const char *call, int value, int line)
{
    EnterCriticalSection(&g_lock);
    Journal(call, value, line);
    BOOL known = line >= 0 && line < kLineCount;
    if (known)
        model[line] = value;
    LeaveCriticalSection(&g_lock);
    return known;
}

extern "C" int WINAPI KTSetGPIO(int value, int line)
{
    return Apply(g_level, "KTSetGPIO", value, line);
}

extern "C" int WINAPI KTSetGPIODirection(int direction, int line)
{
    return Apply(g_direction, "KTSetGPIODirection", direction, line);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&g_lock);
    else if (reason == DLL_PROCESS_DETACH)
        DeleteCriticalSection(&g_lock);
    return TRUE;
}
