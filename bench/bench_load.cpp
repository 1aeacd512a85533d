// bench_load.cpp - rxbench-load.exe: the setup program's listener while
// the receiver streams NMEA text at the full line rate.
//
//   rxbench-load.exe [--seconds S] [--rate BYTES_PER_S] [--debugger | --debugtap]
//
// The simulator runs in this process and streams its sentences at --rate
// (default 3840 bytes/s, a 38400-baud line kept full). The listener runs
// with the setup program's link rule, so every character of text is one
// OutputDebugString call. For S seconds (default 30) transactions follow
// each other as in the reply benchmark: the ACK goes out at a random moment
// between sentences and WaitForReply must return within one poll period.
// Then the text stops, the listener drains the line, and every byte of text
// the simulator sent must have been echoed. Before the stream, on a quiet
// line, a loop of bare OutputDebugString calls shows what one echo costs by
// itself, and a burst of 8 KB of text followed at once by an ACK how many
// bytes a second the listener can take at most (the ACK is found only after
// every byte before it).
//
// Without --debugger this process counts its own echo (a vectored handler;
// no debugger attached). With --debugger it starts itself again under the
// debugger loop of testbench/debugtap, as the platform's debug output is
// consumed by a debugger: the program is held for every call, and the
// debugger thread here counts what arrives. With --debugtap it runs under
// debugtap.exe, the project's viewer, which also writes every call to its
// output (how scripts/rxconf.sh shows the setup program's lines); the echo
// is not counted then. The measuring copy hands its figures back on a debug
// line of its own ("loadresult ...").
//
// Threads: as in the reply benchmark (main thread: transactions; sender
// thread: ACKs; listener and simulator threads beside them). With
// --debugger, the debugger thread alone updates the echo side (counts,
// backlog samples, the result text) under a mutex; the main thread reads it
// once the measuring copy has ended.
#include "benchutil.h"

#include "debugtap.h"
#include "fixtures.h"
#include "runcapture.h"
#include "rxsim.h"
#include "transaction.h"
#include "ubxcatalog.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

using namespace rxbench;

namespace {

const int kSetupPollLimit = 200;
const double kGoalMs = kPollPeriodMs + 5;
const size_t kAckLength = 10;
// Small enough to fit in the cable's buffers (pseudo-terminals and socat
// hold some 16 KB), so that it goes out at once whatever the listener does.
const size_t kBurstBytes = 8192;
const int kCostCalls = 200, kCostBlocks = 10;
const DWORD kDrainMs = 500;


// What the measuring copy found; text between the copies as "key=value".
struct LoadResult {
    int frames = 0, missed = 0;
    double medianMs = 0, worstMs = 0;
    double firstThirdMedianMs = 0, lastThirdMedianMs = 0, lastThirdWorstMs = 0;
    double textBytes = 0;      // text the simulator sent
    double streamSeconds = 0;  // from the first transaction until the text stopped
    double burstMs = -1;       // burst sent -> its ACK found
    double callAloneUs = 0;    // one bare OutputDebugString call, this thread alone in the process
    double callUs = 0;         // the same with the simulator's threads running
};

std::string Serialise(const LoadResult &r)
{
    return Format("loadresult frames=%d missed=%d median=%.3f worst=%.3f first=%.3f last=%.3f lastworst=%.3f "
                  "text=%.0f seconds=%.3f burst=%.3f alone=%.3f call=%.3f\r\n",
                  r.frames, r.missed, r.medianMs, r.worstMs, r.firstThirdMedianMs, r.lastThirdMedianMs,
                  r.lastThirdWorstMs, r.textBytes, r.streamSeconds, r.burstMs, r.callAloneUs, r.callUs);
}

bool Parse(const std::string &text, LoadResult *r)
{
    size_t at = text.find("loadresult ");
    return at != std::string::npos &&
           sscanf(text.c_str() + at,
                  "loadresult frames=%d missed=%d median=%lf worst=%lf first=%lf last=%lf lastworst=%lf "
                  "text=%lf seconds=%lf burst=%lf alone=%lf call=%lf",
                  &r->frames, &r->missed, &r->medianMs, &r->worstMs, &r->firstThirdMedianMs, &r->lastThirdMedianMs,
                  &r->lastThirdWorstMs, &r->textBytes, &r->streamSeconds, &r->burstMs, &r->callAloneUs,
                  &r->callUs) == 12;
}

// The echo of the stream as its consumer counted it: every one-character
// call from the "stream" mark on, the count when the drain ended, and at
// each ACK the text sent but not yet echoed. Fed from the calls themselves,
// in order, so it works the same in this process and in the debugger.
struct EchoSide {
    std::mutex lock;
    uint64_t echoed = 0, echoedAtDrain = 0;
    unsigned sentAtStream = 0;
    std::vector<double> backlog;

    void Call(const char *text, size_t length)
    {
        if (length == 1) {
            std::lock_guard<std::mutex> guard(lock);
            echoed++;
            return;
        }
        unsigned sent = 0;
        if (length > 9 && strncmp(text, "loadmark ", 9) == 0) {
            std::lock_guard<std::mutex> guard(lock);
            if (sscanf(text, "loadmark stream sent=%u", &sent) == 1) {
                sentAtStream = sent;
                echoed = 0;
            } else if (sscanf(text, "loadmark ack sent=%u", &sent) == 1)
                backlog.push_back((double)sent - sentAtStream - (double)(backlog.size() * kAckLength) -
                                  (double)echoed);
            else if (strncmp(text, "loadmark drained", 16) == 0)
                echoedAtDrain = echoed;
        }
    }
};

EchoSide g_ownEcho;   // this process's own calls, when no debugger is attached

LONG CALLBACK OnOwnDebugString(EXCEPTION_POINTERS *info)
{
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
        size_t length = (size_t)record->ExceptionInformation[0];
        const char *text = (const char *)record->ExceptionInformation[1];
        while (length > 0 && text[length - 1] == '\0')
            length--;
        g_ownEcho.Call(text, length);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Microseconds of one OutputDebugString call, on its own (two characters,
// so that no consumer counts them as echo): the median of ten blocks of
// 200 calls, after 200 calls to warm up.
double CallCostUs()
{
    std::vector<double> blocks;
    for (int block = 0; block <= kCostBlocks; block++) {
        double from = NowMs();
        for (int i = 0; i < kCostCalls; i++)
            OutputDebugStringA("~~");
        if (block > 0)
            blocks.push_back((NowMs() - from) * 1000 / kCostCalls);
    }
    return Summarise(blocks).median;
}

// 8 KB of the kind of text the receiver sends.
std::vector<uint8_t> BurstText()
{
    static const char kLine[] = "$GPGSV,3,1,12,07,38,230,44,08,71,156,47,09,29,116,41,18,09,081,36*7B\r\n";
    std::vector<uint8_t> text;
    while (text.size() < kBurstBytes)
        text.insert(text.end(), kLine, kLine + sizeof kLine - 1);
    text.resize(kBurstBytes);
    return text;
}

// On a quiet line: what one echo call costs, then the burst. Then the text
// stream with the transactions for `seconds`, and the drain.
bool Measure(double seconds, DWORD rate, LoadResult *result)
{
    result->callAloneUs = CallCostUs();
    RecordSampleSettings();
    rxsim::Simulator sim;
    rxsim::Options options;
    options.reply = rxsim::Reply::Silent;
    if (!sim.Start(options))
        return false;
    if (!OpenReceiverPort(&kSetupLinkRule, L"bench: CreateFile Failed %d\r\n")) {
        fprintf(stderr, "bench: the port does not open\n");
        return false;
    }
    result->callUs = CallCostUs();

    // The burst: all at once, the ACK right behind it.
    StartReplyListener();
    std::vector<uint8_t> burst = BurstText(), ack = rxsim::AckFrame(true, 0x06, 0x01);
    burst.insert(burst.end(), ack.begin(), ack.end());
    double burstFrom = NowMs();
    std::thread burstSender([&sim, &burst] { sim.Send(burst); });
    if (WaitForReply(kSetupPollLimit) < kSetupPollLimit)
        result->burstMs = NowMs() - burstFrom;
    burstSender.join();
    StopReplyListener();

    // The stream: counting starts afresh here.
    // Whoever counts the echo compares it with this: text sent before the ACK.
    AckSender sender(&sim, [&sim] {
        OutputDebugStringA(Format("loadmark ack sent=%u\r\n", (unsigned)sim.BytesSent().size()).c_str());
    });
    size_t sentBefore = sim.BytesSent().size();
    OutputDebugStringA(Format("loadmark stream sent=%u\r\n", (unsigned)sentBefore).c_str());
    sim.SetChatter(rate);

    std::vector<double> latency;
    unsigned seed = 4711;
    double started = NowMs();
    while (NowMs() - started < seconds * 1000) {
        DWORD written = 0;
        StartReplyListener();
        WriteReceiverFrame(NmeaFrame(result->frames % kSentenceCount, true), &written);
        sender.Fire(NextDelayMs(&seed));
        int polls = WaitForReply(kSetupPollLimit);
        double returnedAt = NowMs();
        double sentAt = sender.WaitSent();
        StopReplyListener();
        result->frames++;
        if (polls >= kSetupPollLimit) {
            result->missed++;
            continue;
        }
        latency.push_back(returnedAt - sentAt);
    }

    // The text stops; a last listener reads what is still on the line.
    StartReplyListener();
    sim.SetChatter(0);
    result->streamSeconds = (NowMs() - started) / 1000;
    Sleep(kDrainMs);
    StopReplyListener();
    result->textBytes = (double)(sim.BytesSent().size() - sentBefore - (size_t)result->frames * kAckLength);
    OutputDebugStringA("loadmark drained\r\n");

    CloseReceiverPort();
    sim.Stop();
    bench::DeleteKestranaKeys();

    Stats all = Summarise(latency);
    result->medianMs = all.median;
    result->worstMs = all.worst;
    size_t third = latency.size() / 3;
    if (third > 0) {
        std::vector<double> first(latency.begin(), latency.begin() + third);
        std::vector<double> last(latency.end() - third, latency.end());
        result->firstThirdMedianMs = Summarise(first).median;
        result->lastThirdMedianMs = Summarise(last).median;
        result->lastThirdWorstMs = Summarise(last).worst;
    }
    return true;
}

// echo is null when the consumer's count is not to be had (debugtap.exe
// prints the calls instead of counting them): the row then stands on the
// detection figures alone.
void Report(const LoadResult &r, EchoSide *echo, DWORD rate, const char *consumer)
{
    double sentRate = r.textBytes / r.streamSeconds;
    std::string echoFigures = "echo not counted";
    bool echoGood = true;
    if (echo != nullptr) {
        std::lock_guard<std::mutex> guard(echo->lock);
        double lost = r.textBytes - (double)echo->echoedAtDrain;
        double handled = (double)echo->echoedAtDrain / r.streamSeconds;
        size_t third = echo->backlog.size() / 3;
        double backlogFirst = 0, backlogLast = 0;
        if (third > 0) {
            backlogFirst = Summarise(std::vector<double>(echo->backlog.begin(), echo->backlog.begin() + third)).worst;
            backlogLast = Summarise(std::vector<double>(echo->backlog.end() - third, echo->backlog.end())).worst;
        }
        // What waits to be echoed when an ACK goes out stays about a sentence or two.
        echoGood = lost == 0 && backlogLast <= std::max(backlogFirst, 200.0) * 2;
        echoFigures = Format("%.0f B/s echoed of %.0f B/s sent; %.0f B left unechoed", handled, sentRate, lost);
        Detail("%s: %.1f s of text, %.0f bytes sent, %llu echoed by the end of the %lu ms drain; %d frames, %d "
               "never seen",
               consumer, r.streamSeconds, r.textBytes, (unsigned long long)echo->echoedAtDrain, kDrainMs, r.frames,
               r.missed);
        Detail("text sent but not yet echoed when an ACK went out: at most %.0f B in the first third, %.0f B in the "
               "last",
               backlogFirst, backlogLast);
    } else {
        Detail("%s: %.1f s of text, %.0f bytes sent (%.0f B/s); %d frames, %d never seen", consumer, r.streamSeconds,
               r.textBytes, sentRate, r.frames, r.missed);
    }
    // Flat: the last third detects about as fast as the first.
    bool flat = r.lastThirdMedianMs <= r.firstThirdMedianMs + 10;
    bool met = r.missed == 0 && r.worstMs <= kGoalMs && flat && echoGood;
    Row(Format("5. Listener under %lu B/s of NMEA, echoed per byte (%s)", rate, consumer),
        Format("detection median %.1f ms, worst %.1f ms (%d frames); %s", r.medianMs, r.worstMs, r.frames,
               echoFigures.c_str()),
        Format("0..%d ms; %lu B/s", (int)kPollPeriodMs, rate),
        Format("worst <= %.0f ms, flat, every byte echoed", kGoalMs), met ? "met" : "MISSED");
    Detail("detection: first third median %.1f ms; last third median %.1f ms, worst %.1f ms", r.firstThirdMedianMs,
           r.lastThirdMedianMs, r.lastThirdWorstMs);
    if (r.burstMs > 0)
        Detail("capacity: %u bytes at once, then an ACK: found after %.0f ms = at least %.0f B/s (%.1f us a byte, "
               "read and echo)",
               (unsigned)kBurstBytes, r.burstMs, kBurstBytes / (r.burstMs / 1000), r.burstMs * 1000 / kBurstBytes);
    else
        Detail("capacity: %u bytes at once, then an ACK: not found within %d polls", (unsigned)kBurstBytes,
               kSetupPollLimit);
    Detail("one OutputDebugString call on its own: %.1f us with the simulator's threads in the process, %.1f us "
           "with the calling thread alone (the line leaves %.0f us a byte at %lu B/s)",
           r.callUs, r.callAloneUs, 1e6 / rate, rate);
}

// The copy under the debugger: its calls feed the echo side here.
int RunUnderDebugger(double seconds, DWORD rate)
{
    EchoSide echo;
    std::mutex lock;
    std::string resultLine;
    bench::DebuggedProcess child;
    child.SetSink([&](const std::string &call) {
        echo.Call(call.data(), call.size());
        if (call.compare(0, 11, "loadresult ") == 0) {
            std::lock_guard<std::mutex> guard(lock);
            resultLine = call;
        }
    });
    std::wstring command = L"\"" + bench::BinPath(L"rxbench-load.exe") + L"\" --debuggee --seconds " +
                           std::to_wstring((int)seconds) + L" --rate " + std::to_wstring(rate);
    if (!child.Start(command)) {
        fprintf(stderr, "bench: cannot start the measuring copy (error %lu)\n", child.StartError());
        return 1;
    }
    DWORD exitCode = 0;
    if (!child.WaitForExit((DWORD)(seconds * 1000) + 120000, &exitCode)) {
        fprintf(stderr, "bench: the measuring copy did not end\n");
        child.Kill();
        return 1;
    }
    LoadResult result;
    std::lock_guard<std::mutex> guard(lock);
    if (!Parse(resultLine, &result)) {
        fprintf(stderr, "bench: no result from the measuring copy (exit code %lu)\n", exitCode);
        return 1;
    }
    Report(result, &echo, rate, "debugger attached");
    return 0;
}

// The copy under debugtap.exe, the project's debug viewer, which writes
// every call to its standard output as it comes (a file here).
int RunUnderDebugtap(double seconds, DWORD rate)
{
    ProgramRun run = RunProgram(L"debugtap.exe",
                                L"\"" + bench::BinPath(L"rxbench-load.exe") + L"\" --debuggee --seconds " +
                                    std::to_wstring((int)seconds) + L" --rate " + std::to_wstring(rate),
                                (DWORD)(seconds * 1000) + 120000);
    LoadResult result;
    if (!run.ended || !Parse(run.output, &result)) {
        fprintf(stderr, "bench: no result from the measuring copy under debugtap.exe (exit code %lu)\n",
                run.exitCode);
        return 1;
    }
    Report(result, nullptr, rate, "under debugtap.exe");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 30;
    DWORD rate = 3840;
    bool debugger = false, debuggee = false, debugtap = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(1, atoi(argv[++i]));
        else if (strcmp(argv[i], "--rate") == 0 && i + 1 < argc)
            rate = (DWORD)atoi(argv[++i]);
        else if (strcmp(argv[i], "--debugger") == 0)
            debugger = true;
        else if (strcmp(argv[i], "--debuggee") == 0)
            debuggee = true;
        else if (strcmp(argv[i], "--debugtap") == 0)
            debugtap = true;
        else {
            fprintf(stderr, "usage: rxbench-load.exe [--seconds S] [--rate BYTES_PER_S] [--debugger | --debugtap]\n");
            return 2;
        }
    }
    if (debugger)
        return RunUnderDebugger(seconds, rate);
    if (debugtap)
        return RunUnderDebugtap(seconds, rate);

    // Under a debugger the calls never reach this handler: the debugger has them.
    AddVectoredExceptionHandler(1, OnOwnDebugString);
    LoadResult result;
    if (!Measure(seconds, rate, &result))
        return 1;
    if (debuggee) {
        OutputDebugStringA(Serialise(result).c_str());
        return 0;
    }
    Report(result, &g_ownEcho, rate, "no debugger");
    return 0;
}
