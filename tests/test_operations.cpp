// The setup program's setting change operations against the simulated
// receiver: frames on the line, the receiver's configuration and BBR, the
// registry, the power line and the debug lines.
#include <gtest/gtest.h>

#include "debugcapture.h"
#include "fixtures.h"
#include "linecheck.h"
#include "operations.h"
#include "rxsim.h"
#include "ubxcatalog.h"

#include <string>
#include <thread>
#include <vector>

namespace {

// The listener's poll period, and what a loaded machine may add to a step.
const double kPollMs = 50, kSlackMs = 100;

std::vector<uint8_t> Bytes(UbxFrame frame)
{
    return std::vector<uint8_t>(frame.bytes, frame.bytes + frame.length);
}

std::vector<std::vector<uint8_t>> FramesOnLine(const rxsim::Simulator &sim)
{
    std::vector<std::vector<uint8_t>> frames;
    for (const rxsim::ReceivedFrame &frame : sim.Frames())
        frames.push_back(frame.bytes);
    return frames;
}

class Operations : public ::testing::Test {
protected:
    void SetUp() override
    {
        bench::CreateKestranaKeys();
        bench::SetConfigGPS(2);
        bench::StartDebugCapture();
        bench::ClearKtapiJournal();
    }
    void TearDown() override
    {
        sim.Stop();
        bench::DeleteKestranaKeys();
    }
    void StartReceiver(rxsim::Options options = rxsim::Options()) { ASSERT_TRUE(sim.Start(options)); }

    rxsim::Simulator sim;
};

TEST_F(Operations, GgaOnSendsChangeThenSaveAndRecordsIt)
{
    StartReceiver();
    bench::SetSetting(L"GGA", 0);
    double called = sim.ElapsedMs();
    EXPECT_TRUE(ToggleNMEA(kGGA, 1));

    std::vector<std::vector<uint8_t>> expected = { Bytes(NmeaFrame(kGGA, TRUE)),
                                                   Bytes(SaveFrame(kSaveMessages)) };
    EXPECT_EQ(FramesOnLine(sim), expected);
    EXPECT_EQ(FramesOnLine(sim).back(), (std::vector<uint8_t>{ 0xB5, 0x62, 0x06, 0x09, 0x0D, 0x00, 0, 0, 0, 0, 0x02,
                                                                0, 0, 0, 0, 0, 0, 0, 0x01, 0x1F, 0xCC }));
    EXPECT_EQ(sim.Current().rate[kGGA], 1);
    EXPECT_EQ(sim.Saved().rate[kGGA], 1);
    EXPECT_EQ(bench::GetSetting(L"GGA"), 1u);

    bench::SplitLines lines = bench::SplitByThread(bench::DebugLines());
    std::vector<std::string> steps = {
        "SetNMEASentences: ConfigGPS == 2\r\n",
        "NMEA Enable: Wrote 11 bytes\r\n",
        "Count = #\r\n",
        "UBXSaveMsgToBBR: Wrote 21 bytes\r\n",
        "Count = #\r\n",
    };
    EXPECT_EQ(lines.steps, steps);
    std::vector<std::string> listener = {
        "UBX MSG: [0x5]-[0x1] size 2\r\n", "     ACK of [0x6]-[0x1]\r\n",
        "UBX MSG: [0x5]-[0x1] size 2\r\n", "     ACK of [0x6]-[0x9]\r\n",
    };
    EXPECT_EQ(lines.listener, listener);
    for (int count : lines.counts)
        EXPECT_LE(count, 2);
    // The fixed delays, from the receiver's side: 200 ms before the change
    // frame, 100 ms after the first stop, none before the save.
    std::vector<rxsim::ReceivedFrame> frames = sim.Frames();
    ASSERT_EQ(frames.size(), 2u);
    double first = frames[0].arrivalMs - called, second = frames[1].arrivalMs - frames[0].arrivalMs;
    EXPECT_GE(first, 200.0);
    EXPECT_LT(first, 200.0 + kPollMs + kSlackMs);
    EXPECT_GE(second, 100.0);
    EXPECT_LT(second, 100.0 + kPollMs + kSlackMs);
}

// DTM off, then SBAS on with "ConfigGPS" 1: the whole operation runs at
// 9600 baud, so that a receiver at 9600 answers every frame.
TEST_F(Operations, DtmOffAndSbasOnAt9600SaveTheirPartOfTheConfiguration)
{
    bench::SetConfigGPS(1);
    rxsim::Options options;
    options.current.rate[kDTM] = 1;
    options.bbr.rate[kDTM] = 1;
    options.current.sbas = options.bbr.sbas = false;
    options.baud = CBR_9600;
    options.probeNearEnd = L"COM3:";
    StartReceiver(options);
    bench::SetSetting(L"DTM", 1);
    EXPECT_TRUE(ToggleNMEA(kDTM, 0));
    EXPECT_TRUE(ToggleSBAS(1));
    std::vector<std::vector<uint8_t>> expected = { Bytes(NmeaFrame(kDTM, FALSE)), Bytes(SaveFrame(kSaveMessages)),
                                                   Bytes(SbasFrame(TRUE)), Bytes(SaveFrame(kSaveNavigation)) };
    EXPECT_EQ(FramesOnLine(sim), expected);
    std::vector<uint8_t> save = FramesOnLine(sim).back();   // the navigation configuration to BBR
    EXPECT_EQ((std::vector<uint8_t>{ save[10], save[18], save[19], save[20] }), (std::vector<uint8_t>{ 0x08, 0x01, 0x25, 0x02 }));
    for (const rxsim::ReceivedFrame &frame : sim.Frames())
        EXPECT_TRUE(frame.nearEndBaud == CBR_9600 && frame.answer == rxsim::Answer::Ack) << rxsim::DescribeFrame(frame);
    EXPECT_EQ(sim.Saved().rate[kDTM], 0);
    EXPECT_TRUE(sim.Saved().sbas);
    EXPECT_EQ(bench::GetSetting(L"DTM"), 0u);
    EXPECT_EQ(bench::GetSetting(L"SBAS"), 1u);
    std::vector<std::string> steps = {
        "SetNMEASentences: ConfigGPS == 1\r\n", "NMEA Disable: Wrote 11 bytes\r\n", "Count = #\r\n",
        "UBXSaveMsgToBBR: Wrote 21 bytes\r\n", "Count = #\r\n",
        "SetNMEASentences: ConfigGPS == 1\r\n", "NMEA Enable: Wrote 16 bytes\r\n", "Count = #\r\n",
        "UBXSaveNavToBBR: Wrote 21 bytes\r\n", "Count = #\r\n",
    };
    EXPECT_EQ(bench::SplitByThread(bench::DebugLines()).steps, steps);
}

TEST_F(Operations, GpsPowerDrivesTheLineAndStoresWithoutTouchingThePort)
{
    StartReceiver();
    SetGpsPower(0);
    EXPECT_EQ(bench::KtapiJournal(), (std::vector<std::string>{ "KTSetGPIO(1, 1)", "KTSetGPIODirection(0, 1)" }));
    EXPECT_EQ(bench::GetSetting(L"PWR"), 0u);
    SetGpsPower(1);
    EXPECT_EQ(bench::KtapiJournal(),
              (std::vector<std::string>{ "KTSetGPIO(1, 1)", "KTSetGPIODirection(0, 1)", "KTSetGPIO(0, 1)",
                                         "KTSetGPIODirection(1, 1)" }));
    EXPECT_EQ(bench::GetSetting(L"PWR"), 1u);
    Sleep(100);
    EXPECT_TRUE(sim.BytesReceived().empty());
    EXPECT_TRUE(bench::DebugCalls().empty());
}

// Neither a NAK nor a failed write (on a line cut once the port is open)
// stops the operation: it goes on, writes the save frame and records it.
TEST_F(Operations, NakOrAFailedWriteStillRecordsTheSetting)
{
    rxsim::Options options;
    options.reply = rxsim::Reply::Nak;
    StartReceiver(options);
    EXPECT_TRUE(ToggleNMEA(kGST, 1));
    EXPECT_EQ(bench::GetSetting(L"GST"), 1u);
    EXPECT_EQ(sim.Frames().size(), 2u);
    EXPECT_EQ(sim.Current().rate[kGST], 0);

    bench::ClearDebugCapture();
    std::thread operation([] { EXPECT_TRUE(ToggleNMEA(kGBS, 1)); });
    HANDLE claim = nullptr;
    for (DWORD start = GetTickCount(); claim == nullptr && GetTickCount() - start < 5000; Sleep(1))
        claim = OpenMutexW(SYNCHRONIZE, FALSE, L"SerialPortInUse COM3:");
    EXPECT_NE(claim, nullptr) << "the operation never opened the port";
    EXPECT_TRUE(bench::HangUpCable());
    operation.join();
    CloseHandle(claim);

    bench::SplitLines lines = bench::SplitByThread(bench::DebugLines());
    std::vector<std::string> steps = {
        "SetNMEASentences: ConfigGPS == 2\r\n", "Writefile error 21\r\n", "NMEA Enable: Wrote 0 bytes\r\n",
        "Count = #\r\n", "UBXSaveMsgToBBR: Wrote 0 bytes\r\n", "Count = #\r\n",
    };
    EXPECT_EQ(lines.steps, steps);
    EXPECT_EQ(lines.counts, (std::vector<int>{ 200, 200 }));
    EXPECT_EQ(bench::GetSetting(L"GBS"), 1u);
    EXPECT_EQ(sim.Frames().size(), 2u);
}

TEST_F(Operations, NoSuchSentenceDoesNothing)
{
    StartReceiver();
    EXPECT_FALSE(ToggleNMEA(11, 1));
    EXPECT_FALSE(ToggleNMEA(-1, 1));
    Sleep(100);
    EXPECT_TRUE(sim.BytesReceived().empty());
    EXPECT_TRUE(bench::DebugCalls().empty());
}

}  // namespace
