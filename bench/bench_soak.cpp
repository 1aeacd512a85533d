// bench_soak.cpp - rxbench-soak.exe: many ToggleNMEA calls in one process,
// with its handles, threads and private memory read before and after.
//
//   rxbench-soak.exe [--calls N] [--warmup W] [--every K]
//
// The receiver runs as rxsim.exe, a process of its own, so that nothing in
// this process grows but what the setup program's code keeps: the
// simulator's records of every frame would otherwise fill this heap. After
// W calls (default 5: the first debug line, the first thread and the first
// registry write each leave something for good), the counts are read, N
// more calls made (default 1000, about 0.41 s each, with the program's own
// delays) and the counts read again; a line every K calls shows the trend.
// Handles are counted value by value with GetHandleInformation (Wine has no
// GetProcessHandleCount); memory three ways: the busy blocks of every heap
// (HeapWalk, to the byte), the committed private regions VirtualQuery walks,
// and what GetProcessMemoryInfo reports (Wine 8 leaves PrivateUsage at 0
// and gives the Unix process's anonymous resident memory as PagefileUsage,
// which also counts pages touched for the first time).
//
// Threads: the main thread makes every call and every reading; only the
// listener threads of the calls run beside it.
#include "benchutil.h"

#include "fixtures.h"
#include "operations.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace rxbench;

namespace {

std::string Kb(SIZE_T bytes)
{
    return Format("%.0f KB", (double)bytes / 1024);
}

std::string Growth(double before, double after, const char *unit)
{
    return Format("%+.0f%s", after - before, unit);
}

void Trend(int calls, const Health &health, const std::vector<double> &times)
{
    std::string timing;
    if (!times.empty())
        timing = Format("; calls since the last line: median %.1f ms, worst %.1f ms", Summarise(times).median,
                        Summarise(times).worst);
    Detail("after %5d calls: %3lu handles, %2d threads, heaps %lu bytes in %lu blocks, committed private %s, "
           "PrivateUsage %s, PagefileUsage %s, WorkingSetSize %s%s",
           calls, health.handles, health.threads, (unsigned long)health.heapBytes, (unsigned long)health.heapBlocks,
           Kb(health.committedPrivate).c_str(), Kb(health.privateUsage).c_str(), Kb(health.pagefileUsage).c_str(),
           Kb(health.workingSet).c_str(), timing.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    int calls = 1000, warmup = 5, every = 100;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--calls") == 0 && i + 1 < argc)
            calls = std::max(1, atoi(argv[++i]));
        else if (strcmp(argv[i], "--warmup") == 0 && i + 1 < argc)
            warmup = std::max(0, atoi(argv[++i]));
        else if (strcmp(argv[i], "--every") == 0 && i + 1 < argc)
            every = std::max(1, atoi(argv[++i]));
        else {
            fprintf(stderr, "usage: rxbench-soak.exe [--calls N] [--warmup W] [--every K]\n");
            return 2;
        }
    }

    RecordSampleSettings();
    SimProcess sim;
    if (!StartSimProcess(L"--port COM4: --reply ack --latency 5", &sim))
        return 1;

    int failed = 0;
    double warmFrom = NowMs();
    for (int i = 0; i < warmup; i++)
        failed += !ToggleNMEA(0, (DWORD)(i % 2));
    // Everything the benchmark itself allocates for good comes before the
    // first reading: its lists of times, the output buffer of stdout (first
    // printf), the number formatter's cache (first %f), whatever the first
    // reading allocates.
    std::vector<double> block, all;
    block.reserve(every);
    all.reserve(calls);
    Detail("%d calls to warm up done in %.1f ms", warmup, NowMs() - warmFrom);
    ReadHealth();
    Health before = ReadHealth();
    Trend(0, before, {});

    double started = NowMs();
    for (int i = 1; i <= calls; i++) {
        double t0 = NowMs();
        failed += !ToggleNMEA(0, (DWORD)(i % 2));
        double ms = NowMs() - t0;
        block.push_back(ms);
        all.push_back(ms);
        if (i % every == 0 || i == calls) {
            Trend(i, ReadHealth(), block);
            block.clear();
        }
    }
    double elapsed = NowMs() - started;
    Health after = ReadHealth();
    std::vector<std::string> simLines = StopSimProcess(&sim);
    bench::DeleteKestranaKeys();

    int acked = 0;
    for (const std::string &line : simLines)
        acked += line.find("-> ACK") != std::string::npos;
    int expected = 2 * (calls + warmup);

    std::string label = Format("6. Soak, %d ToggleNMEA calls in one process: ", calls);
    Row(label + "handles", Format("%lu -> %lu (%s)", before.handles, after.handles,
                                  Growth(before.handles, after.handles, "").c_str()),
        "-", "zero growth", after.handles <= before.handles ? "met" : "MISSED");
    Row(label + "threads", Format("%d -> %d (%s)", before.threads, after.threads,
                                  Growth(before.threads, after.threads, "").c_str()),
        "-", "zero growth", after.threads <= before.threads ? "met" : "MISSED");
    Row(label + "heap in use (HeapWalk, every heap)",
        Format("%lu -> %lu bytes (%s), %lu -> %lu blocks", (unsigned long)before.heapBytes,
               (unsigned long)after.heapBytes, Growth(before.heapBytes, after.heapBytes, " bytes").c_str(),
               (unsigned long)before.heapBlocks, (unsigned long)after.heapBlocks),
        "-", "zero growth", after.heapBytes <= before.heapBytes ? "met" : "MISSED");
    Row(label + "private bytes (committed)",
        Format("%s -> %s (%s)", Kb(before.committedPrivate).c_str(), Kb(after.committedPrivate).c_str(),
               Growth(before.committedPrivate / 1024.0, after.committedPrivate / 1024.0, " KB").c_str()),
        "-", "zero growth", after.committedPrivate <= before.committedPrivate ? "met" : "MISSED");
    // Wine 8 leaves PrivateUsage at 0 and reports the Unix process's
    // anonymous resident memory as PagefileUsage: the nearest reading the
    // platform offers, though pages touched for the first time count too
    // (PrivateUsage is shown in the trend lines).
    Row(label + "resident anonymous memory (PagefileUsage)",
        Format("%s -> %s (%s)", Kb(before.pagefileUsage).c_str(), Kb(after.pagefileUsage).c_str(),
               Growth(before.pagefileUsage / 1024.0, after.pagefileUsage / 1024.0, " KB").c_str()),
        "-", "zero growth", after.pagefileUsage <= before.pagefileUsage ? "met" : "MISSED");
    Detail("%d calls in %.0f s: %s; %d failed; the receiver acknowledged %d of %d frames", calls, elapsed / 1000,
           Describe(Summarise(all)).c_str(), failed, acked, expected);
    return failed == 0 && acked == expected ? 0 : 1;
}
