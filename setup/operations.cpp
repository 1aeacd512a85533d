// operations.cpp - one changed setting, applied and recorded.
//
// A sentence or SBAS change is one receiver transaction with two frames:
// the change, then the CFG-CFG frame that saves the changed part of the
// configuration to battery-backed RAM. Everything runs on the caller's
// thread; the only other thread is the transaction's reply listener.
#include "operations.h"

#include "powerline.h"
#include "settings.h"
#include "transaction.h"
#include "ubxcatalog.h"

enum {
    kSetupPollLimit = 200,        // 10 s per frame
    kListenerStartDelayMs = 200,  // before the first frame only
    kAfterStopDelayMs = 100
};

// The two-frame transaction shared by both receiver operations; the
// setting is stored exactly as passed.
static BOOL ApplyAndSave(UbxFrame change, DWORD on, SaveKind save, const WCHAR *saveLine,
                         const WCHAR *createFileLine, int setting)
{
    DWORD written;

    if (!OpenReceiverPort(&kSetupLinkRule, createFileLine))
        return FALSE;

    StartReplyListener();
    Sleep(kListenerStartDelayMs);
    if (!WriteReceiverFrame(change, &written))
        DebugPrint(L"Writefile error %d\r\n", (int)GetLastError());
    DebugPrint(on ? L"NMEA Enable: Wrote %d bytes\r\n" : L"NMEA Disable: Wrote %d bytes\r\n", (int)written);
    int count = WaitForReply(kSetupPollLimit);
    StopReplyListener();
    Sleep(kAfterStopDelayMs);
    DebugPrint(L"Count = %d\r\n", count);

    StartReplyListener();
    WriteReceiverFrame(SaveFrame(save), &written);
    DebugPrint(saveLine, (int)written);
    count = WaitForReply(kSetupPollLimit);
    DebugPrint(L"Count = %d\r\n", count);
    StopReplyListener();
    CloseReceiverPort();

    WriteSetting(setting, on);
    return TRUE;
}

BOOL ToggleNMEA(int sentence, DWORD on)
{
    UbxFrame change = NmeaFrame(sentence, on != 0);
    if (change.bytes == NULL)
        return FALSE;  // no such sentence: nothing to send or store
    return ApplyAndSave(change, on, kSaveMessages, L"UBXSaveMsgToBBR: Wrote %d bytes\r\n",
                        L"ToggleNMEA: CreateFile Failed %d\r\n", sentence);
}

BOOL ToggleSBAS(DWORD on)
{
    return ApplyAndSave(SbasFrame(on != 0), on, kSaveNavigation,
                        L"UBXSaveNavToBBR: Wrote %d bytes\r\n",
                        L"ToggleSBAS: CreateFile Failed %d\r\n", kSettingSBAS);
}

void SetGpsPower(DWORD on)
{
    ApplyPowerLine(on);
    WriteSetting(kSettingPWR, on);
}
