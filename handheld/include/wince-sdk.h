// wince-sdk.h - Windows CE 5 declarations where mingw-w64's (desktop
// Windows) headers differ. Only the handheld configuration uses it: the
// compiler includes it before every source, so receiver/, setup/ and
// bootdrv/ build unchanged, exactly as they would with the handheld SDK's
// own windows.h.
//
// It only declares. Whether the handheld has a function is decided by the
// import libraries, which hold nothing but what scripts/ce-api-allowlist.txt
// lists: a call to anything else fails to link.
#ifndef RX_WINCE_SDK_H
#define RX_WINCE_SDK_H

#if !defined(UNDER_CE)
#error "wince-sdk.h is for the handheld configuration (UNDER_CE) only"
#endif

// The desktop declares a narrow WinMain; Windows CE's takes the wide command
// line. Keep the desktop one out of the way under another name.
#define WinMain RxDesktopNarrowWinMain
#include <windows.h>
#undef WinMain

#ifdef __cplusplus
extern "C" {
#endif

// winbase.h on Windows CE.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);

// On the desktop an inlined compiler intrinsic on a volatile pointer; on
// Windows CE a coredll function on a plain one.
#undef InterlockedExchange
LONG WINAPI InterlockedExchange(LPLONG target, LONG value);

// winbase.h on Windows CE: a resource is mapped with its module, and
// LockResource is a macro that returns its argument. coredll exports no
// function of that name, and an image importing one would not load.
#undef LockResource
#define LockResource(resource) ((LPVOID)(resource))

// dbgapi.h on Windows CE: the kernel formats the line and writes it to the
// debug output.
void NKDbgPrintfW(LPCWSTR format, ...);

#ifdef __cplusplus
}
#endif

#endif
