// bench_toggle.cpp - rxbench-toggle.exe: one sentence switched on and off
// by the setup program's ToggleNMEA against a receiver that answers, timed
// against its fixed delays plus the port's own open and close.
//
//   rxbench-toggle.exe [--calls N] [--latency MS] [--baud RATE --chatter BYTES_PER_S]
//
// The receiver (the simulator library) runs in this process and answers
// each frame after --latency ms (default 5). With --baud its UART runs at
// that rate ("ConfigGPS" follows: 1 for 9600, else 2) and with --chatter it
// queues that many bytes of sentences each second, so that its replies wait
// behind them as a receiver's do; the figure then shows what that costs. The open and the close of the
// port are timed on their own first (OpenReceiverPort/CloseReceiverPort, as
// ToggleNMEA calls them), then N calls of ToggleNMEA; each call's own debug
// lines, time-stamped, split it into its steps.
//
// Threads: the main thread makes every call; the listener and the
// simulator's two threads run beside it.
#include "benchutil.h"

#include "fixtures.h"
#include "operations.h"
#include "rxsim.h"
#include "transaction.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace rxbench;

namespace {

// ToggleNMEA's fixed delays: 200 ms after the first listener starts, one
// poll for the change's reply, 100 ms after that listener stops, one poll
// for the save's reply.
const double kListenerStartMs = 200, kAfterStopMs = 100;
const double kFixedMs = kListenerStartMs + kPollPeriodMs + kAfterStopMs + kPollPeriodMs;

// The steps of one call, between its debug lines, with the fixed delay
// each holds.
struct Step {
    const char *name;
    double fixedMs;
};
const Step kSteps[] = {
    { "open, listener start, 200 ms, write", kListenerStartMs },
    { "wait, stop, 100 ms", kPollPeriodMs + kAfterStopMs },
    { "second listener start, write", 0 },
    { "wait", kPollPeriodMs },
    { "stop, close, store", 0 },
};
const int kStepCount = sizeof kSteps / sizeof kSteps[0];

// Marks of one call in its debug lines: the change's write line, its count
// line, the save's write line, its count line.
bool StepTimes(const std::vector<TimedLine> &lines, double from, double to, double *stepMs)
{
    double marks[kStepCount + 1];
    marks[0] = from;
    marks[kStepCount] = to;
    marks[1] = FirstLineAt(lines, "NMEA ", from);
    marks[2] = marks[1] < 0 ? -1 : FirstLineAt(lines, "Count = ", marks[1]);
    marks[3] = marks[2] < 0 ? -1 : FirstLineAt(lines, "UBXSaveMsgToBBR: Wrote", marks[2]);
    marks[4] = marks[3] < 0 ? -1 : FirstLineAt(lines, "Count = ", marks[3]);
    for (int i = 1; i < kStepCount; i++) {
        if (marks[i] < 0 || marks[i] > to)
            return false;
    }
    for (int i = 0; i < kStepCount; i++)
        stepMs[i] = marks[i + 1] - marks[i];
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    int calls = 20;
    DWORD latencyMs = 5, baud = 0, chatter = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--calls") == 0 && i + 1 < argc)
            calls = atoi(argv[++i]);
        else if (strcmp(argv[i], "--latency") == 0 && i + 1 < argc)
            latencyMs = (DWORD)atoi(argv[++i]);
        else if (strcmp(argv[i], "--baud") == 0 && i + 1 < argc)
            baud = (DWORD)atoi(argv[++i]);
        else if (strcmp(argv[i], "--chatter") == 0 && i + 1 < argc)
            chatter = (DWORD)atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: rxbench-toggle.exe [--calls N] [--latency MS] [--baud RATE --chatter BYTES_PER_S]\n");
            return 2;
        }
    }
    if (calls < 1)
        calls = 1;

    RecordSampleSettings();
    rxsim::Simulator sim;
    rxsim::Options options;
    options.latencyMs = latencyMs;
    options.baud = baud;
    options.chatterBytesPerSecond = chatter;
    if (baud != 0) {
        options.probeNearEnd = L"COM3:";
        bench::SetConfigGPS(baud == CBR_9600 ? 1 : 2);
    }
    if (!sim.Start(options))
        return 1;
    StartDebugTimeline();

    // One call first: the first debug line and the first thread of the
    // process cost more than the ones after.
    double warmStart = NowMs();
    ToggleNMEA(0, 0);
    double warmMs = NowMs() - warmStart;

    std::vector<double> opens, closes;
    for (int i = 0; i < calls; i++) {
        double t0 = NowMs();
        if (!OpenReceiverPort(&kSetupLinkRule, L"bench: CreateFile Failed %d\r\n")) {
            fprintf(stderr, "bench: the port does not open\n");
            return 1;
        }
        double t1 = NowMs();
        CloseReceiverPort();
        double t2 = NowMs();
        opens.push_back(t1 - t0);
        closes.push_back(t2 - t1);
    }

    ClearDebugTimeline();
    size_t framesBefore = sim.Frames().size();
    std::vector<double> totals;
    std::vector<std::vector<double>> steps(kStepCount);
    std::vector<std::pair<double, double>> spans;
    int failed = 0;
    for (int i = 0; i < calls; i++) {
        double t0 = NowMs();
        if (!ToggleNMEA(0, (DWORD)(i % 2 == 0)))
            failed++;
        double t1 = NowMs();
        totals.push_back(t1 - t0);
        spans.push_back({ t0, t1 });
    }
    std::vector<TimedLine> lines = DebugTimeline();
    for (const auto &span : spans) {
        double stepMs[kStepCount];
        if (StepTimes(lines, span.first, span.second, stepMs)) {
            for (int s = 0; s < kStepCount; s++)
                steps[s].push_back(stepMs[s]);
        }
    }
    std::vector<rxsim::ReceivedFrame> frames = sim.Frames();
    sim.Stop();
    bench::DeleteKestranaKeys();

    int acked = 0;
    for (size_t i = framesBefore; i < frames.size(); i++)
        acked += frames[i].answer == rxsim::Answer::Ack;

    Stats open = Summarise(opens), close = Summarise(closes), total = Summarise(totals);
    double floorMs = kFixedMs + open.median + close.median;
    std::string verdict = WithinVerdict(total.worst, floorMs, 0.10);
    if (verdict != "met" && WithinVerdict(total.median, floorMs, 0.10) == "met")
        verdict = "median met, worst MISSED";
    std::string line = baud == 0 ? std::string()
                                 : Format(", line %lu baud with %lu bytes/s of sentences", baud, chatter);
    Row(Format("3. ToggleNMEA, receiver answering after %lu ms%s (%d calls)", latencyMs, line.c_str(), calls),
        Format("median %.1f ms (+%.1f %%), worst %.1f ms (+%.1f %%)", total.median,
               (total.median / floorMs - 1) * 100, total.worst, (total.worst / floorMs - 1) * 100),
        Format("%.1f ms = 400 + open %.1f + close %.1f", floorMs, open.median, close.median),
        Format("within 10 %% (<= %.1f ms)", floorMs * 1.1), verdict);
    Detail("open alone: %s", Describe(open).c_str());
    Detail("close alone: %s", Describe(close).c_str());
    Detail("first call of the process (not counted): %.1f ms", warmMs);
    Detail("frames sent %u, acknowledged %d, calls that failed %d", (unsigned)(frames.size() - framesBefore),
           acked, failed);
    for (int s = 0; s < kStepCount; s++) {
        Stats step = Summarise(steps[s]);
        Detail("step \"%s\": fixed %.0f ms, median %.1f (+%.1f), worst %.1f (+%.1f)", kSteps[s].name,
               kSteps[s].fixedMs, step.median, step.median - kSteps[s].fixedMs, step.worst,
               step.worst - kSteps[s].fixedMs);
    }
    return failed == 0 && acked == 2 * calls ? 0 : 1;
}
