// The serial transaction and its reply listener, against the simulated
// receiver on the far end of the null-modem cable.
#include "linktest.h"
#include "transaction.h"

#include <cstring>

namespace {

using namespace bench;

DWORD FlagWord(const DCB &dcb)
{
    DWORD word;
    std::memcpy(&word, reinterpret_cast<const BYTE *>(&dcb) + 8, sizeof(word));
    return word;
}

class Transaction : public LinkTest {
protected:
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
};

// An answered frame is logged and seen within a poll. Against a silent
// receiver the limit ends the wait as a reply would: that many polls of 50 ms,
// replySeen 1, and the next step goes on. A reply after the limit counts for
// the next frame (Faults.LateReplyCountsForTheNextFrame).
TEST_F(Transaction, AnsweredFrameIsSeenWithinAPollAndSilenceRunsTheLimit)
{
    StartReceiver();
    int count = OneFrame(&kSetupLinkRule, NmeaFrame(kGGA, TRUE), 200);
    Strings lines = DebugLines();
    EXPECT_LE(count, 2);
    Strings expected = AckLines("0x1");
    expected.insert(expected.begin(), "SetNMEASentences: ConfigGPS == 2\r\n");
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(FramesOnLine(sim), std::vector<Bytes>{ Of(NmeaFrame(kGGA, TRUE)) });
    EXPECT_EQ(sim.Current().rate[kGGA], 1);

    sim.SetReply(rxsim::Reply::Silent);
    DWORD started = GetTickCount();
    EXPECT_EQ(OneFrame(&kSetupLinkRule, SbasFrame(TRUE), 6), 6);
    EXPECT_GE(GetTickCount() - started, 6u * 50 - 20);
    EXPECT_EQ(g_transaction.replySeen, 1);
    ASSERT_EQ(sim.Frames().size(), 2u);
    EXPECT_TRUE(sim.Frames()[1].checksumOk) << "the frame did not go out whole";
}

// NMEA text read while waiting: the setup program echoes it one character a
// call; the boot driver drops it. Both still find the reply, and within a
// poll (and what a loaded machine adds) of the receiver writing it: text
// ahead of a reply must not hold the listener back. (The echo of 3,840
// bytes a second is one read and one debug call a byte: under load the
// listener runs behind the line, so the time is taken from the reply's
// write, not from the frame's.)
TEST_F(Transaction, ChatterIsEchoedBySetupAndDroppedByTheDriver)
{
    rxsim::Options options;
    options.chatterBytesPerSecond = 3840;
    options.latencyMs = 150;
    StartReceiver(options);
    double ackSeenMs = 0;   // written on the listener's thread, read after it is joined
    SetDebugCallHook([&](const std::string &call) {
        if (call == "     ACK of [0x6]-[0x1]\r\n")
            ackSeenMs = sim.ElapsedMs();
    });

    for (const LinkRule *rule : { &kSetupLinkRule, &kBootLinkRule }) {
        SCOPED_TRACE(rule == &kSetupLinkRule ? "setup" : "boot");
        ClearDebugCapture();
        ackSeenMs = 0;
        size_t frame = sim.Frames().size();
        int count = OneFrame(rule, NmeaFrame(kGSV, TRUE), 100);
        std::string echoed = EchoedText();
        Strings lines = DebugLines();
        std::vector<rxsim::ReceivedFrame> frames = sim.Frames();
        EXPECT_LT(count, 100);
        ASSERT_EQ(frames.size(), frame + 1);
        EXPECT_TRUE(Contains(lines, "     ACK of [0x6]-[0x1]\r\n"));
        ASSERT_GT(frames[frame].answeredMs, 0.0) << "the receiver wrote no reply";
        ASSERT_GT(ackSeenMs, 0.0) << "the listener logged no ACK";
        EXPECT_LT(ackSeenMs - frames[frame].answeredMs, kPollMs + kSlackMs);
        if (rule == &kBootLinkRule) {
            EXPECT_EQ(echoed, "");
            continue;
        }
        // Everything echoed is NMEA text exactly as the receiver sent it. The
        // receiver records a sentence just after writing it, so the echo may
        // be a sentence ahead of the record: once the record has grown by
        // the next one, it holds everything the port could have read.
        sim.WaitForBytesSent(sim.BytesSent().size() + 1, 1000);
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
    StartReceiver();
    ASSERT_TRUE(OpenReceiverPort(&kSetupLinkRule, kCreateFileLine));
    StartReplyListener();
    bool sent = sim.Send(Concat({ { 'x', 0xB5, 'A', 'B', 'C', 'D', 'E', 'F', 'G' }, rxsim::AckFrame(true, 6, 0x16) }));
    int count = WaitForReply(40);
    StopReplyListener();
    CloseReceiverPort();
    Strings calls = DebugCalls();
    ASSERT_TRUE(sent);
    EXPECT_LT(count, 40);
    Strings expected = AckLines("0x16");
    expected.insert(expected.begin(), { "SetNMEASentences: ConfigGPS == 2\r\n", "x", "F", "G" });
    EXPECT_EQ(calls, expected);
}

// Port settings by each program's rule. Flag word: bits 0x276E cleared and
// 0x1011 set (binary, DTR and RTS on, no parity or flow control), the rest as
// the port had them. "ConfigGPS" is read whole into 4 bytes whatever its type,
// anything longer as absent (2). Setup keeps the port's rate for selectors
// other than 1 and 2, the driver runs at 38400 for any but 1. No handle kept.
TEST_F(Transaction, OpenConfiguresThePortByEachProgramsRule)
{
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
                CreateKestranaKeys();
                if (c.type == kNoKey)
                    DeleteKestranaKeys();
                else if (c.type != REG_NONE)
                    SetRawValue(false, L"ConfigGPS", c.type, c.data.data(), (DWORD)c.data.size());
                ASSERT_TRUE(SetCom3Rate(CBR_4800));
                DCB before = Com3Dcb();
                ClearDebugCapture();

                ASSERT_TRUE(OpenReceiverPort(rule, kCreateFileLine));
                DCB written = g_transaction.dcb;
                DCB actual = {};
                actual.DCBlength = sizeof(actual);
                GetCommState(g_transaction.port, &actual);
                CloseReceiverPort();
                DCB closed = Com3Dcb();   // the port's own state after the close
                Strings logged = DebugLines();

                DWORD rate = setup ? c.setupRate : c.bootRate;
                EXPECT_EQ((std::vector<DWORD>{ written.DCBlength, written.BaudRate, actual.BaudRate, written.ByteSize,
                                               written.Parity, written.StopBits }),
                          (std::vector<DWORD>{ 28, rate, rate, 8, NOPARITY, ONESTOPBIT }));
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
                EXPECT_EQ(logged, lines);
            }
        }
        if (round == 0)
            handles = HandleCount();
    }
    EXPECT_LE(HandleCount(), handles + kBenchHandleSlack);
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
    // Counted after Wine's serial code has opened what it keeps after its
    // first use, and with the receiver's own threads stopped.
    for (int i = 0; i < 3; i++)
        threeFrames();
    sim.Stop();
    int threads = ThreadCount();
    DWORD handles = HandleCount();
    StartReceiver(options);
    for (int i = 0; i < 10; i++)
        threeFrames();
    sim.Stop();
    EXPECT_EQ(g_transaction.listener, nullptr);
    EXPECT_EQ(ThreadCount(), threads);
    // Thirty listeners and ten ports: one handle kept per frame or per
    // transaction would show as ten or more.
    EXPECT_LE(HandleCount(), handles + kBenchHandleSlack);
}

}  // namespace
