// The boot pass, through the driver's RXB_Init in rxboot.dll as the device
// manager calls it, against the simulated receiver.
#include <gtest/gtest.h>

#include "debugcapture.h"
#include "fixtures.h"
#include "importhook.h"
#include "linecheck.h"
#include "rxsim.h"
#include "ubxcatalog.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {


const DWORD kDeviceContext = 0x89144233;
// The listener's poll period, and what a loaded machine may add to a step.
const double kPollMs = 50, kSlackMs = 100;
const char kEntryLine[] = "####       RXB_INIT Entered        ####\r\n";
const char kExitLine[] = "####       RXB_Init exiting        ####\r\n";

class BootPass : public ::testing::Test {
protected:
    void SetUp() override
    {
        bench::CreateKestranaKeys();
        bench::SetConfigGPS(2);
        bench::ClearKtapiJournal();
        bench::StartDebugCapture();
        init = bench::LoadBootDriver(&driver);
        ASSERT_NE(init, nullptr);
        // The power line must not move before the port is closed.
        bench::SetDebugCallHook([this](const std::string &call) {
            if (call == "Closed Port!\r\n")
                journalAtClose = bench::KtapiJournal().size();
        });
    }
    void TearDown() override
    {
        bench::SetDebugCallHook(nullptr);
        sim.Stop();
        if (driver != nullptr)
            FreeLibrary(driver);
        bench::DeleteKestranaKeys();
    }

    DWORD RunPass(rxsim::Options options = rxsim::Options())
    {
        EXPECT_TRUE(sim.Start(options));
        calledMs = sim.ElapsedMs();
        DWORD started = GetTickCount();
        DWORD result = init(L"Drivers\\Active\\42", nullptr);
        elapsedMs = GetTickCount() - started;
        return result;
    }

    std::vector<std::vector<uint8_t>> FramesOnLine() const
    {
        std::vector<std::vector<uint8_t>> frames;
        for (const rxsim::ReceivedFrame &frame : sim.Frames())
            frames.push_back(frame.bytes);
        return frames;
    }

    // The thirteen frames the pass must send for these settings.
    static std::vector<std::vector<uint8_t>> ExpectedFrames(const std::vector<bool> &on, bool sbas)
    {
        std::vector<std::vector<uint8_t>> frames;
        auto add = [&frames](UbxFrame f) { frames.emplace_back(f.bytes, f.bytes + f.length); };
        for (int i = 0; i < kSentenceCount; i++)
            add(NmeaFrame(i, on[i]));
        add(SbasFrame(sbas));
        add(SaveFrame(kSaveBoth));
        return frames;
    }

    // The pass's own lines for these settings, counts as "#".
    static std::vector<std::string> ExpectedSteps(const std::vector<bool> &on, bool sbas)
    {
        std::vector<std::string> steps = { kEntryLine, "SetNMEASentences: ConfigGPS == 2\r\n" };
        for (int i = 0; i < kSentenceCount; i++) {
            steps.push_back("NMEA [" + std::to_string(i) + (on[i] ? "] Enable" : "] Disable") +
                            ": Wrote 11 bytes\r\n");
            steps.push_back("NMEA [" + std::to_string(i) + "] Count = #\r\n");
        }
        steps.push_back(sbas ? "UBXSSBASEnable: Wrote 16 bytes 1\r\n" : "UBXSSBASDisable: Wrote 16 bytes 1\r\n");
        steps.push_back("SBAS Count = #\r\n");
        steps.push_back("UBXSaveToBBR: Wrote 21 bytes 1\r\n");
        steps.push_back("Save MSG Count = #\r\n");
        steps.push_back("Closed Port!\r\n");
        steps.push_back(kExitLine);
        return steps;
    }

    HMODULE driver = nullptr;
    bench::StreamInitFn init = nullptr;
    rxsim::Simulator sim;
    DWORD elapsedMs = 0;
    double calledMs = 0;
    size_t journalAtClose = 99;
};

// The slow pass is built into an executable of its own, labelled slow, so
// that the quick suite can leave it out.
#ifndef RX_SLOW_TESTS

const std::vector<std::string> kPowerOn = { "KTSetGPIO(0, 1)", "KTSetGPIODirection(1, 1)" };
const std::vector<std::string> kPowerOff = { "KTSetGPIO(1, 1)", "KTSetGPIODirection(0, 1)" };

TEST_F(BootPass, EverySettingOnIsAppliedSavedAndPowered)
{
    bench::SetAllSettings(1);
    rxsim::Options options;
    options.current.sbas = false;
    options.bbr.sbas = false;
    EXPECT_EQ(RunPass(options), kDeviceContext);

    std::vector<bool> on(kSentenceCount, true);
    EXPECT_EQ(FramesOnLine(), ExpectedFrames(on, true));
    EXPECT_EQ(FramesOnLine().back()[19], 0x27);
    EXPECT_EQ(FramesOnLine().back()[20], 0x14);
    bench::SplitLines lines = bench::SplitByThread(bench::DebugLines());
    EXPECT_EQ(lines.steps, ExpectedSteps(on, true));
    ASSERT_EQ(lines.counts.size(), 13u);
    for (int count : lines.counts)
        EXPECT_LE(count, 2);
    EXPECT_EQ(lines.listener.size(), 26u);

    rxsim::Configuration all = sim.Current();
    for (int i = 0; i < kSentenceCount; i++)
        EXPECT_EQ(all.rate[i], 1) << i;
    EXPECT_TRUE(all.sbas);
    EXPECT_EQ(sim.Saved(), all);
    EXPECT_EQ(journalAtClose, 0u);
    EXPECT_EQ(bench::KtapiJournal(), kPowerOn);
    // The fixed delays, from the receiver's side: 500 ms before the first
    // frame and after each count line, none between listener and write.
    std::vector<rxsim::ReceivedFrame> frames = sim.Frames();
    ASSERT_EQ(frames.size(), 13u);
    double previous = calledMs;
    for (size_t i = 0; i < frames.size(); i++) {
        double step = frames[i].arrivalMs - previous;
        EXPECT_GE(step, 500.0) << "frame " << i;
        EXPECT_LT(step, 500.0 + kPollMs + kSlackMs) << "frame " << i;
        previous = frames[i].arrivalMs;
    }
}

// Without the settings key every flag reads 0: the full sequence of lines
// with its RegOpenKeyEx line, every sentence and SBAS switched off, saved,
// and the power line driven as not always on.
TEST_F(BootPass, MissingSettingsKeySwitchesEverythingOffAndLogsTheFullSequence)
{
    bench::DeleteSettingsKey();
    EXPECT_EQ(RunPass(), kDeviceContext);
    std::vector<bool> off(kSentenceCount, false);
    EXPECT_EQ(FramesOnLine(), ExpectedFrames(off, false));
    std::vector<std::string> steps = ExpectedSteps(off, false);
    steps.insert(steps.begin() + 1, "SetNMEASentences: RegOpenKeyEx Failed\r\n");
    EXPECT_EQ(bench::SplitByThread(bench::DebugLines()).steps, steps);
    rxsim::Configuration none = sim.Saved();
    for (int i = 0; i < kSentenceCount; i++)
        EXPECT_EQ(none.rate[i], 0) << i;
    EXPECT_FALSE(none.sbas);
    EXPECT_EQ(bench::KtapiJournal(), kPowerOff);
}

// Any non-zero flag switches its sentence or SBAS on; only PWR == 1 holds
// the GPS on. "ConfigGPS" 1: the whole pass runs at 9600 baud, so that a
// receiver whose UART is at 9600 understands and answers every frame.
TEST_F(BootPass, ValuesOfTwoCountAsOnAndSelectorOneRunsThePassAt9600)
{
    std::vector<bool> on(kSentenceCount, false);
    for (int i : { 0, 2, 8 }) {
        bench::SetSetting(bench::kSettingNames[i], 2);
        on[i] = true;
    }
    bench::SetSetting(L"SBAS", 2);
    bench::SetSetting(L"PWR", 2);
    bench::SetConfigGPS(1);
    rxsim::Options options;
    options.baud = CBR_9600;
    options.probeNearEnd = L"COM3:";
    EXPECT_EQ(RunPass(options), kDeviceContext);
    EXPECT_EQ(FramesOnLine(), ExpectedFrames(on, true));
    for (const rxsim::ReceivedFrame &frame : sim.Frames()) {
        EXPECT_EQ(frame.nearEndBaud, (DWORD)CBR_9600) << rxsim::DescribeFrame(frame);
        EXPECT_EQ(frame.answer, rxsim::Answer::Ack) << rxsim::DescribeFrame(frame);
    }
    bench::SplitLines lines = bench::SplitByThread(bench::DebugLines());
    EXPECT_EQ(lines.steps[1], "SetNMEASentences: ConfigGPS == 1\r\n");
    // Each ACK takes about 10 ms of a 9600-baud line; a loaded machine may
    // add a poll or two, a lost reply would run to 100.
    for (int count : lines.counts)
        EXPECT_LE(count, 4);
    EXPECT_EQ(rxsim::Describe(sim.Saved()), "GGA GSA ZDA, SBAS on");
    EXPECT_EQ(bench::KtapiJournal(), kPowerOff);
}

// A port that does not open, whose DCB cannot be read, or whose DCB cannot
// be written: RXB_Init returns 0 with that line last, sends nothing, leaves
// the power line alone and no handle open; the port works again after.
TEST_F(BootPass, PortThatCannotBeOpenedOrConfiguredFailsBeforeSendingAnything)
{
    bench::SetAllSettings(1);
    const struct { bench::Com3 port; bool refuse; const char *line; } cases[] = {
        { bench::Com3::Missing, false, "SetNMEASentences: CreateFile Failed 2\r\n" },
        { bench::Com3::Folder, false, "SetNMEASentences: CreateFile Failed 5\r\n" },
        { bench::Com3::NoDcb, false, "GetCommState Failed\r\n" },
        { bench::Com3::Cable, true, "SetCommState Failed\r\n" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_TRUE(bench::PlugCom3(c.port));
        ASSERT_TRUE(bench::RefuseLineSettings(c.refuse));
        init(L"Drivers\\Active\\42", nullptr);   // settles what the first use of each kind keeps
        bench::ClearDebugCapture();
        bench::ClearKtapiJournal();
        EXPECT_EQ(RunPass(), 0u);
        std::vector<std::string> expected = { kEntryLine, "SetNMEASentences: ConfigGPS == 2\r\n", c.line };
        EXPECT_EQ(bench::DebugLines(), expected);
        EXPECT_TRUE(bench::KtapiJournal().empty());
        Sleep(100);
        sim.Stop();   // counted without the receiver's own threads and handles
        EXPECT_TRUE(sim.BytesReceived().empty());
        DWORD handles = bench::HandleCount();
        EXPECT_EQ(init(L"Drivers\\Active\\42", nullptr), 0u);
        EXPECT_EQ(bench::HandleCount(), handles);
        ASSERT_TRUE(bench::RefuseLineSettings(false));
    }
    ASSERT_TRUE(bench::PlugCom3(bench::Com3::Cable));
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
// the pass. The NAK pass's cable hangs up once the SBAS frame is answered:
// from then on the port reports nothing, every write fails, and every read
// of the line burns the processor until its time-out (Wine polls the dead
// line in a loop). The save frame's line shows the 0 bytes the write
// reported; once the listener has found the line gone it does not read it
// again, and the wait runs out as against a silent receiver. The pass still
// closes the port, drives the power line, completes, leaves no thread and
// leaves the registry as it was.
TEST_F(BootPass, NoiseNaksAndAHungUpLineDoNotStopThePass)
{
    bench::SetAllSettings(1);
    rxsim::Options options;
    options.noiseBeforeReply = true;
    options.oversizedBeforeReply = true;
    options.chatterBytesPerSecond = 3840;
    EXPECT_EQ(RunPass(options), kDeviceContext);
    std::vector<std::string> steps = ExpectedSteps(std::vector<bool>(kSentenceCount, true), true);
    bench::SplitLines lines = bench::SplitByThread(bench::DebugLines());
    EXPECT_EQ(lines.steps, steps);
    for (int count : lines.counts)
        EXPECT_LT(count, 100);
    for (const std::string &call : bench::DebugCalls())
        EXPECT_GT(call.size(), 1u) << "the driver does not echo NMEA text";
    EXPECT_EQ(sim.Saved().rate[kDTM], 1);
    EXPECT_EQ(bench::KtapiJournal(), kPowerOn);
    sim.Stop();
    int threads = bench::ThreadCount();

    bench::ClearDebugCapture();
    bench::ClearKtapiJournal();
    bench::ImportHook read(driver, "ReadFile", (void *)CountedRead);
    ASSERT_TRUE(read.installed());
    std::atomic<bool> sbasIn{ false };
    long readsAtHangUp = 0;
    std::thread cutter([&] {
        for (DWORD start = GetTickCount(); !sbasIn && GetTickCount() - start < 20000;)
            Sleep(5);
        EXPECT_TRUE(sim.WaitForBytesSent(12 * 10, 2000));   // the SBAS frame's NAK is out
        EXPECT_TRUE(bench::HangUpCable());
        readsAtHangUp = g_reads;
    });
    options = rxsim::Options();
    options.reply = rxsim::Reply::Nak;
    options.onFrame = [&sbasIn](const rxsim::ReceivedFrame &frame) { sbasIn = sbasIn || frame.id == 0x16; };
    EXPECT_EQ(RunPass(options), kDeviceContext);
    cutter.join();
    lines = bench::SplitByThread(bench::DebugLines());
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
    EXPECT_EQ(bench::KtapiJournal(), kPowerOn);
    for (const wchar_t *name : bench::kSettingNames)
        EXPECT_EQ(bench::GetSetting(name), 1u) << name;
    sim.Stop();
    EXPECT_EQ(bench::ThreadCount(), threads);
}

#else  // RX_SLOW_TESTS

// About 72 s: every wait runs its 100 polls.
TEST_F(BootPass, SilentReceiverWaitsOutEveryFrame)
{
    rxsim::Options options;
    options.reply = rxsim::Reply::Silent;
    EXPECT_EQ(RunPass(options), kDeviceContext);
    bench::SplitLines lines = bench::SplitByThread(bench::DebugLines());
    EXPECT_EQ(lines.counts, std::vector<int>(13, 100));
    EXPECT_TRUE(lines.listener.empty());
    EXPECT_EQ(lines.steps.back(), kExitLine);
    EXPECT_EQ(sim.Frames().size(), 13u);
    EXPECT_GE(elapsedMs, 71000u);
    EXPECT_EQ(bench::KtapiJournal(), (std::vector<std::string>{ "KTSetGPIO(1, 1)", "KTSetGPIODirection(0, 1)" }));
}

#endif  // RX_SLOW_TESTS

}  // namespace
