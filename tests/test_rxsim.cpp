// The receiver simulator on the far end of the cable, driven from the near
// end ("COM3:") with the system's own frames, and rxsim.exe around it.
#include "linktest.h"
#include "replyscan.h"
#include "runcapture.h"
#include "transaction.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using bench::Bytes;
using bench::Concat;
using bench::Of;

const Bytes kAckCfgMsg = { 0xB5, 0x62, 0x05, 0x01, 0x02, 0x00, 0x06, 0x01, 0x0F, 0x38 };
const Bytes kNakCfgMsg = { 0xB5, 0x62, 0x05, 0x00, 0x02, 0x00, 0x06, 0x01, 0x0E, 0x33 };

// The near end of the cable, as the system opens it.
class NearEnd {
public:
    NearEnd()
    {
        port_ = CreateFileW(L"COM3:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SetTimeouts(0, 0, 20);
    }
    ~NearEnd() { CloseHandle(port_); }
    HANDLE port() const { return port_; }
    bool ok() const { return port_ != INVALID_HANDLE_VALUE; }

    void SetTimeouts(DWORD interval, DWORD perByte, DWORD constant)
    {
        COMMTIMEOUTS timeouts = { interval, perByte, constant, 0, 1000 };
        SetCommTimeouts(port_, &timeouts);
    }
    void Write(const Bytes &bytes)
    {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(port_, bytes.data(), (DWORD)bytes.size(), &written, nullptr));
        ASSERT_EQ(written, bytes.size());
    }
    // Everything that arrives within ms; with count, stops once that many are in.
    Bytes Read(DWORD ms, size_t count = SIZE_MAX)
    {
        Bytes bytes;
        DWORD start = GetTickCount();
        while (bytes.size() < count && GetTickCount() - start < ms) {
            uint8_t buffer[4096];
            DWORD want = (DWORD)std::min<size_t>(sizeof buffer, count - bytes.size()), got = 0;
            if (ReadFile(port_, buffer, want, &got, nullptr))
                bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }
    // Writes a frame, returns the 10-byte answer (and checks nothing else follows).
    Bytes Exchange(const Bytes &frame)
    {
        Write(frame);
        Bytes answer = Read(1000, 10);
        EXPECT_TRUE(Read(100).empty()) << "more than one answer";
        return answer;
    }

private:
    HANDLE port_;
};

class RxSim : public ::testing::Test {
protected:
    void Start() { ASSERT_TRUE(sim.Start(options)); }
    rxsim::Options options;
    rxsim::Simulator sim;
    NearEnd nearEnd;
};

// The system's three save frames, each from the same start: the current
// configuration differs from the BBR in both sections. Then CFG-CFG's clear
// and load, and its device mask.
TEST_F(RxSim, CfgCfgSavesClearsAndLoadsItsSectionsForTheDevicesInItsMask)
{
    const struct { SaveKind kind; const char *saved; } cases[] = {
        { kSaveMessages, "GLL GSA GSV RMC VTG ZDA, SBAS on" },
        { kSaveNavigation, "GGA GLL GSA GSV RMC VTG, SBAS off" },
        { kSaveBoth, "GLL GSA GSV RMC VTG ZDA, SBAS off" },
    };
    options.current.rate[kGGA] = 0;
    options.current.rate[kZDA] = 1;
    options.current.sbas = false;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.saved);
        Start();
        EXPECT_EQ(nearEnd.Exchange(Of(SaveFrame(c.kind))),
                  Bytes({ 0xB5, 0x62, 0x05, 0x01, 0x02, 0x00, 0x06, 0x09, 0x17, 0x40 }));
        EXPECT_EQ(rxsim::Describe(sim.Saved()), c.saved);
        EXPECT_EQ(sim.Current(), options.current);
        sim.Stop();
    }

    auto cfgCfg = [](uint8_t clear, uint8_t save, uint8_t load, int device) {
        Bytes payload = { clear, 0, 0, 0, save, 0, 0, 0, load, 0, 0, 0 };
        if (device >= 0)
            payload.push_back((uint8_t)device);
        return rxsim::MakeFrame(0x06, 0x09, payload);
    };
    options.current.rate = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 };
    options.bbr = options.current;
    Start();
    // Clear the message section of the BBR, then load it: factory rates.
    ASSERT_EQ(nearEnd.Exchange(cfgCfg(0x02, 0, 0x02, 0x01))[3], 0x01);
    EXPECT_EQ(rxsim::Describe(sim.Current()), "GGA GLL GSA GSV RMC VTG, SBAS off");
    EXPECT_EQ(rxsim::Describe(sim.Saved()), "GGA GLL GSA GSV RMC VTG, SBAS off");
    // A save to another device leaves the BBR alone ...
    nearEnd.Exchange(Of(SbasFrame(TRUE)));
    ASSERT_EQ(nearEnd.Exchange(cfgCfg(0, 0x08, 0, 0x02))[3], 0x01);
    EXPECT_FALSE(sim.Saved().sbas);
    // ... and without a device mask it goes to every device, the BBR too.
    ASSERT_EQ(nearEnd.Exchange(cfgCfg(0, 0x08, 0, -1))[3], 0x01);
    EXPECT_TRUE(sim.Saved().sbas);
    EXPECT_EQ(rxsim::DescribeFrame(sim.Frames()[0]), "CFG-CFG clear msg in BBR, load msg from BBR");
}

// Well-formed frames it refuses get a NAK; a frame with a bad checksum is
// dropped unanswered in every mode, and the next frame is read as usual.
TEST_F(RxSim, RefusedFramesAreNakedBadChecksumsDroppedAndNothingChanges)
{
    Bytes badChecksum = Of(NmeaFrame(kGGA, FALSE));
    badChecksum.back() ^= 0x01;
    const struct { const char *what; Bytes frame; uint8_t cls, id; } cases[] = {
        { "unknown message", rxsim::MakeFrame(0x06, 0x08, { 0xE8, 0x03, 0x01, 0x00, 0x01, 0x00 }), 0x06, 0x08 },
        { "class other than NMEA", rxsim::MakeFrame(0x06, 0x01, { 0xF1, 0x00, 0x00 }), 0x06, 0x01 },
        { "id past DTM", rxsim::MakeFrame(0x06, 0x01, { 0xF0, 0x0B, 0x00 }), 0x06, 0x01 },
        { "CFG-MSG poll form", rxsim::MakeFrame(0x06, 0x01, { 0xF0, 0x00 }), 0x06, 0x01 },
        { "short CFG-SBAS", rxsim::MakeFrame(0x06, 0x16, Bytes(7, 0)), 0x06, 0x16 },
        { "long CFG-CFG", rxsim::MakeFrame(0x06, 0x09, Bytes(14, 0xFF)), 0x06, 0x09 },
        { "absurd length, header only", { 0xB5, 0x62, 0x06, 0x01, 0xFF, 0xFF }, 0x06, 0x01 },
    };
    options.current.sbas = false;
    Start();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(nearEnd.Exchange(c.frame), rxsim::AckFrame(false, c.cls, c.id));
    }
    for (rxsim::Reply mode : { rxsim::Reply::Ack, rxsim::Reply::Nak }) {
        sim.SetReply(mode);
        nearEnd.Write(badChecksum);
        EXPECT_TRUE(nearEnd.Read(300).empty()) << "a bad checksum was answered";
    }
    EXPECT_EQ(nearEnd.Exchange(Of(NmeaFrame(kGSV, FALSE))), kNakCfgMsg);
    EXPECT_EQ(sim.Current(), options.current);
    EXPECT_EQ(sim.Saved(), options.bbr);
    std::vector<rxsim::ReceivedFrame> frames = sim.Frames();
    ASSERT_EQ(frames.size(), std::size(cases) + 3);
    for (size_t i = 0; i < frames.size(); i++) {
        bool dropped = i == std::size(cases) || i == std::size(cases) + 1;
        EXPECT_EQ(frames[i].answer, dropped ? rxsim::Answer::None : rxsim::Answer::Nak) << rxsim::DescribeFrame(frames[i]);
        EXPECT_EQ(frames[i].checksumOk, !dropped && i != std::size(cases) - 1) << i;
    }
}

// An acked frame is recorded and applied (CFG-MSG to the current
// configuration only). 0xB5 0xB5 0x62: the frame starts at the second 0xB5.
// A piece of a frame followed by silence is given up, so the next frame is
// read whole.
TEST_F(RxSim, AppliesAckedFramesFindsThemAfterGarbageAndGivesUpStalledPieces)
{
    ASSERT_TRUE(nearEnd.ok());
    options.current.rate[kGGA] = 0;
    options.bbr.rate[kGGA] = 0;
    Start();
    Bytes gga = Of(NmeaFrame(kGGA, TRUE));
    EXPECT_EQ(nearEnd.Exchange(gga), kAckCfgMsg);
    EXPECT_EQ(sim.Current(), rxsim::FactoryDefault());
    EXPECT_EQ(sim.Saved().rate[kGGA], 0);
    EXPECT_EQ(sim.BytesReceived(), gga);
    EXPECT_EQ(sim.BytesSent(), kAckCfgMsg);

    Bytes frame = Of(NmeaFrame(kGSV, FALSE));
    EXPECT_EQ(nearEnd.Exchange(Concat({ { 'x', 0x62, 0xB5 }, frame })), kAckCfgMsg);
    nearEnd.Write(Bytes(frame.begin(), frame.begin() + 7));
    EXPECT_TRUE(nearEnd.Read(rxsim::kStallMs + 200).empty());
    EXPECT_EQ(nearEnd.Exchange(Of(NmeaFrame(kGSV, TRUE))), kAckCfgMsg);

    std::vector<rxsim::ReceivedFrame> frames = sim.Frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].bytes, gga);
    EXPECT_TRUE(frames[0].checksumOk && frames[0].answer == rxsim::Answer::Ack);
    EXPECT_EQ(rxsim::DescribeFrame(frames[0]), "CFG-MSG GGA rate 1");
    EXPECT_EQ(frames[1].bytes, frame);
    EXPECT_TRUE(!frames[2].complete && frames[2].answer == rxsim::Answer::None && frames[2].bytes.size() == 7);
    EXPECT_TRUE(frames[3].checksumOk);
    EXPECT_EQ(sim.Current().rate[kGSV], 1);
}

TEST_F(RxSim, SilentAndLateModes)
{
    options.reply = rxsim::Reply::Silent;
    Start();
    nearEnd.Write(Of(NmeaFrame(kGGA, FALSE)));
    EXPECT_TRUE(sim.WaitForFrames(1, 1000));
    EXPECT_TRUE(nearEnd.Read(300).empty());
    EXPECT_EQ(sim.Frames()[0].answer, rxsim::Answer::None);
    EXPECT_EQ(sim.Current(), rxsim::FactoryDefault());

    // Two frames back to back, answered in order once the latency is over.
    sim.SetReply(rxsim::Reply::Ack);
    sim.SetLatency(400);
    DWORD sent = GetTickCount();
    nearEnd.Write(Concat({ Of(NmeaFrame(kGGA, FALSE)), Of(SbasFrame(FALSE)) }));
    EXPECT_TRUE(nearEnd.Read(250).empty()) << "answered before its latency";
    Bytes answers = nearEnd.Read(1500, 20);
    EXPECT_GE(GetTickCount() - sent, 380u);
    EXPECT_EQ(answers, Concat({ kAckCfgMsg, rxsim::AckFrame(true, 0x06, 0x16) }));
    EXPECT_EQ(rxsim::Describe(sim.Current()), "GLL GSA GSV RMC VTG, SBAS off");
}

// Each "\r\n"-terminated line of text: a checked NMEA sentence's type, or
// "bad: <line>".
std::vector<std::string> SentenceTypes(const std::string &text)
{
    std::vector<std::string> types;
    size_t at = 0, end;
    while ((end = text.find("\r\n", at)) != std::string::npos) {
        std::string line = text.substr(at, end - at);
        at = end + 2;
        size_t star = line.find('*');
        uint8_t sum = 0;
        for (size_t i = 1; i < star && star != std::string::npos; i++)
            sum ^= (uint8_t)line[i];
        char expected[3];
        snprintf(expected, sizeof expected, "%02X", sum);
        bool ok = line.size() > 10 && line.compare(0, 3, "$GP") == 0 && line[6] == ',' &&
                  star == line.size() - 3 && line.compare(star + 1, 2, expected) == 0;
        types.push_back(ok ? line.substr(3, 3) : "bad: " + line);
    }
    return types;
}

TEST_F(RxSim, ChatterIsValidNmeaOfTheEnabledSentencesAroundWholeReplies)
{
    options.current.rate = { 1, 0, 0, 2, 0, 0, 0, 0, 1, 0, 1 };   // GGA, GSV every 2nd, ZDA, DTM
    options.chatterBytesPerSecond = 3840;
    Start();
    Bytes stream = nearEnd.Read(1500);
    EXPECT_GT(stream.size(), 3840 * 1.5 * 0.6);
    EXPECT_LT(stream.size(), 3840 * 1.5 * 1.2);
    std::map<std::string, int> seen;
    for (const std::string &type : SentenceTypes(std::string(stream.begin(), stream.end())))
        seen[type]++;
    std::string types;
    for (const auto &entry : seen)
        types += entry.first + " ";
    EXPECT_EQ(types, "DTM GGA GSV ZDA ");
    EXPECT_GT(seen["GGA"], 5);
    EXPECT_NEAR(seen["GSV"] * 2, seen["GGA"], 2);
    EXPECT_NEAR(seen["ZDA"], seen["GGA"], 1);

    // Switched off in mid-stream: the ACK sits between sentences, and no GGA follows it.
    nearEnd.Write(Of(NmeaFrame(kGGA, FALSE)));
    stream = Concat({ stream, nearEnd.Read(600) });
    auto ack = std::search(stream.begin(), stream.end(), kAckCfgMsg.begin(), kAckCfgMsg.end());
    ASSERT_NE(ack, stream.end());
    std::string before(stream.begin(), ack), after(ack + kAckCfgMsg.size(), stream.end());
    EXPECT_EQ(before.substr(before.size() - 2), "\r\n");
    EXPECT_EQ(after[0], '$');
    std::set<std::string> afterTypes;
    for (const std::string &type : SentenceTypes(after))
        afterTypes.insert(type);
    EXPECT_EQ(afterTypes, std::set<std::string>({ "DTM", "GSV", "ZDA" }));
}

// The system's own scanner, reading with the system's time-outs, must still
// find the ACK after the garbage and oversized frames the receiver sends,
// whole frames longer than its buffer included, each logged with its size.
DWORD ReadNearEnd(void *context, BYTE *buffer, DWORD count)
{
    DWORD got = 0;
    return ReadFile((HANDLE)context, buffer, count, &got, nullptr) ? got : 0;
}

BOOL KeepGoing(void *)
{
    return TRUE;
}

TEST_F(RxSim, NoiseAndOversizedFramesLetTheListenerFindTheReply)
{
    const struct { const char *what; bool noise; DWORD oversized; std::vector<std::string> units; } cases[] = {
        { "noise", true, 0, { "01-02", "05-01" } },   // the half frame counts as a frame
        { "oversized 251", false, 251, { "01-30", "05-01" } },
        { "oversized 1000", false, 1000, { "01-30", "05-01" } },
        { "noise and oversized 65535", true, 65535, { "01-02", "01-30", "05-01" } },
    };
    nearEnd.SetTimeouts(0, kReadPerByteMs, kReadIdleMs);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        options.noiseBeforeReply = c.noise;
        options.oversizedBeforeReply = c.oversized != 0;
        options.oversizedLength = c.oversized;
        Start();
        bench::StartDebugCapture();
        nearEnd.Write(Of(NmeaFrame(kVTG, FALSE)));

        ReplySource source = {};
        source.read = ReadNearEnd;
        source.keepGoing = KeepGoing;
        source.context = nearEnd.port();
        std::vector<std::string> units;
        DWORD start = GetTickCount();
        while ((units.empty() || units.back() != "05-01") && GetTickCount() - start < 3000) {
            if (!ScanNextUnit(&source))
                continue;
            char unit[8];
            snprintf(unit, sizeof unit, "%02X-%02X", source.frame[2], source.frame[3]);
            units.push_back(unit);
        }
        std::vector<std::string> lines = bench::DebugLines();
        EXPECT_EQ(units, c.units);
        std::string sizeLine = "UBX MSG: [0x1]-[0x30] size " + std::to_string(c.oversized) + "\r\n";
        EXPECT_EQ(std::count(lines.begin(), lines.end(), sizeLine), c.oversized != 0 ? 1 : 0);
        EXPECT_EQ(source.frame[6], 0x06);
        EXPECT_EQ(source.frame[7], 0x01);
        EXPECT_EQ(sim.Current().rate[kVTG], 0);
        sim.Stop();
    }
}

TEST_F(RxSim, GoesAwayAfterAnsweringTheNthFrame)
{
    options.goAwayAfterFrames = 2;
    options.latencyMs = 100;
    Start();
    EXPECT_EQ(nearEnd.Exchange(Of(NmeaFrame(kGRS, TRUE))), kAckCfgMsg);
    nearEnd.Write(Concat({ Of(NmeaFrame(kGST, TRUE)), Of(NmeaFrame(kGBS, TRUE)) }));
    EXPECT_EQ(nearEnd.Read(1000, 10), kAckCfgMsg);
    EXPECT_TRUE(sim.WaitUntilGone(1000));
    EXPECT_FALSE(sim.Running());
    EXPECT_FALSE(sim.Send({ 0x24 }));

    EXPECT_TRUE(nearEnd.Read(300).empty());
    EXPECT_EQ(sim.Frames().size(), 2u);
    EXPECT_EQ(sim.BytesReceived().size(), 22u) << "the third frame was taken in";
    EXPECT_EQ(sim.Current().rate[kGBS], 0);
    EXPECT_EQ(sim.Current().rate[kGST], 1);
}

// A receiver at 9600 baud with its line full of sentences: they come at the
// line's rate, and a reply waits behind what was queued before it, between
// two sentences. A near end at 38400 gets garbage, no answer, and is not
// understood; back at 9600 it is. Each frame records the near end's rate.
TEST_F(RxSim, LineRateQueuesRepliesAndAnotherRateHearsGarbage)
{
    options.baud = CBR_9600;
    options.probeNearEnd = L"COM3:";
    options.chatterBytesPerSecond = 960;
    ASSERT_TRUE(bench::SetCom3Rate(CBR_9600));
    Start();
    DWORD start = GetTickCount();
    nearEnd.Read(3000, 480);
    EXPECT_GE(GetTickCount() - start, 400u) << "480 bytes came faster than 960 bytes/s";

    start = GetTickCount();
    nearEnd.Write(Of(NmeaFrame(kGGA, FALSE)));
    Bytes stream;
    auto ack = stream.end();
    while ((ack = std::search(stream.begin(), stream.end(), kAckCfgMsg.begin(), kAckCfgMsg.end())) == stream.end() &&
           GetTickCount() - start < 3000)
        stream = Concat({ stream, nearEnd.Read(20) });
    ASSERT_NE(ack, stream.end());
    EXPECT_GE(GetTickCount() - start, 250u) << "the reply did not wait for the sentences queued before it";
    EXPECT_EQ(std::string(ack - 2, ack), "\r\n");

    ASSERT_TRUE(bench::SetCom3Rate(CBR_38400));
    Sleep(100);
    nearEnd.Read(200);
    nearEnd.Write(Of(NmeaFrame(kGGA, TRUE)));
    Bytes garbage = nearEnd.Read(800);
    EXPECT_GT(garbage.size(), 200u);
    EXPECT_EQ(std::count(garbage.begin(), garbage.end(), 0xB5), 0);
    EXPECT_EQ(std::string(garbage.begin(), garbage.end()).find("$GP"), std::string::npos);
    EXPECT_EQ(sim.Current().rate[kGGA], 0) << "understood at the wrong rate";
    ASSERT_EQ(sim.Frames().size(), 2u);
    EXPECT_EQ(sim.Frames()[0].nearEndBaud, (DWORD)CBR_9600);
    EXPECT_EQ(sim.Frames()[1].answer, rxsim::Answer::None);
    EXPECT_EQ(rxsim::DescribeFrame(sim.Frames()[1]), "11 bytes of garbage (the near end at 38400 baud)");

    ASSERT_TRUE(bench::SetCom3Rate(CBR_9600));
    Sleep(100);
    nearEnd.Write(Of(NmeaFrame(kGGA, TRUE)));
    ASSERT_TRUE(sim.WaitForFrames(3, 1000));
    EXPECT_EQ(sim.Current().rate[kGGA], 1);
}

// ---- rxsim.exe ----

struct ProgramRun {
    std::string output;
    DWORD exitCode = 999;
};

// Runs rxsim.exe with arguments; once it has printed its settings, writes
// frames to the near end and reads their answers; then ends its stdin.
ProgramRun RunProgram(const std::wstring &arguments, const std::vector<Bytes> &frames, Bytes *answers)
{
    ProgramRun run;
    std::wstring path = bench::BinPath(L"rxsim.exe");
    std::wstring command = L"\"" + path + L"\" " + arguments;

    SECURITY_ATTRIBUTES inherit = { sizeof inherit, nullptr, TRUE };
    HANDLE inRead, inWrite, outRead, outWrite;
    CreatePipe(&inRead, &inWrite, &inherit, 0);
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start rxsim.exe, error " << GetLastError();
        return run;
    }
    CloseHandle(inRead);
    CloseHandle(outWrite);

    char buffer[4096];
    DWORD got;
    while (run.output.find("BBR: ") == std::string::npos &&
           ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0)
        run.output.append(buffer, got);
    {
        NearEnd nearEnd;
        for (const Bytes &frame : frames)
            *answers = Concat({ *answers, nearEnd.Exchange(frame) });
    }
    CloseHandle(inWrite);
    while (ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0)
        run.output.append(buffer, got);
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 998);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(outRead);
    return run;
}

// First run: no BBR file, so factory default; GGA and SBAS off and saved.
// Second run: starts from the file, as a receiver does after power-on.
TEST(RxSimProgram, AnswersPrintsAndKeepsItsBbrInTheStateFile)
{
    ASSERT_FALSE(bench::RunDir().empty()) << "not started by winerun";
    std::wstring state = bench::RunDir() + L"\\bbr.txt";
    DeleteFileW(state.c_str());
    Bytes answers;
    ProgramRun first = RunProgram(L"--state \"" + state + L"\"",
                                  { Of(NmeaFrame(kGGA, FALSE)), Of(SbasFrame(FALSE)), Of(SaveFrame(kSaveBoth)) },
                                  &answers);
    EXPECT_EQ(first.exitCode, 0u) << first.output;
    EXPECT_EQ(answers, Concat({ kAckCfgMsg, rxsim::AckFrame(true, 0x06, 0x16), rxsim::AckFrame(true, 0x06, 0x09) }));
    for (const char *line : { "(none yet: factory default)", "CFG-MSG GGA rate 0 -> ACK",
                              "CFG-CFG save msg+nav to BBR -> ACK", "final BBR:     GLL GSA GSV RMC VTG, SBAS off" })
        EXPECT_NE(first.output.find(line), std::string::npos) << line << " in:\n" << first.output;

    answers.clear();
    ProgramRun second = RunProgram(L"--reply nak --state \"" + state + L"\"", { Of(SbasFrame(TRUE)) },
                                   &answers);
    EXPECT_EQ(second.exitCode, 0u) << second.output;
    EXPECT_EQ(answers, rxsim::AckFrame(false, 0x06, 0x16));
    for (const char *line : { "current: GLL GSA GSV RMC VTG, SBAS off", "CFG-SBAS on -> NAK" })
        EXPECT_NE(second.output.find(line), std::string::npos) << line << " in:\n" << second.output;

    rxsim::Configuration loaded;
    ASSERT_TRUE(rxsim::LoadConfiguration(state, &loaded));
    EXPECT_EQ(rxsim::Describe(loaded), "GLL GSA GSV RMC VTG, SBAS off");
    EXPECT_EQ(loaded.sbasPayload[0], 0x00);
    EXPECT_EQ(loaded.sbasPayload[4], 0xD5);
}

}  // namespace
