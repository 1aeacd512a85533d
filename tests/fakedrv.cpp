// fakedrv.dll - a stream driver with the prefix TST for the device manager
// stand-in's tests. Every entry point logs its parameters on the debug
// output and returns a known value, so a test sees exactly what devmgr
// handed over and what it made of the answer.
// TST_Init reads its own entry (through the active key's "Key") for:
//   InitResult (REG_DWORD)  the device context to return (default 0x7E570001)
//   InitDelay  (REG_DWORD)  milliseconds to take first (default 0)
//   Touch      (REG_DWORD)  1: Read and IOControl write into their outputs
// Results: Open 0x7E570002; Read 0 (with Touch: 4 bytes "TST!", 4); Write
// the byte count; Seek the distance; Deinit, Close, IOControl TRUE.
// Threads: the globals are written by TST_Init only, which devmgr runs
// before any other entry point of the same device.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

namespace {

const DWORD kDefaultContext = 0x7E570001;
const DWORD kOpenContext = 0x7E570002;

bool g_touch;

void Log(const wchar_t *format, ...)
{
    wchar_t line[512];
    va_list args;
    va_start(args, format);
    int length = _vsnwprintf(line, 509, format, args);
    va_end(args);
    wcscpy(line + (length < 0 ? 509 : length), L"\r\n");
    OutputDebugStringW(line);
}

DWORD ReadDword(HKEY key, const wchar_t *name, DWORD fallback)
{
    DWORD value = 0, type = 0, size = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)&value, &size) != ERROR_SUCCESS || type != REG_DWORD)
        return fallback;
    return value;
}

void ReadString(HKEY key, const wchar_t *name, wchar_t *value, DWORD chars)
{
    DWORD type = 0, size = (chars - 1) * sizeof(wchar_t);
    value[0] = L'\0';
    if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)value, &size) != ERROR_SUCCESS || type != REG_SZ)
        wcscpy(value, L"(none)");
    else
        value[size / sizeof(wchar_t)] = L'\0';
}

}  // namespace

extern "C" DWORD TST_Init(LPCWSTR context, LPCVOID busContext)
{
    wchar_t entry[MAX_PATH] = L"(none)", name[32] = L"(none)";
    DWORD result = kDefaultContext, delay = 0;
    HKEY active = nullptr;
    if (context != nullptr && RegOpenKeyExW(HKEY_LOCAL_MACHINE, context, 0, KEY_QUERY_VALUE, &active) == 0) {
        ReadString(active, L"Key", entry, MAX_PATH);
        ReadString(active, L"Name", name, 32);
        RegCloseKey(active);
    }
    HKEY own = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, entry, 0, KEY_QUERY_VALUE, &own) == 0) {
        result = ReadDword(own, L"InitResult", kDefaultContext);
        delay = ReadDword(own, L"InitDelay", 0);
        g_touch = ReadDword(own, L"Touch", 0) != 0;
        RegCloseKey(own);
    }
    Log(L"TST_Init(%ls, 0x%08lX) Key=%ls Name=%ls thread %lu", context != nullptr ? context : L"(null)",
        (DWORD)(UINT_PTR)busContext, entry, name, GetCurrentThreadId());
    Sleep(delay);
    Log(L"TST_Init done: 0x%08lX", result);
    return result;
}

extern "C" BOOL TST_Deinit(DWORD device)
{
    Log(L"TST_Deinit(0x%08lX)", device);
    return TRUE;
}

extern "C" DWORD TST_Open(DWORD device, DWORD access, DWORD share)
{
    Log(L"TST_Open(0x%08lX, 0x%08lX, %lu) thread %lu", device, access, share, GetCurrentThreadId());
    return kOpenContext;
}

extern "C" BOOL TST_Close(DWORD open)
{
    Log(L"TST_Close(0x%08lX)", open);
    return TRUE;
}

extern "C" DWORD TST_Read(DWORD open, LPVOID buffer, DWORD count)
{
    Log(L"TST_Read(0x%08lX, %lu)", open, count);
    if (!g_touch || count < 4)
        return 0;
    memcpy(buffer, "TST!", 4);
    return 4;
}

extern "C" DWORD TST_Write(DWORD open, LPCVOID buffer, DWORD count)
{
    Log(L"TST_Write(0x%08lX, \"%.*hs\", %lu)", open, (int)count, (const char *)buffer, count);
    return count;
}

extern "C" DWORD TST_Seek(DWORD open, long amount, WORD type)
{
    Log(L"TST_Seek(0x%08lX, %ld, %u)", open, amount, (unsigned)type);
    return (DWORD)amount;
}

extern "C" BOOL TST_IOControl(DWORD open, DWORD code, PBYTE in, DWORD inSize, PBYTE out, DWORD outSize,
                              PDWORD actualOut)
{
    Log(L"TST_IOControl(0x%08lX, 0x%08lX, in %lu bytes first %u, out %lu)", open, code, inSize,
        in != nullptr && inSize > 0 ? (unsigned)in[0] : 0u, outSize);
    if (g_touch && out != nullptr && outSize >= 3) {
        out[0] = 0x11;
        out[1] = 0x22;
        out[2] = 0x33;
        if (actualOut != nullptr)
            *actualOut = 3;
    }
    return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        Log(L"fakedrv: loaded");
    else if (reason == DLL_PROCESS_DETACH)
        Log(reserved == nullptr ? L"fakedrv: unloaded by FreeLibrary" : L"fakedrv: unloaded at process exit");
    return TRUE;
}
