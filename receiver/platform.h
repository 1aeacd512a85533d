// platform.h - the one place where the handheld build and the desktop build
// differ.
//
// The shipped build targets Windows CE 5 (Windows Mobile 6, ARM) and defines
// UNDER_CE. The desktop build (mingw-w64, run under Wine) exists to build and
// test the same code on a workstation. receiver/, setup/ and bootdrv/ include
// this header first and use nothing beyond the Windows CE subset of the Win32
// wide-character API, so they build unchanged for the handheld. Here that
// branch is compiled and linked for 32-bit ARM by the handheld configuration
// (cmake/wince-arm.cmake), with Windows CE's own declarations where the
// desktop headers differ (handheld/include/wince-sdk.h).
//
// A third build, for the host only, compiles the listener's frame scanner
// natively so that a fuzzer can drive it; it sees nothing but basic types.
#ifndef RX_PLATFORM_H
#define RX_PLATFORM_H

#if defined(_WIN32) || defined(UNDER_CE)
#include <windows.h>
#endif

#if defined(UNDER_CE)

// Windows CE ignores the access mask of RegOpenKeyEx; the shipped code has
// always passed 0.
#define RX_REG_READ 0
#define RX_REG_WRITE 0

// Debug output: formatted wide text, one call per event.
#define DebugPrint NKDbgPrintfW

// The receiver's serial port, opened for reading and writing with no
// sharing: while one program holds it, another's open fails.
#define OpenSerialPort(name) \
    CreateFileW((name), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL)
#define CloseSerialPort(port) CloseHandle(port)

// The window to hand to SetForegroundWindow so that a window comes forward
// together with the windows it owns (a running copy's dialog, say): on
// Windows CE the window's own handle with its lowest bit set.
#define RX_FOREGROUND_WITH_OWNED(window) ((HWND)((ULONG_PTR)(window) | 1))

#elif defined(_WIN32)

// The desktop registry refuses queries and sets on a key opened with mask 0,
// and refuses the open of a key that may be read but not written when set
// access is asked for: a read asks for query access only, a write for set
// access only.
#define RX_REG_READ KEY_QUERY_VALUE
#define RX_REG_WRITE KEY_SET_VALUE

// Formats like NKDbgPrintfW and hands the line to OutputDebugStringW.
void DebugPrint(const WCHAR *format, ...);

// As on the handheld, but Wine does not refuse a second open of a serial
// port without sharing: the desktop build keeps a named object per port
// while it is open, and a second open fails with ERROR_INVALID_ACCESS, the
// error Windows CE's serial driver gives for a port in use.
HANDLE OpenSerialPort(const WCHAR *name);
BOOL CloseSerialPort(HANDLE port);

// Windows CE's WinMain takes a wide command line; on the desktop that entry
// point is called wWinMain (linked with -municode).
#define WinMain wWinMain

// The desktop knows no lowest-bit flag for SetForegroundWindow (Wine takes
// such a handle and leaves no window in front): bring the window's most
// recently active owned window forward instead, which keeps the owner
// behind it.
#define RX_FOREGROUND_WITH_OWNED(window) GetLastActivePopup(window)

#else  // host build of the frame scanner

#include <stdint.h>
typedef unsigned char BYTE;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef wchar_t WCHAR;
#define TRUE 1
#define FALSE 0
// Provided by the harness that drives the scanner.
void DebugPrint(const WCHAR *format, ...);

#endif

#endif
