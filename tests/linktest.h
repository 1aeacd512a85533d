// linktest.h - what the tests of the receiver link share: frames as bytes,
// the programs' fixed lines and bounds, the debug lines split by thread, and
// a fixture with the settings keys, the debug capture and a receiver.
//
// The reply listener logs from its own thread while the transaction thread
// logs its steps, so the two kinds of line interleave as timing has it. Tests
// compare each thread's lines in order, with poll counts, which vary with
// timing, checked apart.
#pragma once

#include <gtest/gtest.h>

#include "armsession.h"
#include "debugcapture.h"
#include "fixtures.h"
#include "rxsim.h"
#include "ubxcatalog.h"

#include <algorithm>
#include <initializer_list>
#include <regex>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

const DWORD kDeviceContext = 0x89144233;   // what RXB_Init returns after a pass
const wchar_t kCreateFileLine[] = L"Test: CreateFile Failed %d\r\n";
// Handles the test bench itself may open once, late (the wait event of a
// lock the first time two threads contend for it).
const DWORD kBenchHandleSlack = 2;
// The listener's poll period, and what a loaded machine may add to a step.
const double kPollMs = 50, kSlackMs = 100;
inline const Strings kPowerOn = { "KTSetGPIO(0, 1)", "KTSetGPIODirection(1, 1)" };
inline const Strings kPowerOff = { "KTSetGPIO(1, 1)", "KTSetGPIODirection(0, 1)" };

inline Bytes Of(UbxFrame frame)
{
    return Bytes(frame.bytes, frame.bytes + frame.length);
}

// Bytes or lines one after the other.
template <typename T>
std::vector<T> Concat(std::initializer_list<std::vector<T>> parts)
{
    std::vector<T> all;
    for (const std::vector<T> &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline bool Contains(const Strings &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The frames the receiver took in, each as its bytes.
inline std::vector<Bytes> FramesOnLine(const rxsim::Simulator &sim)
{
    std::vector<Bytes> frames;
    for (const rxsim::ReceivedFrame &frame : sim.Frames())
        frames.push_back(frame.bytes);
    return frames;
}

// The listener's two lines for an ACK of class 6, message id ("0x1").
inline Strings AckLines(const char *id)
{
    return { "UBX MSG: [0x5]-[0x1] size 2\r\n", std::string("     ACK of [0x6]-[") + id + "]\r\n" };
}

// A fixed delay as the receiver saw it: at least the delay, and less than
// the delay plus one poll period and what a loaded machine adds.
inline void ExpectDelay(double step, double delay, const std::string &what)
{
    EXPECT_GE(step, delay) << what;
    EXPECT_LT(step, delay + kPollMs + kSlackMs) << what;
}

// When the receiver started its answer to frame (it starts every delay
// after a reply), or, for a frame it left unanswered, when the frame came in.
inline double ReplyOrArrivalMs(const rxsim::ReceivedFrame &frame)
{
    return frame.answeredMs > 0 ? frame.answeredMs : frame.arrivalMs;
}

// A fixed delay that the program starts once it has seen the reply to the
// frame before: counted from when the receiver wrote that reply, so that a
// receiver slowed by a loaded machine is not charged to the program.
inline void ExpectDelayAfterReply(const rxsim::ReceivedFrame &before, const rxsim::ReceivedFrame &next,
                                  double delay, const std::string &what)
{
    ExpectDelay(next.arrivalMs - ReplyOrArrivalMs(before), delay, what);
}

// The polls the program counted before it saw the reply to frame: at most
// polls beyond those that passed before the receiver wrote it (on an idle
// machine it writes within a millisecond).
inline void ExpectPollsForReply(int count, const rxsim::ReceivedFrame &frame, int polls, const std::string &what)
{
    int receiverPolls = frame.answeredMs > frame.arrivalMs ? (int)((frame.answeredMs - frame.arrivalMs) / kPollMs) : 0;
    EXPECT_LE(count, polls + receiverPolls) << what << ": the receiver answered after "
                                            << frame.answeredMs - frame.arrivalMs << " ms";
}

// What the setup program's reply listener echoed: its one-character calls
// in order (an echoed NUL arrives as an empty call). The test's own thread
// is not the listener: GoogleTest's "\n" after a failure's report never
// counts.
inline std::string EchoedText()
{
    std::string echo;
    for (const std::string &call : DebugCalls(Callers::NotTheTest)) {
        if (call.empty())
            echo += '\0';
        else if (call.size() == 1)
            echo += call;
    }
    return echo;
}

// The listener's own lines: "UBX MSG: ..." and the ACK/NAK lines.
inline bool IsListenerLine(const std::string &line)
{
    return line.rfind("UBX MSG: ", 0) == 0 || line.rfind("     ACK of ", 0) == 0 ||
           line.rfind("     NAK of ", 0) == 0;
}

struct SplitLines {
    Strings steps;             // the transaction thread's lines, counts as "#"
    Strings listener;          // the listener's lines
    std::vector<int> counts;   // the poll counts, in order
};

// Single characters (echoed NMEA text) are dropped.
inline SplitLines SplitByThread(const Strings &lines)
{
    static const std::regex count("(.*Count = )(-?[0-9]+)\r\n");
    SplitLines split;
    for (const std::string &line : lines) {
        std::smatch match;
        if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0)
            continue;
        if (IsListenerLine(line)) {
            split.listener.push_back(line);
        } else if (std::regex_match(line, match, count)) {
            split.steps.push_back(match[1].str() + "#\r\n");
            split.counts.push_back(std::stoi(match[2].str()));
        } else {
            split.steps.push_back(line);
        }
    }
    return split;
}

// Both keys empty but for "ConfigGPS" 2, the debug capture on, the KTAPI
// journal empty; afterwards the receiver stopped, "COM3:" on the cable and
// the keys gone. LoadDriver() adds the boot driver, freed afterwards: the
// desktop build's, or with a core's name ("pxa270", "armv4t") the handheld
// image on that emulated core, whose registry, debug output and KTAPI calls
// reach the same places (testbench/armhost). CallInit() calls its RXB_Init,
// on the emulated core inside the device manager's exception handler.
class LinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CreateKestranaKeys();
        SetConfigGPS(2);
        ClearKtapiJournal();
        StartDebugCapture();
    }
    void TearDown() override
    {
        SetDebugCallHook(nullptr);
        sim.Stop();
        PlugCom3(Com3::Cable);
        if (driver != nullptr)
            FreeLibrary(driver);
        if (arm.Running()) {
            DWORD detached = 0;
            EXPECT_TRUE(arm.Unload(&detached)) << arm.Problem();
            EXPECT_EQ(detached, 1u) << "DllMain(DLL_PROCESS_DETACH)";
        }
        DeleteKestranaKeys();
    }
    void LoadDriver(const std::string &build = "desktop", bool virtualTime = false)
    {
        armBuild = build != "desktop";
        if (armBuild) {
            ArmOptions options;
            options.core = build;
            options.virtualTime = virtualTime;
            ASSERT_TRUE(arm.Start(HandheldDriver(), options)) << arm.Problem();
            return;
        }
        rxbInit = LoadBootDriver(&driver);
        ASSERT_NE(rxbInit, nullptr);
    }
    DWORD CallInit()
    {
        if (!armBuild)
            return rxbInit(L"Drivers\\Active\\42", nullptr);
        static const wchar_t key[] = L"Drivers\\Active\\42";
        DWORD result = 0xFFFFFFFF;
        if (!arm.Init("RXB_Init", { ArmArg(Bytes((const uint8_t *)key, (const uint8_t *)key + sizeof(key))), 0 },
                      &result))
            ADD_FAILURE() << "RXB_Init on the emulated core: " << arm.Problem();
        return result;
    }
    void StartReceiver(const rxsim::Options &options = rxsim::Options()) { ASSERT_TRUE(sim.Start(options)); }

    rxsim::Simulator sim;
    HMODULE driver = nullptr;
    StreamInitFn rxbInit = nullptr;
    bool armBuild = false;
    ArmSession arm;
};

}  // namespace bench
