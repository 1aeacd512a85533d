// driver.cpp - rxboot.dll, a stream-interface driver with the prefix RXB.
//
// The device manager loads the driver at start-up and calls RXB_Init on its
// own thread; the whole boot pass runs inside that call. The driver offers
// no data service: the other entry points keep no state, take no lock and
// return fixed values.
#include "platform.h"

#include "bootapply.h"

// Handed to the device manager when the pass completed; not a pointer and
// never looked at again.
static const DWORD kDeviceContext = 0x89144233;
static const DWORD kOpenContext = 1;

extern "C" {

DWORD RXB_Init(LPCWSTR /*activeKey*/, LPCVOID /*busContext*/)
{
    return BootApply() ? kDeviceContext : 0;
}

BOOL RXB_Deinit(DWORD /*deviceContext*/)
{
    return TRUE;
}

DWORD RXB_Open(DWORD /*deviceContext*/, DWORD /*accessCode*/, DWORD /*shareMode*/)
{
    return kOpenContext;
}

BOOL RXB_Close(DWORD /*openContext*/)
{
    return TRUE;
}

DWORD RXB_Read(DWORD /*openContext*/, LPVOID /*buffer*/, DWORD /*count*/)
{
    return 0;
}

DWORD RXB_Write(DWORD /*openContext*/, LPCVOID /*buffer*/, DWORD /*count*/)
{
    return 0;
}

DWORD RXB_Seek(DWORD /*openContext*/, long /*distance*/, WORD /*moveMethod*/)
{
    return 0;
}

BOOL RXB_IOControl(DWORD /*openContext*/, DWORD /*code*/, PBYTE /*in*/, DWORD /*inLength*/,
                   PBYTE /*out*/, DWORD /*outLength*/, PDWORD /*outCount*/)
{
    return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/)
{
    return TRUE;
}

}  // extern "C"
