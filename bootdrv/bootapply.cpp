// bootapply.cpp - the boot pass.
//
// Runs on the device manager's thread inside RXB_Init and holds it for the
// whole pass: about 7 s with a receiver that answers, about 72 s with a
// silent one. All of the pass's data lives on that thread's stack; the only
// shared state is the receiver transaction and its listener (transaction.cpp).
#include "bootapply.h"

#include "powerline.h"
#include "settings.h"
#include "transaction.h"
#include "ubxcatalog.h"

enum {
    kBootPollLimit = 100,     // 5 s per frame
    kSettleDelayMs = 500      // after the port is configured and after each count line
};

// One frame of the pass: its listener, the write at once, the wait, the
// stop, the count line and the settle delay. Sentence lines name the
// sentence first; the SBAS and save lines (sentence -1) do not.
static void SendFrame(UbxFrame frame, int sentence, const WCHAR *wroteLine, const WCHAR *countLine)
{
    DWORD written = 0;

    StartReplyListener();
    WriteReceiverFrame(frame, &written);  // a failed write shows in the count it reports
    if (sentence >= 0)
        DebugPrint(wroteLine, sentence, (int)written);
    else
        DebugPrint(wroteLine, (int)written);
    int count = WaitForReply(kBootPollLimit);
    StopReplyListener();
    if (sentence >= 0)
        DebugPrint(countLine, sentence, count);
    else
        DebugPrint(countLine, count);
    Sleep(kSettleDelayMs);
}

BOOL BootApply(void)
{
    DWORD settings[kSettingCount];

    DebugPrint(L"####       RXB_INIT Entered        ####\r\n");
    ReadAllSettings(settings, L"SetNMEASentences: RegOpenKeyEx Failed\r\n");
    if (!OpenReceiverPort(&kBootLinkRule, L"SetNMEASentences: CreateFile Failed %d\r\n"))
        return FALSE;
    Sleep(kSettleDelayMs);

    for (int i = 0; i < kSentenceCount; i++) {
        BOOL on = settings[i] != 0;
        SendFrame(NmeaFrame(i, on), i,
                  on ? L"NMEA [%d] Enable: Wrote %d bytes\r\n" : L"NMEA [%d] Disable: Wrote %d bytes\r\n",
                  L"NMEA [%d] Count = %d\r\n");
    }
    BOOL sbas = settings[kSettingSBAS] != 0;
    SendFrame(SbasFrame(sbas), -1,
              sbas ? L"UBXSSBASEnable: Wrote %d bytes 1\r\n" : L"UBXSSBASDisable: Wrote %d bytes 1\r\n",
              L"SBAS Count = %d\r\n");
    SendFrame(SaveFrame(kSaveBoth), -1, L"UBXSaveToBBR: Wrote %d bytes 1\r\n", L"Save MSG Count = %d\r\n");

    CloseReceiverPort();
    DebugPrint(L"Closed Port!\r\n");
    ApplyPowerLine(settings[kSettingPWR]);
    DebugPrint(L"####       RXB_Init exiting        ####\r\n");
    return TRUE;
}
