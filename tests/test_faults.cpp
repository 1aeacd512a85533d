// Faults around the receiver link: a receiver that misbehaves or goes away,
// a cable pulled, odd registry contents, and two programs reaching for the
// port at once. After each fault the registry holds what it should, no
// thread or handle is left behind, and the next operation works. Where an
// operation's fixed 10 s poll limit would only make a test slow, the
// transaction's steps are driven directly with a small limit.
#include "debugtap.h"
#include "importhook.h"
#include "linktest.h"
#include "operations.h"
#include "runcapture.h"
#include "transaction.h"

#include <sddl.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace {

using namespace bench;

// A settings value exactly as stored: type and bytes; nothing when absent.
using RawValue = std::pair<DWORD, Bytes>;
std::optional<RawValue> ReadRaw(const wchar_t *name)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana\\GPS", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::nullopt;
    RawValue value = { 0, Bytes(64) };
    DWORD size = (DWORD)value.second.size();
    LONG result = RegQueryValueExW(key, name, nullptr, &value.first, value.second.data(), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return std::nullopt;
    value.second.resize(size);
    return value;
}

// Who may do what with the settings key: "D:P(A;;KR;;;WD)" lets everyone
// read it and nobody write it.
bool SetSettingsKeyAccess(const wchar_t *sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    HKEY key;
    bool done = false;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana\\GPS", 0, WRITE_DAC, &key) == ERROR_SUCCESS) {
        done = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    return done;
}
const wchar_t kReadOnly[] = L"D:P(A;;KR;;;WD)";
const wchar_t kFullAccess[] = L"D:P(A;;KA;;;WD)";

// Platform calls of the system, seen and bent through its imports. The
// hooks look only at calls on the transaction's port and pass every other
// call (the simulator's, the test bench's) through.
namespace port {

const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
const auto realRead = (decltype(&ReadFile))(void *)GetProcAddress(kernel32, "ReadFile");
const auto realClear = (decltype(&ClearCommError))(void *)GetProcAddress(kernel32, "ClearCommError");
const auto realGetTimeouts = (decltype(&GetCommTimeouts))(void *)GetProcAddress(kernel32, "GetCommTimeouts");
const auto realSetTimeouts = (decltype(&SetCommTimeouts))(void *)GetProcAddress(kernel32, "SetCommTimeouts");
const auto realSetState = (decltype(&SetCommState))(void *)GetProcAddress(kernel32, "SetCommState");

// A line error as a port with fAbortOnError reports it: every read fails
// until ClearCommError is called.
std::atomic<bool> lineError{ false };
std::atomic<long> failedReads{ 0 }, clears{ 0 };
// The write time-outs the port's driver keeps (Wine's ports start at 0).
const COMMTIMEOUTS kDriverWriteTimeouts = { 0, 0, 0, 3, 700 };
bool failSetTimeouts = false;
std::vector<COMMTIMEOUTS> timeoutsRead, timeoutsSet;   // on the transaction's thread only
std::vector<DCB> statesSet;

BOOL WINAPI ErringRead(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (file == g_transaction.port && lineError) {
        failedReads++;
        if (got != nullptr)
            *got = 0;
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    return realRead(file, buffer, count, got, overlapped);
}

BOOL WINAPI ClearingClear(HANDLE file, LPDWORD errors, LPCOMSTAT status)
{
    BOOL done = realClear(file, errors, status);
    if (file == g_transaction.port && lineError.exchange(false)) {
        clears++;
        if (errors != nullptr)
            *errors |= CE_FRAME;
        return TRUE;
    }
    return done;
}

BOOL WINAPI DriverGetTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    BOOL done = realGetTimeouts(file, timeouts);
    if (done && file == g_transaction.port) {
        timeouts->WriteTotalTimeoutMultiplier = kDriverWriteTimeouts.WriteTotalTimeoutMultiplier;
        timeouts->WriteTotalTimeoutConstant = kDriverWriteTimeouts.WriteTotalTimeoutConstant;
        timeoutsRead.push_back(*timeouts);
    }
    return done;
}

BOOL WINAPI RecordedSetTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    if (file != g_transaction.port)
        return realSetTimeouts(file, timeouts);
    timeoutsSet.push_back(*timeouts);
    if (failSetTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return realSetTimeouts(file, timeouts);
}

BOOL WINAPI RecordedSetState(HANDLE file, LPDCB dcb)
{
    if (file == g_transaction.port)
        statesSet.push_back(*dcb);
    return realSetState(file, dcb);
}

}  // namespace port

// opchild.exe run without a debugger; ended and waited for when it goes out
// of scope.
struct PlainChild {
    PROCESS_INFORMATION info = {};
    explicit PlainChild(const std::wstring &arguments)
    {
        std::wstring line = L"\"" + BinPath(L"opchild.exe") + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            CloseHandle(info.hThread);
    }
    ~PlainChild()
    {
        if (info.hProcess == nullptr)
            return;
        Kill();
        CloseHandle(info.hProcess);
    }
    void Kill()
    {
        TerminateProcess(info.hProcess, 99);   // nothing once it has ended
        WaitForSingleObject(info.hProcess, 5000);
    }
};

class Faults : public LinkTest {
protected:
    void SetUp() override
    {
        // GoogleTest starts a thread of its own the first time a trace is
        // used: let it start before anything is counted.
        {
            SCOPED_TRACE("settle");
        }
        LinkTest::SetUp();
        LoadDriver();
        SetDebugCallHook([this](const std::string &call) {
            if (!IsListenerLine(call))
                return;
            std::lock_guard<std::mutex> lock(mutex);
            if ((size_t)outstanding < byFrame.size())
                byFrame[outstanding].push_back(call);
        });
    }


    // Frames through one transaction in the programs' order, one listener
    // each, with the poll limit of each frame (the last one given holds for
    // the rest); after each write, onWritten(i) may put bytes on the line.
    // Returns the poll counts; the listener's lines are kept per frame.
    std::vector<int> RunTransaction(const LinkRule *rule, const std::vector<UbxFrame> &frames,
                                    const std::vector<int> &pollLimits,
                                    const std::function<void(size_t)> &onWritten = nullptr)
    {
        std::vector<int> counts;
        {
            std::lock_guard<std::mutex> lock(mutex);
            byFrame.assign(frames.size() + 1, {});
            outstanding = (int)frames.size();   // nothing sent yet: lines go to the last slot
        }
        if (!OpenReceiverPort(rule, kCreateFileLine)) {
            ADD_FAILURE() << "the port did not open";
            return counts;
        }
        for (size_t i = 0; i < frames.size(); i++) {
            StartReplyListener();
            outstanding = (int)i;
            DWORD written = 0;
            EXPECT_TRUE(WriteReceiverFrame(frames[i], &written));
            EXPECT_EQ(written, frames[i].length);
            if (onWritten)
                onWritten(i);
            counts.push_back(WaitForReply(pollLimits[std::min(i, pollLimits.size() - 1)]));
            StopReplyListener();
        }
        CloseReceiverPort();
        return counts;
    }

    std::vector<std::string> ListenerLinesOf(size_t frame)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return frame < byFrame.size() ? byFrame[frame] : std::vector<std::string>();
    }

    // Wine keeps a few objects after the port's first use: count threads and
    // handles after one transaction, with the receiver stopped (its own
    // threads come and go).
    void TakeBaseline()
    {
        StartReceiver();
        RunTransaction(&kBootLinkRule, { NmeaFrame(kGGA, TRUE) }, { 20 });
        sim.Stop();
        threads = ThreadCount();
        handles = HandleCount();
        ClearDebugCapture();
    }

    // After a fault: no listener, port or handle left, and a transaction on
    // a receiver that answers works again.
    void ExpectRecovered()
    {
        sim.Stop();
        EXPECT_EQ(g_transaction.listener, nullptr);
        EXPECT_EQ(g_transaction.port, INVALID_HANDLE_VALUE);
        EXPECT_EQ(ThreadCount(), threads);
        EXPECT_LE(HandleCount(), handles + kBenchHandleSlack);

        StartReceiver();
        std::vector<int> counts = RunTransaction(&kSetupLinkRule, { NmeaFrame(kVTG, FALSE) }, { 40 });
        ASSERT_EQ(counts.size(), 1u);
        EXPECT_LT(counts[0], 40) << "no reply after the fault";
        // A reply left over from the fault may end the wait before the
        // receiver has taken this frame in.
        for (int i = 0; i < 50 && sim.Current().rate[kVTG] != 0; i++)
            Sleep(20);
        EXPECT_EQ(sim.Current().rate[kVTG], 0) << "the receiver did not get the next frame";
        sim.Stop();
    }

    int threads = 0;
    DWORD handles = 0;

    std::mutex mutex;
    std::vector<std::vector<std::string>> byFrame;
    std::atomic<int> outstanding{ 0 };
};

// ---- the receiver goes away; the cable is pulled ----

// A receiver that closes its end mid-transaction looks silent from then on:
// the frames still go out whole, each wait runs to its limit, and the port
// and listener are released. Gone between the change and the save, it leaves
// the operation to record the setting although the BBR never got it.
TEST_F(Faults, ReceiverGoingAwayMidTransactionLooksSilent)
{
    TakeBaseline();
    rxsim::Options options;
    options.goAwayAfterFrames = 1;
    StartReceiver(options);
    std::vector<int> counts = RunTransaction(
        &kSetupLinkRule, { NmeaFrame(kGSV, FALSE), SbasFrame(FALSE), SaveFrame(kSaveBoth) }, { 8 });
    EXPECT_TRUE(sim.WaitUntilGone(1000));

    ASSERT_EQ(counts.size(), 3u);
    EXPECT_LE(counts[0], 2);
    EXPECT_EQ(std::vector<int>(counts.begin() + 1, counts.end()), (std::vector<int>{ 8, 8 }));
    EXPECT_EQ(ListenerLinesOf(0), AckLines("0x1"));
    EXPECT_TRUE(ListenerLinesOf(1).empty() && ListenerLinesOf(2).empty());
    ASSERT_EQ(sim.Frames().size(), 1u);
    EXPECT_EQ(sim.Current().rate[kGSV], 0);
    // The next receiver on the cable also gets the two frames sent while
    // nobody listened: the bench's cable keeps them (a handheld's UART
    // would not). It applies them before the next transaction's frame.
    ExpectRecovered();

    ClearDebugCapture();
    options.current.sbas = options.bbr.sbas = false;
    StartReceiver(options);
    bool toggled = ToggleSBAS(1);
    SplitLines lines = SplitByThread(DebugLines());
    EXPECT_TRUE(toggled);
    EXPECT_EQ(lines.steps, (Strings{ "SetNMEASentences: ConfigGPS == 2\r\n", "NMEA Enable: Wrote 16 bytes\r\n",
                                     "Count = #\r\n", "UBXSaveNavToBBR: Wrote 21 bytes\r\n", "Count = #\r\n" }));
    ASSERT_EQ(lines.counts.size(), 2u);
    EXPECT_LE(lines.counts[0], 2);
    EXPECT_EQ(lines.counts[1], 200);
    EXPECT_TRUE(sim.Current().sbas);
    EXPECT_FALSE(sim.Saved().sbas);
    EXPECT_EQ(GetSetting(L"SBAS"), 1u);
    ExpectRecovered();
}

// Unplugged between two operations, or swapped for a port without a DCB:
// each operation fails at the open, sends nothing, stores nothing and tells
// its caller; plugged back in, the next operation works. (The boot pass on
// such ports: BootPass.PortThatCannotBeOpenedOrConfiguredFailsBeforeSendingAnything.)
TEST_F(Faults, CablePulledBetweenOperationsFailsCleanlyAndWorksWhenBack)
{
    TakeBaseline();
    StartReceiver();
    SetAllSettings(1);
    SetSetting(L"GLL", 0);
    EXPECT_TRUE(ToggleNMEA(kGGA, 0));

    ASSERT_TRUE(PlugCom3(Com3::Missing));
    ClearDebugCapture();
    std::vector<bool> done = { ToggleNMEA(kGLL, 1) != FALSE, ToggleSBAS(0) != FALSE };
    ASSERT_TRUE(PlugCom3(Com3::NoDcb));
    done.push_back(ToggleNMEA(kGGA, 1) != FALSE);
    Strings lines = DebugLines();
    EXPECT_EQ(done, std::vector<bool>(3, false));
    EXPECT_EQ(lines, (Strings{ "SetNMEASentences: ConfigGPS == 2\r\n", "ToggleNMEA: CreateFile Failed 2\r\n",
                                      "SetNMEASentences: ConfigGPS == 2\r\n", "ToggleSBAS: CreateFile Failed 2\r\n",
                                      "SetNMEASentences: ConfigGPS == 2\r\n", "GetCommState Failed\r\n" }));
    EXPECT_EQ(GetSetting(L"GGA"), 0u);
    EXPECT_EQ(GetSetting(L"GLL"), 0u);
    EXPECT_EQ(GetSetting(L"SBAS"), 1u);
    EXPECT_TRUE(KtapiJournal().empty());

    ASSERT_TRUE(PlugCom3(Com3::Cable));
    EXPECT_TRUE(ToggleNMEA(kGLL, 1));
    EXPECT_EQ(GetSetting(L"GLL"), 1u);
    EXPECT_EQ(sim.BytesReceived(), Concat({ Of(NmeaFrame(kGGA, FALSE)), Of(SaveFrame(kSaveMessages)),
                                            Of(NmeaFrame(kGLL, TRUE)), Of(SaveFrame(kSaveMessages)) }));
    EXPECT_EQ(sim.Saved().rate[kGLL], 1);
    ExpectRecovered();
}

// ---- what the receiver says ----

// One kind of misbehaviour per case, on the first frame of a two-frame
// transaction; the second frame (a save) then gets a plain ACK. Neither the
// setup program's nor the driver's listener may crash, hang or lose its
// way: the second reply is found, whatever came before.
TEST_F(Faults, MisbehavingReceiverNeverDerailsTheListener)
{
    const int kLimit = 16;  // 800 ms: beyond any read's time-out
    const std::string kText = "$GPTXT,01,01,02,noise*00\r\n\x01\x7f\t";
    std::mt19937 random(7);
    Bytes binary(2000);
    for (uint8_t &byte : binary)
        byte = (uint8_t)random();
    for (size_t i = 0; i < binary.size(); i++) {
        if (i + 1 < binary.size() && binary[i] == 0xB5 && binary[i + 1] == 0x62)
            binary[i + 1] = 0x63;   // noise, never a frame
        // and no false start that could reach into the reply, however
        // late the listener reads
        if (i + 5 >= binary.size() && binary[i] == 0xB5)
            binary[i] = 0xB4;
    }
    Bytes header65535 = { 0xB5, 0x62, 0x01, 0x30, 0xFF, 0xFF };
    header65535.resize(306, 0x41);
    Bytes ackOf300 = { 0xB5, 0x62, 0x05, 0x01, 0x2C, 0x01, 0x06, 0x01 };
    ackOf300.resize(6 + 300 + 2, 0xFF);

    struct Case {
        const char *name;
        Bytes bytes;                       // right after the first frame
        Bytes afterGap;                    // then, after a quiet gap
        bool answered;                     // the first wait ends before its limit
        std::vector<std::string> lines;    // the listener's lines meanwhile
        std::optional<std::string> echo;   // what the setup program echoes
    };
    const Bytes ack = rxsim::AckFrame(true, 0x06, 0x01);
    const std::vector<std::string> ackLines = AckLines("0x1");
    const Case cases[] = {
        { "a NAK", rxsim::AckFrame(false, 0x06, 0x01), {}, true,
          { "UBX MSG: [0x5]-[0x0] size 2\r\n", "     NAK of [0x6]-[0x1]\r\n" }, "" },
        { "text and control bytes", Bytes(kText.begin(), kText.end()), ack, true, ackLines, kText },
        // Whole false starts (6 x 683 bytes), so the reply is found however
        // far behind the listener is when it comes.
        { "a 0xB5 flood, then the reply", Bytes(6 * 683, 0xB5), ack, true, ackLines, "" },
        // Each 0xB5 takes the five bytes after it: a reply glued to a flood
        // of 7 loses its head inside the second false start, and the wait
        // runs out. Only the reply's last five bytes are left as text.
        { "a 0xB5 flood glued to the reply", Concat({ Bytes(7, 0xB5), ack }), {}, false, {},
          std::string("\0\x06\x01\x0f\x38", 5) },
        // No 0xB5 0x62 in it: nothing but the reply is a frame.
        { "binary noise, then the reply", binary, ack, true, ackLines, std::nullopt },
        // The header counts as the reply; the rest of the declared 65,535
        // bytes is read through until the line goes quiet.
        { "a frame declaring 65535 bytes, cut off", header65535, {}, true,
          { "UBX MSG: [0x1]-[0x30] size 65535\r\n" }, "" },
        // A cut-off payload reads as zeros, never as an earlier frame's bytes.
        { "an ACK cut off in its payload", { 0xB5, 0x62, 0x05, 0x01, 0x02, 0x00, 0x06 }, {}, true,
          { "UBX MSG: [0x5]-[0x1] size 2\r\n", "     ACK of [0x6]-[0x0]\r\n" }, "" },
        { "a header cut off", { 0xB5, 0x62, 0x05, 0x01 }, {}, false, {}, "" },
        // Too long for the buffer: the ACK line still names the first two
        // payload bytes, not bytes of the dropped tail.
        { "an ACK declaring 300 bytes", ackOf300, {}, true,
          { "UBX MSG: [0x5]-[0x1] size 300\r\n", "     ACK of [0x6]-[0x1]\r\n" }, "" },
    };

    TakeBaseline();
    rxsim::Options options;
    options.reply = rxsim::Reply::Silent;
    StartReceiver(options);
    size_t transactions = 0;
    for (const Case &c : cases) {
        for (const LinkRule *rule : { &kSetupLinkRule, &kBootLinkRule }) {
            // The two programs' listeners differ only in what they echo.
            if (rule == &kBootLinkRule && c.echo && c.echo->empty())
                continue;
            SCOPED_TRACE(std::string(c.name) + (rule == &kSetupLinkRule ? ", setup" : ", boot"));
            ClearDebugCapture();
            transactions++;
            std::vector<int> counts = RunTransaction(
                rule, { NmeaFrame(kGBS, TRUE), SaveFrame(kSaveMessages) }, { kLimit }, [&](size_t frame) {
                    if (frame == 1) {
                        ASSERT_TRUE(sim.Send(rxsim::AckFrame(true, 0x06, 0x09)));
                        return;
                    }
                    ASSERT_TRUE(sim.Send(c.bytes));
                    if (!c.afterGap.empty()) {
                        Sleep(150);
                        ASSERT_TRUE(sim.Send(c.afterGap));
                    }
                });
            ASSERT_EQ(counts.size(), 2u);
            EXPECT_EQ(counts[0] < kLimit, c.answered) << counts[0];
            EXPECT_EQ(ListenerLinesOf(0), c.lines);
            EXPECT_LE(counts[1], 2);
            EXPECT_EQ(ListenerLinesOf(1), AckLines("0x9"));
            if (rule == &kBootLinkRule || c.echo) {
                EXPECT_EQ(EchoedText(), rule == &kBootLinkRule ? "" : *c.echo);
            }
        }
    }
    EXPECT_EQ(sim.Frames().size(), 2 * transactions);
    ExpectRecovered();
}

// A reply that comes after the poll limit is not lost: it is read while the
// next frame is outstanding and taken as that frame's reply, which costs
// nothing beyond the count (what a reply acknowledges is never looked at).
// One still on its way when the port closes waits on the bench's cable (a
// handheld's driver may drop it) and is taken by the next transaction before
// its own frame is even written.
TEST_F(Faults, LateReplyCountsForTheNextFrame)
{
    TakeBaseline();
    rxsim::Options options;
    options.latencyMs = 400;
    options.current.sbas = false;
    StartReceiver(options);

    std::vector<int> counts =
        RunTransaction(&kSetupLinkRule, { NmeaFrame(kGGA, TRUE), SbasFrame(TRUE) }, { 4, 20 });
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0], 4);
    EXPECT_LT(counts[1], 20);
    EXPECT_TRUE(ListenerLinesOf(0).empty());
    EXPECT_EQ(ListenerLinesOf(1), AckLines("0x1"));
    EXPECT_EQ(sim.Current().rate[kGGA], 1);
    EXPECT_TRUE(sim.Current().sbas);

    // The SBAS frame's ACK arrives after the close.
    ASSERT_TRUE(sim.WaitForBytesSent(20, 2000));
    Sleep(50);
    ASSERT_TRUE(OpenReceiverPort(&kSetupLinkRule, kCreateFileLine));
    StartReplyListener();
    outstanding = 2;
    Sleep(200);   // the setup program's wait before its first frame
    EXPECT_EQ(g_transaction.replySeen, 1);
    StopReplyListener();
    CloseReceiverPort();
    EXPECT_EQ(ListenerLinesOf(2), AckLines("0x16"));

    // A whole operation on the late receiver: every frame arrives whole
    // and the setting is stored.
    EXPECT_TRUE(ToggleNMEA(kZDA, 1));
    EXPECT_EQ(GetSetting(L"ZDA"), 1u);
    std::vector<rxsim::ReceivedFrame> frames = sim.Frames();
    ASSERT_EQ(frames.size(), 4u);
    for (const rxsim::ReceivedFrame &frame : frames) {
        EXPECT_TRUE(frame.complete && frame.checksumOk) << rxsim::DescribeFrame(frame);
        EXPECT_TRUE(frame.applied) << rxsim::DescribeFrame(frame);
    }
    EXPECT_EQ(sim.Saved().rate[kZDA], 1);
    ExpectRecovered();
}

// ---- the line itself ----

// A line error that fails every read until cleared (a handheld's port with
// fAbortOnError): the listener clears it, waits out the rest of a read period
// instead of failing read after read, and finds the reply that came
// meanwhile; in both programs' listeners and a whole operation.
TEST_F(Faults, LineErrorIsClearedAndTheReplyBehindItFound)
{
    TakeBaseline();
    HMODULE self = GetModuleHandleW(nullptr);
    ImportHook read(self, "ReadFile", (void *)port::ErringRead);
    ASSERT_TRUE(read.installed());
    // Old code does not import ClearCommError at all.
    ImportHook clear(self, "ClearCommError", (void *)port::ClearingClear);
    // The reply comes 150 ms after its frame, so that the error always comes
    // first. An error once the reply's first bytes are read cuts that reply
    // off, and the wait runs to its limit, as for a frame a line error spoils.
    rxsim::Options options;
    options.latencyMs = 150;
    StartReceiver(options);

    for (const LinkRule *rule : { &kSetupLinkRule, &kBootLinkRule }) {
        SCOPED_TRACE(rule == &kSetupLinkRule ? "setup" : "boot");
        ClearDebugCapture();
        port::failedReads = 0;
        port::clears = 0;
        std::vector<int> counts = RunTransaction(rule, { NmeaFrame(kGSA, FALSE), SaveFrame(kSaveMessages) }, { 40 },
                                                 [](size_t) { port::lineError = true; });
        port::lineError = false;
        ASSERT_EQ(counts.size(), 2u);
        // A cleared error costs a read period; a reply never found runs to 40.
        EXPECT_LE(counts[0], 8);
        EXPECT_LE(counts[1], 8);
        EXPECT_EQ(ListenerLinesOf(0), AckLines("0x1"));
        EXPECT_EQ(ListenerLinesOf(1), AckLines("0x9"));
        // Each error is cleared, after at most one failed read (the check after
        // a read that timed out empty may clear it first).
        EXPECT_LE(port::failedReads, 2);
        EXPECT_EQ(port::clears, 2);
    }

    port::failedReads = 0;
    ClearDebugCapture();
    port::lineError = true;
    bool toggled = ToggleNMEA(kGSA, 1);
    port::lineError = false;
    SplitLines lines = SplitByThread(DebugLines());
    EXPECT_TRUE(toggled);
    ASSERT_EQ(lines.counts.size(), 2u);
    EXPECT_LT(lines.counts[0], 10);
    EXPECT_LE(port::failedReads, 1);
    EXPECT_EQ(GetSetting(L"GSA"), 1u);
    EXPECT_EQ(sim.Saved().rate[kGSA], 1);
    ExpectRecovered();
}

std::vector<DWORD> Fields(const COMMTIMEOUTS &t)
{
    return { t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
             t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant };
}

// Only the read time-outs are the system's to decide, and only while it
// holds the port: the write time-outs stay as the port's driver keeps them,
// and what the port reported at the open is written back before the close.
// (On the handheld the port keeps its time-outs from one open to the next,
// which the emulated device shows: BootPass, SetupProgram. Wine keeps them
// per handle, so here only the calls can be seen.) When the port refuses
// them, the lines SetCommState has raised are dropped before the close, as
// CloseReceiverPort does, the restore is tried and its refusal adds no
// line, and nothing is sent or stored.
TEST_F(Faults, PortTimeOutsAreTheProgramsOwnAndHandedBack)
{
    TakeBaseline();
    HMODULE self = GetModuleHandleW(nullptr);
    ImportHook getTimeouts(self, "GetCommTimeouts", (void *)port::DriverGetTimeouts);
    ImportHook setTimeouts(self, "SetCommTimeouts", (void *)port::RecordedSetTimeouts);
    ImportHook setState(self, "SetCommState", (void *)port::RecordedSetState);
    ASSERT_TRUE(setTimeouts.installed());
    ASSERT_TRUE(setState.installed());
    StartReceiver();

    for (const LinkRule *rule : { &kSetupLinkRule, &kBootLinkRule }) {
        SCOPED_TRACE(rule == &kSetupLinkRule ? "setup" : "boot");
        port::timeoutsRead.clear();
        port::timeoutsSet.clear();
        ASSERT_TRUE(OpenReceiverPort(rule, kCreateFileLine));
        COMMTIMEOUTS actual = {};
        EXPECT_TRUE(port::realGetTimeouts(g_transaction.port, &actual));
        CloseReceiverPort();
        ASSERT_EQ(port::timeoutsRead.size(), 1u);
        ASSERT_EQ(port::timeoutsSet.size(), 2u) << "the port's own time-outs were not put back";
        const COMMTIMEOUTS &set = port::timeoutsSet[0];
        EXPECT_EQ((std::vector<DWORD>{ set.ReadIntervalTimeout, set.ReadTotalTimeoutMultiplier,
                                       set.ReadTotalTimeoutConstant, set.WriteTotalTimeoutMultiplier,
                                       set.WriteTotalTimeoutConstant, actual.ReadTotalTimeoutConstant }),
                  (std::vector<DWORD>{ 0, kReadPerByteMs, kReadIdleMs, port::kDriverWriteTimeouts.WriteTotalTimeoutMultiplier,
                                       port::kDriverWriteTimeouts.WriteTotalTimeoutConstant, kReadIdleMs }));
        EXPECT_EQ(Fields(port::timeoutsSet[1]), Fields(port::timeoutsRead[0]));
    }

    port::failSetTimeouts = true;
    SetSetting(L"SBAS", 0);
    for (int attempt = 0; attempt < 2; attempt++) {
        SCOPED_TRACE(attempt == 0 ? "transaction" : "ToggleSBAS");
        port::statesSet.clear();
        port::timeoutsRead.clear();
        port::timeoutsSet.clear();
        ClearDebugCapture();
        bool done = attempt == 0 ? OpenReceiverPort(&kBootLinkRule, kCreateFileLine) : ToggleSBAS(1);
        Strings lines = DebugLines();
        EXPECT_FALSE(done);
        EXPECT_EQ(lines, (Strings{ "SetNMEASentences: ConfigGPS == 2\r\n", "SetCommTimeouts Failed\r\n" }));
        EXPECT_EQ(g_transaction.port, INVALID_HANDLE_VALUE);
        ASSERT_EQ(port::timeoutsSet.size(), 2u) << "no restore was tried after the refusal";
        EXPECT_EQ(Fields(port::timeoutsSet[1]), Fields(port::timeoutsRead.at(0)));
        ASSERT_EQ(port::statesSet.size(), 2u) << "the lines were not dropped";
        const DCB &raised = port::statesSet[0], &dropped = port::statesSet[1];
        EXPECT_EQ((std::vector<DWORD>{ raised.fDtrControl, dropped.fDtrControl, dropped.fRtsControl, dropped.BaudRate,
                                       dropped.ByteSize }),
                  (std::vector<DWORD>{ DTR_CONTROL_ENABLE, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, CBR_38400, 8 }));
    }
    port::failSetTimeouts = false;
    EXPECT_EQ(GetSetting(L"SBAS"), 0u);
    EXPECT_TRUE(sim.Frames().empty());
    ExpectRecovered();
}

// ---- what the registry holds ----

// Each setting is read whole into 4 bytes whatever its type: shorter values
// count by their bytes, longer ones as absent (off). The boot pass sends what
// those flags say, drives the power line by "PWR" read the same way, and
// leaves every value as it was. A key that may be read but not written is
// read as it is, and a change on it reaches the receiver, recording nothing.
TEST_F(Faults, OddSettingValuesReachTheBootPassByTheirBytes)
{
    struct Value { const wchar_t *name; DWORD type; Bytes data; bool on; };
    const Value values[] = {
        { L"GGA", REG_SZ, { '0', 0, 0, 0 }, true },            // the text "0" is 0x30
        { L"GLL", REG_QWORD, { 1, 0, 0, 0, 0, 0, 0, 0 }, false },
        { L"GSA", REG_BINARY, { 1 }, true },
        { L"GSV", REG_BINARY, {}, false },
        { L"RMC", REG_MULTI_SZ, { '1', 0, 0, 0, 0, 0 }, false },
        { L"VTG", REG_DWORD, { 0xFF, 0xFF, 0xFF, 0xFF }, true },
        { L"GRS", REG_BINARY, { 0, 1 }, true },
        { L"GST", REG_DWORD_BIG_ENDIAN, { 0, 0, 0, 1 }, true },
        { L"ZDA", REG_SZ, { 0, 0 }, false },
        { L"GBS", REG_BINARY, { 1, 0, 0, 0, 0 }, false },      // one byte too many
        { L"SBAS", REG_BINARY, { 0, 0, 1 }, true },
        { L"PWR", REG_BINARY, { 1 }, true },                   // exactly 1, by its one byte
    };                                                         // DTM absent: off
    for (const Value &v : values)
        SetRawValue(true, v.name, v.type, v.data.data(), (DWORD)v.data.size());
    TakeBaseline();

    // A key that may be read but not written reads as it is.
    ASSERT_TRUE(SetSettingsKeyAccess(kReadOnly));
    StartReceiver();
    EXPECT_EQ(rxbInit(L"Drivers\\Active\\42", nullptr), kDeviceContext);
    EXPECT_FALSE(Contains(DebugLines(), "SetNMEASentences: RegOpenKeyEx Failed\r\n"));
    // and a change on it reconfigures the receiver but records nothing.
    EXPECT_TRUE(ToggleNMEA(kDTM, 1));
    ASSERT_TRUE(SetSettingsKeyAccess(kFullAccess));

    std::vector<Bytes> expected;
    for (int i = 0; i < kSentenceCount; i++)
        expected.push_back(Of(NmeaFrame(i, i < 10 && values[i].on)));
    expected.insert(expected.end(), { Of(SbasFrame(TRUE)), Of(SaveFrame(kSaveBoth)), Of(NmeaFrame(kDTM, TRUE)),
                                      Of(SaveFrame(kSaveMessages)) });
    EXPECT_EQ(FramesOnLine(sim), expected);
    EXPECT_EQ(KtapiJournal(), kPowerOn);
    for (const Value &v : values)
        EXPECT_EQ(ReadRaw(v.name), RawValue(v.type, v.data)) << v.name;
    EXPECT_FALSE(ReadRaw(L"DTM").has_value());
    ExpectRecovered();
}

// Neither key there: the operations still reconfigure the receiver (at 38400
// baud: Transaction.OpenConfiguresThePortByEachProgramsRule) and drive the
// power line, record nothing and create no key. A value of another type is
// replaced by a proper 4-byte REG_DWORD when the setting is next changed.
TEST_F(Faults, MissingKeysAndOddValuesLeaveTheRegistryAsItShould)
{
    TakeBaseline();
    StartReceiver();
    DeleteKestranaKeys();
    bool toggled = ToggleSBAS(0);
    Strings steps = SplitByThread(DebugLines()).steps;
    EXPECT_TRUE(toggled);
    EXPECT_FALSE(sim.Saved().sbas);
    EXPECT_EQ(steps, (Strings{ "NMEA Disable: Wrote 16 bytes\r\n", "Count = #\r\n",
                                                           "UBXSaveNavToBBR: Wrote 21 bytes\r\n", "Count = #\r\n" }));
    SetGpsPower(1);
    EXPECT_EQ(KtapiJournal(), kPowerOn);
    HKEY key;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana", 0, KEY_READ, &key), ERROR_SUCCESS) << "a key was created";

    CreateKestranaKeys();
    SetRawValue(true, L"RMC", REG_SZ, L"on", 6);
    EXPECT_TRUE(ToggleNMEA(kRMC, 0));
    EXPECT_EQ(ReadRaw(L"RMC"), RawValue(REG_DWORD, Bytes(4, 0)));
    ExpectRecovered();
}

// ---- two programs at once ----

// The program that holds the port keeps it. The other one's operations and
// RXB_Init are refused at the open ("CreateFile Failed 12"), again and again
// without keeping a handle, sending, storing or touching the power line; the
// line carries exactly the holder's frames, whole and in order. A holder
// killed mid-transaction frees the port and has recorded nothing unfinished.
TEST_F(Faults, TheProgramHoldingThePortKeepsItUntilItEndsOrIsKilled)
{
    rxsim::Options options;
    options.latencyMs = 1500;   // this program holds the port for about 3.3 s
    StartReceiver(options);
    SetSetting(L"GLL", 0);
    {
        SCOPED_TRACE("this program holds the port");
        std::atomic<bool> firstDone{ false };
        BOOL firstResult = FALSE;
        std::thread first([&] {
            firstResult = ToggleNMEA(kGGA, 1);
            firstDone = true;
        });
        bool firstSending = sim.WaitForFrames(1, 3000);
        EXPECT_TRUE(firstSending);
        DebuggedProcess second;
        DWORD exitCode = 99;
        if (firstSending && second.Start(L"\"" + BinPath(L"opchild.exe") + L"\" nmea=1,1 sbas=0")) {
            EXPECT_TRUE(second.WaitForExit(10000, &exitCode));
            EXPECT_FALSE(firstDone) << "this program let go of the port before the other one tried";
        }
        first.join();
        EXPECT_EQ(exitCode, 0u) << "the other program's operations were not refused";
        EXPECT_EQ(second.Lines(), (Strings{ "SetNMEASentences: ConfigGPS == 2\r\n", "ToggleNMEA: CreateFile Failed 12\r\n",
                                            "SetNMEASentences: ConfigGPS == 2\r\n", "ToggleSBAS: CreateFile Failed 12\r\n" }));
        EXPECT_TRUE(firstResult);
        EXPECT_EQ(GetSetting(L"GGA"), 1u);
        EXPECT_EQ(GetSetting(L"GLL"), 0u);
        EXPECT_FALSE(GetSetting(L"SBAS").has_value());
        EXPECT_EQ(sim.BytesReceived(), Concat({ Of(NmeaFrame(kGGA, TRUE)), Of(SaveFrame(kSaveMessages)) }));
        for (const rxsim::ReceivedFrame &frame : sim.Frames())
            EXPECT_TRUE(frame.complete && frame.checksumOk) << rxsim::DescribeFrame(frame);
    }

    // opchild.exe holds it, run without the test bench's debugger, which
    // keeps a few handles per program it has run.
    TakeBaseline();
    options.latencyMs = 1000;
    StartReceiver(options);
    SetSetting(L"SBAS", 0);
    {
        SCOPED_TRACE("another program holds the port");
        PlainChild holder(L"nmea=1,1");
        ASSERT_NE(holder.info.hProcess, nullptr);
        ASSERT_TRUE(sim.WaitForFrames(1, 5000));
        ClearDebugCapture();
        bool toggled = ToggleSBAS(1);
        DWORD context = rxbInit(L"Drivers\\Active\\42", nullptr);
        Strings lines = DebugLines();
        EXPECT_FALSE(toggled);
        EXPECT_EQ(context, 0u);
        EXPECT_EQ(lines, (Strings{ "SetNMEASentences: ConfigGPS == 2\r\n", "ToggleSBAS: CreateFile Failed 12\r\n",
                                          "####       RXB_INIT Entered        ####\r\n",
                                          "SetNMEASentences: ConfigGPS == 2\r\n",
                                          "SetNMEASentences: CreateFile Failed 12\r\n" }));
        for (int i = 0; i < 5; i++)
            EXPECT_FALSE(ToggleNMEA(kDTM, 1));
        EXPECT_EQ(WaitForSingleObject(holder.info.hProcess, 0), (DWORD)WAIT_TIMEOUT) << "the holder let go of the port too early for this test";
        DWORD code = 0;
        EXPECT_EQ(WaitForSingleObject(holder.info.hProcess, 10000), WAIT_OBJECT_0);
        EXPECT_TRUE(GetExitCodeProcess(holder.info.hProcess, &code) && code == 1) << code;
    }
    EXPECT_EQ(GetSetting(L"GLL"), 1u);
    EXPECT_EQ(GetSetting(L"SBAS"), 0u);
    EXPECT_FALSE(GetSetting(L"DTM").has_value());
    EXPECT_TRUE(KtapiJournal().empty());
    EXPECT_EQ(sim.BytesReceived(), Concat({ Of(NmeaFrame(kGLL, TRUE)), Of(SaveFrame(kSaveMessages)) }));

    sim.SetReply(rxsim::Reply::Silent);
    {
        SCOPED_TRACE("the holder is killed");
        PlainChild holder(L"nmea=4,0");
        ASSERT_NE(holder.info.hProcess, nullptr);
        ASSERT_TRUE(sim.WaitForFrames(3, 5000));
        holder.Kill();
    }
    sim.SetReply(rxsim::Reply::Ack);
    ClearDebugCapture();
    EXPECT_TRUE(ToggleNMEA(kGRS, 1));
    EXPECT_TRUE(Contains(DebugLines(), "NMEA Enable: Wrote 11 bytes\r\n"));
    EXPECT_FALSE(GetSetting(L"RMC").has_value());
    EXPECT_EQ(GetSetting(L"GRS"), 1u);
    EXPECT_EQ(sim.Saved().rate[kGRS], 1);
    EXPECT_EQ(sim.Frames().size(), 5u);
    ExpectRecovered();
}

}  // namespace
