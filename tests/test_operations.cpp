// The setup program's setting change operations against the simulated
// receiver: frames on the line, the receiver's configuration and BBR, the
// registry, the power line and the debug lines.
#include "importhook.h"
#include "linktest.h"
#include "operations.h"
#include "transaction.h"

namespace {

using namespace bench;

class Operations : public LinkTest {};

// A registry whose hive cannot be written out: every flush fails.
int g_failedFlushes = 0;
LONG WINAPI FailingFlush(HKEY)
{
    g_failedFlushes++;
    return ERROR_WRITE_FAULT;
}

// WriteFile for the test program's imports (the setup operations and the
// simulator share them): the first write to the setup program's open port
// hangs the cable up before it goes on, so that the line is cut once the
// port is open and before anything is written, however long the hang-up
// takes on a loaded machine.
void *g_realWrite;
volatile LONG g_hungUp;

BOOL WINAPI HangUpBeforeFirstWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (file == g_transaction.port && InterlockedExchange(&g_hungUp, 1) == 0 && !HangUpCable())
        g_hungUp = 2;
    return ((BOOL(WINAPI *)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED))g_realWrite)(file, data, size, written,
                                                                                      overlapped);
}

TEST_F(Operations, GgaOnSendsChangeThenSaveAndRecordsIt)
{
    StartReceiver();
    SetSetting(L"GGA", 0);
    double called = sim.ElapsedMs();
    bool toggled = ToggleNMEA(kGGA, 1);
    SplitLines lines = SplitByThread(DebugLines());
    EXPECT_TRUE(toggled);

    EXPECT_EQ(FramesOnLine(sim), (std::vector<Bytes>{ Of(NmeaFrame(kGGA, TRUE)), Of(SaveFrame(kSaveMessages)) }));
    EXPECT_EQ(FramesOnLine(sim).back(), (Bytes{ 0xB5, 0x62, 0x06, 0x09, 0x0D, 0x00, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0,
                                                0, 0, 0x01, 0x1F, 0xCC }));
    EXPECT_EQ(sim.Current().rate[kGGA], 1);
    EXPECT_EQ(sim.Saved().rate[kGGA], 1);
    EXPECT_EQ(GetSetting(L"GGA"), 1u);
    EXPECT_EQ(lines.steps, (Strings{ "SetNMEASentences: ConfigGPS == 2\r\n", "NMEA Enable: Wrote 11 bytes\r\n",
                                     "Count = #\r\n", "UBXSaveMsgToBBR: Wrote 21 bytes\r\n", "Count = #\r\n" }));
    EXPECT_EQ(lines.listener, Concat({ AckLines("0x1"), AckLines("0x9") }));
    // The fixed delays, from the receiver's side: 200 ms before the change
    // frame, 100 ms after the first stop, none before the save.
    std::vector<rxsim::ReceivedFrame> frames = sim.Frames();
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_EQ(lines.counts.size(), 2u);
    for (size_t i = 0; i < frames.size(); i++)
        ExpectPollsForReply(lines.counts[i], frames[i], 2, "frame " + std::to_string(i));
    ExpectDelay(frames[0].arrivalMs - called, 200, "before the change");
    ExpectDelayAfterReply(frames[0], frames[1], 100, "before the save");
}

// DTM off, then SBAS on with "ConfigGPS" 1: the whole operation runs at
// 9600 baud, so that a receiver at 9600 answers every frame.
TEST_F(Operations, DtmOffAndSbasOnAt9600SaveTheirPartOfTheConfiguration)
{
    SetConfigGPS(1);
    rxsim::Options options;
    options.current.rate[kDTM] = options.bbr.rate[kDTM] = 1;
    options.current.sbas = options.bbr.sbas = false;
    options.baud = CBR_9600;
    options.probeNearEnd = L"COM3:";
    StartReceiver(options);
    SetSetting(L"DTM", 1);
    std::vector<bool> done = { ToggleNMEA(kDTM, 0) != FALSE, ToggleSBAS(1) != FALSE };
    Strings steps = SplitByThread(DebugLines()).steps;
    EXPECT_EQ(done, std::vector<bool>(2, true));
    EXPECT_EQ(FramesOnLine(sim), (std::vector<Bytes>{ Of(NmeaFrame(kDTM, FALSE)), Of(SaveFrame(kSaveMessages)),
                                                      Of(SbasFrame(TRUE)), Of(SaveFrame(kSaveNavigation)) }));
    Bytes save = FramesOnLine(sim).back();   // the navigation configuration to BBR
    EXPECT_EQ((Bytes{ save[10], save[18], save[19], save[20] }), (Bytes{ 0x08, 0x01, 0x25, 0x02 }));
    for (const rxsim::ReceivedFrame &frame : sim.Frames())
        EXPECT_TRUE(frame.nearEndBaud == CBR_9600 && frame.answer == rxsim::Answer::Ack) << rxsim::DescribeFrame(frame);
    EXPECT_EQ(sim.Saved().rate[kDTM], 0);
    EXPECT_TRUE(sim.Saved().sbas);
    EXPECT_EQ(GetSetting(L"DTM"), 0u);
    EXPECT_EQ(GetSetting(L"SBAS"), 1u);
    EXPECT_EQ(steps,
              (Strings{ "SetNMEASentences: ConfigGPS == 1\r\n", "NMEA Disable: Wrote 11 bytes\r\n", "Count = #\r\n",
                        "UBXSaveMsgToBBR: Wrote 21 bytes\r\n", "Count = #\r\n", "SetNMEASentences: ConfigGPS == 1\r\n",
                        "NMEA Enable: Wrote 16 bytes\r\n", "Count = #\r\n", "UBXSaveNavToBBR: Wrote 21 bytes\r\n",
                        "Count = #\r\n" }));
}

// The power line is driven and stored without touching the port; a
// sentence that does not exist does nothing at all.
TEST_F(Operations, GpsPowerAndNoSuchSentenceLeaveThePortAlone)
{
    StartReceiver();
    SetGpsPower(0);
    Strings journal = KtapiJournal();
    std::optional<DWORD> power = GetSetting(L"PWR");
    SetGpsPower(1);
    std::vector<bool> noSuch = { ToggleNMEA(11, 1) != FALSE, ToggleNMEA(-1, 1) != FALSE };
    Strings calls = DebugCalls();
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(journal, kPowerOff);
    EXPECT_EQ(power, 0u);
    EXPECT_EQ(KtapiJournal(), Concat({ kPowerOff, kPowerOn }));
    EXPECT_EQ(GetSetting(L"PWR"), 1u);
    EXPECT_EQ(noSuch, std::vector<bool>(2, false));
    EXPECT_FALSE(GetSetting(L"GGA").has_value());
    Sleep(100);
    EXPECT_TRUE(sim.BytesReceived().empty());
}

// Neither a NAK nor a failed write (on a line cut once the port is open)
// stops the operation: it goes on, writes the save frame and records it.
// A flush that fails after each recording changes nothing either: the same
// lines, the value stored.
TEST_F(Operations, NakAFailedWriteOrAFailedFlushStillRecordsTheSetting)
{
    ImportHook flush(GetModuleHandleW(nullptr), "RegFlushKey", (void *)FailingFlush);
    ASSERT_TRUE(flush.installed()) << "RegFlushKey is never called";
    g_failedFlushes = 0;
    rxsim::Options options;
    options.reply = rxsim::Reply::Nak;
    StartReceiver(options);
    EXPECT_TRUE(ToggleNMEA(kGST, 1));
    EXPECT_EQ(GetSetting(L"GST"), 1u);
    EXPECT_EQ(sim.Frames().size(), 2u);
    EXPECT_EQ(sim.Current().rate[kGST], 0);

    ClearDebugCapture();
    bool toggled = false;
    {
        // Known before the swap: the simulator's threads write meanwhile.
        g_realWrite = (void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "WriteFile");
        ImportHook write(GetModuleHandleW(nullptr), "WriteFile", (void *)HangUpBeforeFirstWrite);
        ASSERT_TRUE(write.installed());
        toggled = ToggleNMEA(kGBS, 1);
    }
    SplitLines lines = SplitByThread(DebugLines());
    EXPECT_TRUE(toggled);
    EXPECT_EQ(g_hungUp, 1) << "the cable was not hung up before the first write";
    EXPECT_EQ(lines.steps, (Strings{ "SetNMEASentences: ConfigGPS == 2\r\n", "Writefile error 21\r\n",
                                     "NMEA Enable: Wrote 0 bytes\r\n", "Count = #\r\n",
                                     "UBXSaveMsgToBBR: Wrote 0 bytes\r\n", "Count = #\r\n" }));
    EXPECT_EQ(lines.counts, (std::vector<int>{ 200, 200 }));
    EXPECT_EQ(GetSetting(L"GBS"), 1u);
    EXPECT_EQ(sim.Frames().size(), 2u);
    EXPECT_EQ(g_failedFlushes, 2);
}

}  // namespace
