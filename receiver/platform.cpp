// platform.cpp - the desktop build's side of platform.h.
//
// Windows CE formats debug lines in the kernel (NKDbgPrintfW) and refuses a
// second open of a serial port opened without sharing; on the desktop both
// are done here. DebugPrint may be called from any thread. The serial port
// calls come from the one thread that runs the program's transactions (the
// user-interface thread, or the device manager's thread in RXB_Init), so
// the table of claims needs no lock.
#include "platform.h"

#if !defined(UNDER_CE)

#include <stdarg.h>
#include <stdio.h>

enum { kLineLength = 512, kClaimNameLength = 64, kMaxOpenPorts = 4 };

void DebugPrint(const WCHAR *format, ...)
{
    WCHAR line[kLineLength];
    va_list args;

    va_start(args, format);
    int length = _vsnwprintf(line, kLineLength - 1, format, args);
    va_end(args);
    if (length < 0)  // cut at the buffer's end
        length = kLineLength - 1;
    line[length] = L'\0';
    OutputDebugStringW(line);
}

// An open port and the named object that marks it as in use, in this
// process or any other under the same Wine server, until it is closed (or
// the process ends).
struct PortClaim {
    HANDLE port;
    HANDLE claim;
};

static PortClaim g_claims[kMaxOpenPorts];

HANDLE OpenSerialPort(const WCHAR *name)
{
    WCHAR claimName[kClaimNameLength];
    _snwprintf(claimName, kClaimNameLength - 1, L"SerialPortInUse %s", name);
    claimName[kClaimNameLength - 1] = L'\0';

    HANDLE claim = CreateMutexW(NULL, FALSE, claimName);
    if (claim == NULL)
        return INVALID_HANDLE_VALUE;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        SetLastError(ERROR_INVALID_ACCESS);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        CloseHandle(claim);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    for (int i = 0; i < kMaxOpenPorts; i++) {
        if (g_claims[i].port == NULL) {
            g_claims[i].port = port;
            g_claims[i].claim = claim;
            return port;
        }
    }
    // More ports open at once than this system ever holds: the port stays
    // usable, only unguarded.
    CloseHandle(claim);
    return port;
}

BOOL CloseSerialPort(HANDLE port)
{
    for (int i = 0; i < kMaxOpenPorts; i++) {
        if (g_claims[i].port == port && port != NULL) {
            CloseHandle(g_claims[i].claim);
            g_claims[i].port = NULL;
            g_claims[i].claim = NULL;
            break;
        }
    }
    return CloseHandle(port);
}

#endif
