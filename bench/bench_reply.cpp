// bench_reply.cpp - rxbench-reply.exe: how long after the receiver's ACK
// leaves the far end WaitForReply returns.
//
//   rxbench-reply.exe [--frames N]
//
// The simulator runs in this process in its silent mode, so it never
// answers on its own; for each frame a helper thread sends the ACK itself
// (Simulator::Send) at a random moment 0..99 ms after the wait began, so the
// ACK lands anywhere in the 50 ms poll period. Both ends read the same
// performance counter. The listener's "ACK of" debug line, time-stamped,
// splits the delay into the line and the listener (ACK sent -> listener has
// the frame) and the poll (listener has it -> WaitForReply returns).
//
// Threads: the main thread runs the transaction (boot driver's link rule),
// the sender thread sends ACKs when the main thread asks; they meet through
// two events. The listener and the simulator's threads run beside them.
#include "benchutil.h"

#include "fixtures.h"
#include "rxsim.h"
#include "transaction.h"
#include "ubxcatalog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace rxbench;

namespace {

const int kWaitPollLimit = 100;
const double kGoalMs = kPollPeriodMs + 5;

}  // namespace

int main(int argc, char **argv)
{
    int frames = 200;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--frames") == 0 && i + 1 < argc)
            frames = std::max(1, atoi(argv[++i]));
        else {
            fprintf(stderr, "usage: rxbench-reply.exe [--frames N]\n");
            return 2;
        }
    }

    RecordSampleSettings();
    rxsim::Simulator sim;
    rxsim::Options options;
    options.reply = rxsim::Reply::Silent;
    if (!sim.Start(options))
        return 1;
    StartDebugTimeline();
    if (!OpenReceiverPort(&kBootLinkRule, L"bench: CreateFile Failed %d\r\n")) {
        fprintf(stderr, "bench: the port does not open\n");
        return 1;
    }

    AckSender sender(&sim);

    std::vector<double> total, line, poll;
    int missed = 0;
    unsigned seed = 12345;
    for (int i = 0; i < frames; i++) {
        DWORD written = 0;
        StartReplyListener();
        WriteReceiverFrame(NmeaFrame(i % kSentenceCount, true), &written);
        sender.Fire(NextDelayMs(&seed));
        int polls = WaitForReply(kWaitPollLimit);
        double returnedAt = NowMs();
        double sentAt = sender.WaitSent();
        StopReplyListener();
        if (polls >= kWaitPollLimit) {
            missed++;
            continue;
        }
        total.push_back(returnedAt - sentAt);
        double found = FirstLineAt(DebugTimeline(), "     ACK of", sentAt);
        if (found >= 0) {
            line.push_back(found - sentAt);
            poll.push_back(returnedAt - found);
        }
        ClearDebugTimeline();
    }
    CloseReceiverPort();
    sim.Stop();
    bench::DeleteKestranaKeys();

    Stats all = Summarise(total);
    std::string verdict = missed == 0 && all.worst <= kGoalMs ? "met" : "MISSED";
    Row(Format("4. Reply detection, ACK sent -> WaitForReply returns (%d frames)", frames),
        Format("median %.1f ms, worst %.1f ms%s", all.median, all.worst,
               missed ? Format(", %d never seen", missed).c_str() : ""),
        Format("0..%d ms (the poll period)", (int)kPollPeriodMs), Format("worst <= %.0f ms", kGoalMs), verdict);
    Detail("ACK sent -> WaitForReply returns: %s", Describe(all).c_str());
    Detail("ACK sent -> listener has the frame: %s", Describe(Summarise(line)).c_str());
    Detail("listener has the frame -> WaitForReply returns: %s", Describe(Summarise(poll)).c_str());
    return missed == 0 ? 0 : 1;
}
