// The serial transaction and its reply listener, against the simulated
// receiver on the far end of the null-modem cable.
#include <gtest/gtest.h>

#include "debugcapture.h"
#include "fixtures.h"
#include "rxsim.h"
#include "transaction.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t kCreateFileLine[] = L"Test: CreateFile Failed %d\r\n";

// Handles the test bench itself may open once, late (the wait event of a
// lock the first time two threads contend for it).
const DWORD kBenchHandleSlack = 2;

DWORD FlagWord(const DCB &dcb)
{
    DWORD word;
    std::memcpy(&word, reinterpret_cast<const BYTE *>(&dcb) + 8, sizeof(word));
    return word;
}

bool Contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class Transaction : public ::testing::Test {
protected:
    void SetUp() override
    {
        bench::CreateKestranaKeys();
        bench::SetConfigGPS(2);
        bench::StartDebugCapture();
    }
    void TearDown() override
    {
        sim.Stop();
        bench::DeleteKestranaKeys();
    }

    void StartReceiver(rxsim::Options options = rxsim::Options())
    {
        ASSERT_TRUE(sim.Start(options));
    }

    // One frame through a whole transaction; returns the poll count.
    int OneFrame(const LinkRule *rule, UbxFrame frame, int pollLimit)
    {
        EXPECT_TRUE(OpenReceiverPort(rule, kCreateFileLine));
        StartReplyListener();
        DWORD written = 0;
        EXPECT_TRUE(WriteReceiverFrame(frame, &written));
        EXPECT_EQ(written, frame.length);
        int count = WaitForReply(pollLimit);
        StopReplyListener();
        CloseReceiverPort();
        return count;
    }

    rxsim::Simulator sim;
};

TEST_F(Transaction, AnsweredFrameIsLoggedAndSeenWithinAPoll)
{
    StartReceiver();
    UbxFrame gga = NmeaFrame(kGGA, TRUE);
    int count = OneFrame(&kSetupLinkRule, gga, 200);

    EXPECT_LE(count, 2);
    std::vector<std::string> lines = bench::DebugLines();
    std::vector<std::string> expected = {
        "SetNMEASentences: ConfigGPS == 2\r\n",
        "UBX MSG: [0x5]-[0x1] size 2\r\n",
        "     ACK of [0x6]-[0x1]\r\n",
    };
    EXPECT_EQ(lines, expected);
    ASSERT_EQ(sim.Frames().size(), 1u);
    EXPECT_EQ(sim.Frames()[0].bytes, std::vector<uint8_t>(gga.bytes, gga.bytes + gga.length));
    EXPECT_EQ(sim.Current().rate[kGGA], 1);
}

// The limit ends the wait as a reply would: the count is the limit, the
// wait took that many polls of 50 ms, and replySeen is 1, so the next step
// goes on. A reply that comes after the limit is not lost: it counts for
// the next frame (Faults.LateReplyCountsForTheNextFrame).
TEST_F(Transaction, SilentReceiverRunsThePollLimit)
{
    rxsim::Options options;
    options.reply = rxsim::Reply::Silent;
    StartReceiver(options);
    DWORD started = GetTickCount();
    int count = OneFrame(&kSetupLinkRule, SbasFrame(TRUE), 6);
    DWORD elapsed = GetTickCount() - started;
    EXPECT_EQ(count, 6);
    EXPECT_GE(elapsed, 6u * 50 - 20);
    EXPECT_EQ(g_transaction.replySeen, 1);
    ASSERT_EQ(sim.Frames().size(), 1u);
    EXPECT_TRUE(sim.Frames()[0].checksumOk) << "the frame did not go out whole";
}

// NMEA text read while waiting: the setup program echoes it one character a
// call; the boot driver drops it. Both still find the reply.
TEST_F(Transaction, ChatterIsEchoedBySetupAndDroppedByTheDriver)
{
    rxsim::Options options;
    options.chatterBytesPerSecond = 3840;
    options.latencyMs = 150;
    StartReceiver(options);

    for (const LinkRule *rule : { &kSetupLinkRule, &kBootLinkRule }) {
        bench::ClearDebugCapture();
        int count = OneFrame(rule, NmeaFrame(kGSV, TRUE), 100);
        EXPECT_LE(count, 5);
        std::string echoed;
        for (const std::string &call : bench::DebugCalls()) {
            if (call.size() == 1)
                echoed += call;
        }
        EXPECT_TRUE(Contains(bench::DebugLines(), "     ACK of [0x6]-[0x1]\r\n"));
        if (rule == &kBootLinkRule) {
            EXPECT_EQ(echoed, "");
            continue;
        }
        // Everything echoed is NMEA text exactly as the receiver sent it.
        std::vector<uint8_t> sent = sim.BytesSent();
        std::string text(sent.begin(), sent.end());
        std::vector<uint8_t> ack = rxsim::AckFrame(true, 0x06, 0x01);
        size_t at = text.find(std::string(ack.begin(), ack.end()));
        ASSERT_NE(at, std::string::npos);
        text.erase(at, ack.size());
        EXPECT_GT(echoed.size(), 100u);
        EXPECT_NE(echoed.find("$G"), std::string::npos);
        size_t good = 0;
        while (good < echoed.size() && text.find(echoed.substr(0, good + 1)) != std::string::npos)
            good++;
        EXPECT_EQ(good, echoed.size()) << "echo differs after: " << echoed.substr(0, good)
                                       << "\n---- then: " << echoed.substr(good, 80) << "\n---- sent: " << text;
    }
}

// A 0xB5 that does not start a frame takes the five bytes after it with it;
// scanning resumes after them.
TEST_F(Transaction, FalseStartSwallowsExactlyFiveBytes)
{
    rxsim::Options options;
    options.reply = rxsim::Reply::Silent;
    StartReceiver(options);
    ASSERT_TRUE(OpenReceiverPort(&kSetupLinkRule, kCreateFileLine));
    StartReplyListener();
    std::vector<uint8_t> line = { 'x', 0xB5, 'A', 'B', 'C', 'D', 'E', 'F', 'G' };
    std::vector<uint8_t> ack = rxsim::AckFrame(true, 0x06, 0x16);
    line.insert(line.end(), ack.begin(), ack.end());
    ASSERT_TRUE(sim.Send(line));
    int count = WaitForReply(40);
    StopReplyListener();
    CloseReceiverPort();

    EXPECT_LT(count, 40);
    std::vector<std::string> calls = bench::DebugCalls();
    std::vector<std::string> expected = {
        "SetNMEASentences: ConfigGPS == 2\r\n", "x", "F", "G",
        "UBX MSG: [0x5]-[0x1] size 2\r\n", "     ACK of [0x6]-[0x16]\r\n",
    };
    EXPECT_EQ(calls, expected);
}

// Port settings by each program's rule. Flag word: bits 0x276E cleared and
// 0x1011 set (binary, DTR and RTS on, no parity, no flow control), the rest
// as the port reported them. "ConfigGPS" is read whole into 4 bytes
// whatever its type; anything longer counts as absent (2). The setup program
// keeps the port's rate for any selector but 1 and 2; the driver runs at
// 38400 for any but 1. No registry handle is kept, however the read went.
TEST_F(Transaction, OpenConfiguresThePortByEachProgramsRule)
{
    using Bytes = std::vector<uint8_t>;
    auto dword = [](DWORD value) { return Bytes((uint8_t *)&value, (uint8_t *)&value + 4); };
    const char kUnreadable[] = "ERROR: Unable to read * registry value";
    const DWORD kNoKey = 0xFFFFFFFF;
    struct Case {
        const char *name;
        DWORD type;          // REG_NONE: no "ConfigGPS" value; kNoKey: no key at all
        Bytes data;
        const char *line;    // after "SetNMEASentences: "; '*' is the program's name for the value
        DWORD setupRate, bootRate;
    };
    const Case cases[] = {
        { "1", REG_DWORD, dword(1), "ConfigGPS == 1", CBR_9600, CBR_9600 },
        { "2", REG_DWORD, dword(2), "ConfigGPS == 2", CBR_38400, CBR_38400 },
        { "3", REG_DWORD, dword(3), "ConfigGPS == 3", CBR_4800, CBR_38400 },   // setup keeps the port's rate
        { "0", REG_DWORD, dword(0), "ConfigGPS == 0", CBR_4800, CBR_38400 },
        { "0xFFFFFFFF", REG_DWORD, dword(0xFFFFFFFF), "ConfigGPS == -1", CBR_4800, CBR_38400 },
        { "absent", REG_NONE, {}, kUnreadable, CBR_38400, CBR_38400 },
        { "no key", kNoKey, {}, nullptr, CBR_38400, CBR_38400 },
        // The text "1" is the number 0x31, not 1.
        { "string \"1\"", REG_SZ, { '1', 0, 0, 0 }, "ConfigGPS == 49", CBR_4800, CBR_38400 },
        { "string \"38400\"", REG_SZ, { '3', 0, '8', 0, '4', 0, '0', 0, '0', 0, 0, 0 }, kUnreadable, CBR_38400,
          CBR_38400 },
        // Too long to read whole, although its first four bytes say 1.
        { "8 bytes", REG_QWORD, { 1, 0, 0, 0, 0, 0, 0, 0 }, kUnreadable, CBR_38400, CBR_38400 },
        { "1 byte", REG_BINARY, { 1 }, "ConfigGPS == 1", CBR_9600, CBR_9600 },
        { "no bytes", REG_BINARY, {}, "ConfigGPS == 0", CBR_4800, CBR_38400 },
    };
    // The first round settles what Wine keeps after the port's first use;
    // the second is counted.
    DWORD handles = 0;
    for (int round = 0; round < 2; round++) {
        for (const Case &c : cases) {
            for (const LinkRule *rule : { &kSetupLinkRule, &kBootLinkRule }) {
                bool setup = rule == &kSetupLinkRule;
                SCOPED_TRACE(std::string(c.name) + (setup ? ", setup" : ", boot"));
                bench::CreateKestranaKeys();
                if (c.type == kNoKey)
                    bench::DeleteKestranaKeys();
                else if (c.type != REG_NONE)
                    bench::SetRawValue(false, L"ConfigGPS", c.type, c.data.data(), (DWORD)c.data.size());
                ASSERT_TRUE(bench::SetCom3Rate(CBR_4800));
                DCB before = bench::Com3Dcb();
                bench::ClearDebugCapture();

                ASSERT_TRUE(OpenReceiverPort(rule, kCreateFileLine));
                DCB written = g_transaction.dcb;
                DCB actual = {};
                actual.DCBlength = sizeof(actual);
                GetCommState(g_transaction.port, &actual);
                CloseReceiverPort();
                DCB closed = bench::Com3Dcb();   // the port's own state after the close

                DWORD rate = setup ? c.setupRate : c.bootRate;
                EXPECT_EQ(written.DCBlength, 28u);
                EXPECT_EQ(written.BaudRate, rate);
                EXPECT_EQ(actual.BaudRate, rate);
                EXPECT_EQ(written.ByteSize, 8);
                EXPECT_EQ(written.Parity, NOPARITY);
                EXPECT_EQ(written.StopBits, ONESTOPBIT);
                EXPECT_EQ(FlagWord(written), (FlagWord(before) & ~0x276Eu) | 0x1011u);
                // The close keeps the line as written but for DTR and RTS, which
                // a pseudo-terminal always reports as enabled: the rest is read back.
                EXPECT_TRUE(closed.BaudRate == rate && closed.ByteSize == 8 && closed.Parity == NOPARITY &&
                            closed.StopBits == ONESTOPBIT && closed.fBinary && !closed.fOutX && !closed.fInX);

                std::vector<std::string> lines;
                if (c.line != nullptr) {
                    std::string line = std::string("SetNMEASentences: ") + c.line + "\r\n";
                    size_t star = line.find('*');
                    if (star != std::string::npos)
                        line.replace(star, 1, setup ? "Configured" : "ConfigGPS");
                    lines.push_back(line);
                }
                EXPECT_EQ(bench::DebugLines(), lines);
            }
        }
        if (round == 0)
            handles = bench::HandleCount();
    }
    EXPECT_LE(bench::HandleCount(), handles + kBenchHandleSlack);
}

TEST_F(Transaction, NoListenerOrHandleOutlivesATransaction)
{
    rxsim::Options options;
    options.chatterBytesPerSecond = 2000;
    StartReceiver(options);
    auto threeFrames = [] {
        ASSERT_TRUE(OpenReceiverPort(&kSetupLinkRule, kCreateFileLine));
        for (int frame = 0; frame < 3; frame++) {
            StartReplyListener();
            DWORD written;
            WriteReceiverFrame(NmeaFrame(frame, TRUE), &written);
            WaitForReply(100);
            StopReplyListener();
        }
        CloseReceiverPort();
    };
    // Wine's serial code opens a few objects of its own on first use and
    // keeps them; count from after that.
    // Counted with the receiver stopped, so that its own threads' passing
    // handles do not count.
    for (int i = 0; i < 3; i++)
        threeFrames();
    sim.Stop();
    int threads = bench::ThreadCount();
    DWORD handles = bench::HandleCount();
    StartReceiver(options);
    for (int i = 0; i < 10; i++)
        threeFrames();
    sim.Stop();
    EXPECT_EQ(g_transaction.listener, nullptr);
    EXPECT_EQ(bench::ThreadCount(), threads);
    // Thirty listeners and ten ports: one handle kept per frame or per
    // transaction would show as ten or more. The test bench's own locks
    // may create an event the first time two threads meet on them.
    EXPECT_LE(bench::HandleCount(), handles + kBenchHandleSlack);
}

}  // namespace
