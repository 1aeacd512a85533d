// startup.cpp - the setup program's entry on the handheld.
//
// The handheld SDK's C runtime start-up would call WinMain and end the
// process with its result; the deliverables need nothing else of a C
// runtime, so this build links none and has this entry instead. It runs on
// the process's first thread, which becomes the user-interface thread.
#include "platform.h"

extern "C" void WinMainCRTStartup(void)
{
    int exitCode = WinMain(GetModuleHandleW(NULL), NULL, GetCommandLineW(), SW_SHOW);
    ExitProcess((UINT)exitCode);
}
