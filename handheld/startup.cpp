// startup.cpp - the setup program's entry on the handheld.
//
// The handheld SDK's C runtime start-up would call WinMain and return its
// result; the deliverables need nothing else of a C runtime, so this build
// links none and has this entry instead. The Windows CE loader calls it on
// the process's first thread, which becomes the user-interface thread, with
// WinMain's own four arguments: the instance the resources come from, no
// previous instance, the command line and the show state. (GetModuleHandle
// of NULL is no instance there, but a pseudo handle to the process.) A
// Windows CE process ends when this thread returns, with its result as the
// exit code.
#include "platform.h"

extern "C" int WinMainCRTStartup(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show)
{
    return WinMain(instance, previous, commandLine, show);
}
