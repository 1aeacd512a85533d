// The boot pass, through the driver's RXB_Init in rxboot.dll as the device
// manager calls it, against the simulated receiver. The cases marked "each
// build" run on the desktop build and on the handheld image on both
// emulated cores, through the same checks.
#include "importhook.h"
#include "linktest.h"

#include <atomic>
#include <thread>

namespace {

using namespace bench;

const char kEntryLine[] = "####       RXB_INIT Entered        ####\r\n";
const char kExitLine[] = "####       RXB_Init exiting        ####\r\n";

class BootPassFixture : public LinkTest {
protected:
    // "desktop", or the emulated core that runs the handheld image.
    virtual std::string Build() const { return "desktop"; }
    // Only for passes without an answering receiver: the handheld image's
    // clock then jumps from one deadline to the next.
    virtual bool VirtualTime() const { return false; }

    void SetUp() override
    {
        LinkTest::SetUp();
        LoadDriver(Build(), VirtualTime());
        // The power line must not move before the port is closed.
        SetDebugCallHook([this](const std::string &call) {
            if (call == "Closed Port!\r\n")
                journalAtClose = KtapiJournal().size();
        });
    }

    // The pass's time is the device's: on the emulated core, its own clock.
    // Its debug output is taken as it ends, before the test checks anything
    // (a failed check adds GoogleTest's report to the capture). On the
    // emulated core the pass must also leave "COM3:" with the time-outs it
    // found: the device's serial driver keeps them for the port, and the next
    // program to open it gets them. (Wine keeps them per handle; the desktop
    // build's calls are shown by Faults.PortTimeOutsAreTheProgramsOwnAndHandedBack.)
    DWORD RunPass(rxsim::Options options = rxsim::Options())
    {
        EXPECT_TRUE(sim.Start(options));
        calledMs = sim.ElapsedMs();
        arm.onEntered = [this] { calledMs = sim.ElapsedMs(); };
        std::vector<DWORD> timeouts = armBuild ? arm.PortTimeouts("COM3:") : std::vector<DWORD>();
        DWORD started = armBuild ? ArmClockMs() : GetTickCount();
        DWORD result = CallInit();
        elapsedMs = (armBuild ? ArmClockMs() : GetTickCount()) - started;
        passCalls = DebugCalls();
        std::string text;
        for (const std::string &call : passCalls)
            text += call;
        passLines = SplitDebugLines(text);
        if (armBuild) {
            EXPECT_EQ(timeouts.size(), 5u);
            EXPECT_EQ(arm.PortTimeouts("COM3:"), timeouts) << "the port's time-outs were not handed back";
        }
        return result;
    }

    DWORD ArmClockMs() { return (DWORD)std::stoul("0" + arm.Stats()["clock_ms"]); }

    // Handles the process that holds the driver has open.
    DWORD ProcessHandles() { return armBuild ? (DWORD)arm.Handles() : HandleCount(); }

    // The thirteen frames the pass must send for these settings.
    static std::vector<Bytes> ExpectedFrames(const std::vector<bool> &on, bool sbas)
    {
        std::vector<Bytes> frames;
        for (int i = 0; i < kSentenceCount; i++)
            frames.push_back(Of(NmeaFrame(i, on[i])));
        frames.push_back(Of(SbasFrame(sbas)));
        frames.push_back(Of(SaveFrame(kSaveBoth)));
        return frames;
    }

    // The pass's own lines for these settings, counts as "#".
    static Strings ExpectedSteps(const std::vector<bool> &on, bool sbas)
    {
        Strings steps = { kEntryLine, "SetNMEASentences: ConfigGPS == 2\r\n" };
        for (int i = 0; i < kSentenceCount; i++) {
            steps.push_back("NMEA [" + std::to_string(i) + (on[i] ? "] Enable" : "] Disable") +
                            ": Wrote 11 bytes\r\n");
            steps.push_back("NMEA [" + std::to_string(i) + "] Count = #\r\n");
        }
        steps.insert(steps.end(), { sbas ? "UBXSSBASEnable: Wrote 16 bytes 1\r\n" : "UBXSSBASDisable: Wrote 16 bytes 1\r\n",
                                    "SBAS Count = #\r\n", "UBXSaveToBBR: Wrote 21 bytes 1\r\n", "Save MSG Count = #\r\n",
                                    "Closed Port!\r\n", kExitLine });
        return steps;
    }

    DWORD elapsedMs = 0;
    Strings passCalls, passLines;   // the last pass's debug output
    double calledMs = 0;
    size_t journalAtClose = 99;
};

// Each build: the desktop build, the handheld image on an emulated XScale
// (PXA270, ARMv5TE) and on an ARMv4T core.
class BootPass : public BootPassFixture, public ::testing::WithParamInterface<std::string> {
protected:
    std::string Build() const override { return GetParam(); }
};

std::string BuildName(const ::testing::TestParamInfo<std::string> &info)
{
    return info.param;
}

// The desktop build alone: cases that reach into the driver's imports.
class DesktopBootPass : public BootPassFixture {};

// The slow pass is built into an executable of its own, labelled slow, so
// that the quick suite can leave it out.
#ifndef RX_SLOW_TESTS

TEST_P(BootPass, EverySettingOnIsAppliedSavedAndPowered)
{
    SetAllSettings(1);
    rxsim::Options options;
    options.current.sbas = options.bbr.sbas = false;
    EXPECT_EQ(RunPass(options), kDeviceContext);

    std::vector<bool> on(kSentenceCount, true);
    std::vector<Bytes> frames = FramesOnLine(sim);
    EXPECT_EQ(frames, ExpectedFrames(on, true));
    ASSERT_EQ(frames.size(), 13u);
    EXPECT_EQ(frames.back()[19] << 8 | frames.back()[20], 0x2714);
    SplitLines lines = SplitByThread(passLines);
    EXPECT_EQ(lines.steps, ExpectedSteps(on, true));
    ASSERT_EQ(lines.counts.size(), 13u);
    std::vector<rxsim::ReceivedFrame> received = sim.Frames();
    ASSERT_EQ(received.size(), 13u);
    for (size_t i = 0; i < received.size(); i++)
        ExpectPollsForReply(lines.counts[i], received[i], 2, "frame " + std::to_string(i));
    EXPECT_EQ(lines.listener.size(), 26u);

    rxsim::Configuration all = sim.Current();
    EXPECT_EQ(std::count(all.rate.begin(), all.rate.end(), 1), kSentenceCount);
    EXPECT_TRUE(all.sbas);
    EXPECT_EQ(sim.Saved(), all);
    EXPECT_EQ(journalAtClose, 0u);
    EXPECT_EQ(KtapiJournal(), kPowerOn);
    // The fixed delays, from the receiver's side: 500 ms before the first
    // frame and after each count line, none between listener and write.
    ExpectDelay(received[0].arrivalMs - calledMs, 500, "frame 0");
    for (size_t i = 1; i < received.size(); i++)
        ExpectDelayAfterReply(received[i - 1], received[i], 500, "frame " + std::to_string(i));
}

// Without the settings key every flag reads 0: the full sequence of lines
// with its RegOpenKeyEx line, every sentence and SBAS switched off, saved,
// and the power line driven as not always on.
TEST_P(BootPass, MissingSettingsKeySwitchesEverythingOffAndLogsTheFullSequence)
{
    DeleteSettingsKey();
    EXPECT_EQ(RunPass(), kDeviceContext);
    std::vector<bool> off(kSentenceCount, false);
    EXPECT_EQ(FramesOnLine(sim), ExpectedFrames(off, false));
    Strings steps = ExpectedSteps(off, false);
    steps.insert(steps.begin() + 1, "SetNMEASentences: RegOpenKeyEx Failed\r\n");
    EXPECT_EQ(SplitByThread(passLines).steps, steps);
    rxsim::Configuration none = sim.Saved();
    EXPECT_EQ(std::count(none.rate.begin(), none.rate.end(), 0), kSentenceCount);
    EXPECT_FALSE(none.sbas);
    EXPECT_EQ(KtapiJournal(), kPowerOff);
}

// Any non-zero flag switches its sentence or SBAS on; only PWR == 1 holds
// the GPS on. "ConfigGPS" 1: the whole pass runs at 9600 baud, so that a
// receiver whose UART is at 9600 understands and answers every frame.
TEST_P(BootPass, ValuesOfTwoCountAsOnAndSelectorOneRunsThePassAt9600)
{
    std::vector<bool> on(kSentenceCount, false);
    for (int i : { 0, 2, 8 }) {
        SetSetting(kSettingNames[i], 2);
        on[i] = true;
    }
    SetSetting(L"SBAS", 2);
    SetSetting(L"PWR", 2);
    SetConfigGPS(1);
    rxsim::Options options;
    options.baud = CBR_9600;
    options.probeNearEnd = L"COM3:";
    EXPECT_EQ(RunPass(options), kDeviceContext);
    EXPECT_EQ(FramesOnLine(sim), ExpectedFrames(on, true));
    for (const rxsim::ReceivedFrame &frame : sim.Frames()) {
        EXPECT_EQ(frame.nearEndBaud, (DWORD)CBR_9600) << rxsim::DescribeFrame(frame);
        EXPECT_EQ(frame.answer, rxsim::Answer::Ack) << rxsim::DescribeFrame(frame);
    }
    SplitLines lines = SplitByThread(passLines);
    ASSERT_GE(lines.steps.size(), 2u);
    EXPECT_EQ(lines.steps[1], "SetNMEASentences: ConfigGPS == 1\r\n");
    // Each ACK takes about 10 ms of a 9600-baud line, and a loaded machine
    // may keep the listener from it for another poll or two; a lost reply
    // would run to 100.
    std::vector<rxsim::ReceivedFrame> received = sim.Frames();
    ASSERT_EQ(lines.counts.size(), received.size());
    for (size_t i = 0; i < received.size(); i++)
        ExpectPollsForReply(lines.counts[i], received[i], 4, "frame " + std::to_string(i));
    EXPECT_EQ(rxsim::Describe(sim.Saved()), "GGA GSA ZDA, SBAS on");
    EXPECT_EQ(KtapiJournal(), kPowerOff);
}

// A port that does not open, whose DCB cannot be read, or whose DCB cannot
// be written: RXB_Init returns 0 with that line last, sends nothing, leaves
// the power line alone and no handle open; the port works again after.
TEST_P(BootPass, PortThatCannotBeOpenedOrConfiguredFailsBeforeSendingAnything)
{
    SetAllSettings(1);
    const struct { Com3 port; bool refuse; const char *line; } cases[] = {
        { Com3::Missing, false, "SetNMEASentences: CreateFile Failed 2\r\n" },
        { Com3::Folder, false, "SetNMEASentences: CreateFile Failed 5\r\n" },
        { Com3::NoDcb, false, "GetCommState Failed\r\n" },
        { Com3::Cable, true, "SetCommState Failed\r\n" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_TRUE(PlugCom3(c.port));
        ASSERT_TRUE(RefuseLineSettings(c.refuse));
        CallInit();   // settles what the first use of each kind keeps
        ClearDebugCapture();
        ClearKtapiJournal();
        EXPECT_EQ(RunPass(), 0u);
        EXPECT_EQ(passLines, (Strings{ kEntryLine, "SetNMEASentences: ConfigGPS == 2\r\n", c.line }));
        EXPECT_TRUE(KtapiJournal().empty());
        Sleep(100);
        sim.Stop();   // counted without the receiver's own threads and handles
        EXPECT_TRUE(sim.BytesReceived().empty());
        DWORD handles = ProcessHandles();
        EXPECT_EQ(CallInit(), 0u);
        EXPECT_EQ(ProcessHandles(), handles);
        ASSERT_TRUE(RefuseLineSettings(false));
    }
    ASSERT_TRUE(PlugCom3(Com3::Cable));
    EXPECT_EQ(RunPass(), kDeviceContext);
}

// Every read of the pass's port, counted.
std::atomic<long> g_reads{ 0 };

BOOL WINAPI CountedRead(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped)
{
    g_reads++;
    return ReadFile(file, buffer, count, got, overlapped);
}

// Neither a line full of noise and text, nor NAKs, nor a failed write stop
// the pass. The NAK pass's cable hangs up once the SBAS frame is answered;
// every write fails from then on, and each read of the dead line burns the
// processor until its time-out (Wine polls it). The save frame's line shows
// the 0 bytes written; the listener, having found the line gone, reads it no
// more, and the wait runs out. The pass still completes as usual.
TEST_F(DesktopBootPass, NoiseNaksAndAHungUpLineDoNotStopThePass)
{
    SetAllSettings(1);
    rxsim::Options options;
    options.noiseBeforeReply = true;
    options.oversizedBeforeReply = true;
    options.chatterBytesPerSecond = 3840;
    EXPECT_EQ(RunPass(options), kDeviceContext);
    Strings steps = ExpectedSteps(std::vector<bool>(kSentenceCount, true), true);
    SplitLines lines = SplitByThread(passLines);
    EXPECT_EQ(lines.steps, steps);
    for (int count : lines.counts)
        EXPECT_LT(count, 100);
    for (const std::string &call : passCalls)
        EXPECT_GT(call.size(), 1u) << "the driver does not echo NMEA text";
    EXPECT_EQ(sim.Saved().rate[kDTM], 1);
    EXPECT_EQ(KtapiJournal(), kPowerOn);
    sim.Stop();
    int threads = ThreadCount();

    ClearDebugCapture();
    ClearKtapiJournal();
    ImportHook read(driver, "ReadFile", (void *)CountedRead);
    ASSERT_TRUE(read.installed());
    std::atomic<bool> sbasIn{ false };
    long readsAtHangUp = 0;
    std::thread cutter([&] {
        for (DWORD start = GetTickCount(); !sbasIn && GetTickCount() - start < 20000;)
            Sleep(5);
        EXPECT_TRUE(sim.WaitForBytesSent(12 * 10, 2000));   // the SBAS frame's NAK is out
        EXPECT_TRUE(HangUpCable());
        readsAtHangUp = g_reads;
    });
    options = rxsim::Options();
    options.reply = rxsim::Reply::Nak;
    options.onFrame = [&sbasIn](const rxsim::ReceivedFrame &frame) { sbasIn = sbasIn || frame.id == 0x16; };
    EXPECT_EQ(RunPass(options), kDeviceContext);
    cutter.join();
    lines = SplitByThread(passLines);
    steps[steps.size() - 4] = "UBXSaveToBBR: Wrote 0 bytes 1\r\n";
    EXPECT_EQ(lines.steps, steps);
    // (Bytes of the noisy receiver left on the cable come first.)
    EXPECT_EQ(std::count(lines.listener.begin(), lines.listener.end(), "     NAK of [0x6]-[0x1]\r\n"), 11);
    EXPECT_EQ(std::count(lines.listener.begin(), lines.listener.end(), "     NAK of [0x6]-[0x16]\r\n"), 1);
    ASSERT_EQ(lines.counts.size(), 13u);
    EXPECT_EQ(lines.counts.back(), 100);
    // The read in progress when the line went, perhaps one more: not one
    // for each of the 10 s of read periods that follow.
    EXPECT_LE(g_reads - readsAtHangUp, 3);
    EXPECT_EQ(KtapiJournal(), kPowerOn);
    for (const wchar_t *name : kSettingNames)
        EXPECT_EQ(GetSetting(name), 1u) << name;
    sim.Stop();
    EXPECT_EQ(ThreadCount(), threads);
}

#endif  // RX_SLOW_TESTS

// Every wait runs its 100 polls: about 72 s, on the desktop build in real
// time (in the slow tests), on the emulated cores in virtual time.
class SilentBootPass : public BootPass {
protected:
    bool VirtualTime() const override { return Build() != "desktop"; }
};

TEST_P(SilentBootPass, SilentReceiverWaitsOutEveryFrame)
{
    rxsim::Options options;
    options.reply = rxsim::Reply::Silent;
    EXPECT_EQ(RunPass(options), kDeviceContext);
    SplitLines lines = SplitByThread(passLines);
    EXPECT_EQ(lines.counts, std::vector<int>(13, 100));
    EXPECT_TRUE(lines.listener.empty());
    EXPECT_EQ(lines.steps.back(), kExitLine);
    EXPECT_EQ(sim.Frames().size(), 13u);
    EXPECT_GE(elapsedMs, 71000u);
    EXPECT_EQ(KtapiJournal(), kPowerOff);
}

#ifndef RX_SLOW_TESTS
INSTANTIATE_TEST_SUITE_P(Builds, BootPass, ::testing::Values("desktop", "pxa270", "armv4t"), BuildName);
INSTANTIATE_TEST_SUITE_P(Handheld, SilentBootPass, ::testing::Values("pxa270", "armv4t"), BuildName);
#else
INSTANTIATE_TEST_SUITE_P(Desktop, SilentBootPass, ::testing::Values("desktop"), BuildName);
#endif

}  // namespace
