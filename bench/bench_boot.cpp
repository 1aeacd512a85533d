// bench_boot.cpp - rxbench-boot.exe: the boot pass against the simulated
// receiver, timed against the floor its fixed delays set.
//
//   rxbench-boot.exe --reply ack|silent [--latency MS] [--via devmgr]
//                    [--hang-up-after N]
//
// The receiver runs as rxsim.exe, a process of its own, so that this
// process does nothing during the pass but run the driver: the CPU time it
// reports is the driver's. By default this process loads rxboot.dll and
// calls RXB_Init itself, as the device manager does, timing it with the
// performance counter and reading its own GetProcessTimes before and after.
// --via devmgr instead registers the driver as the integrator does and runs
// devmgr.exe, reading the CPU time of that whole process once it has ended.
// --hang-up-after N hangs the cable up once the receiver has answered N
// frames (its far end goes, as a line that drops) and reads the CPU time
// the driver's process spends from then to the end of the pass.
//
// Threads: the main thread does everything; during RXB_Init the driver's
// listener thread is the only other thread of ours that works, apart from
// the hang-up thread, which waits for the receiver's lines in 20 ms sleeps
// and ends at the hang-up.
#include "benchutil.h"

#include "fixtures.h"
#include "runcapture.h"
#include "transaction.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace rxbench;

namespace {

// The pass's own fixed delays: 500 ms once the port is configured, then per
// frame the wait (polls of kPollPeriodMs, at most 100) and 500 ms after its
// count line.
const int kFrames = 13;
const double kSettleMs = 500;
const int kBootPollLimit = 100;

typedef DWORD (*InitFn)(LPCWSTR, LPCVOID);

struct Options {
    bool silent = false;
    DWORD latencyMs = 5;
    bool viaDevmgr = false;
    int hangUpAfter = -1;   // frames answered before the cable hangs up; -1 = never
};

bool ParseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--reply") == 0 && i + 1 < argc) {
            const char *mode = argv[++i];
            if (strcmp(mode, "silent") != 0 && strcmp(mode, "ack") != 0)
                return false;
            options->silent = strcmp(mode, "silent") == 0;
        } else if (strcmp(argv[i], "--latency") == 0 && i + 1 < argc) {
            options->latencyMs = (DWORD)atoi(argv[++i]);
        } else if (strcmp(argv[i], "--hang-up-after") == 0 && i + 1 < argc) {
            options->hangUpAfter = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--via") == 0 && i + 1 < argc && strcmp(argv[i + 1], "devmgr") == 0) {
            options->viaDevmgr = true;
            i++;
        } else {
            return false;
        }
    }
    return true;
}

struct PassResult {
    bool ran = false;
    DWORD deviceContext = 0;
    double wallMs = 0, cpuMs = 0;
    std::vector<TimedLine> lines;   // empty when the pass ran in another process
    // From the hang-up to the end of the pass (--hang-up-after).
    bool hungUp = false;
    double hungUpWallMs = 0, hungUpCpuMs = 0;
};

// Counts the receiver's frame lines ("... -> ACK") until there are `frames`,
// then hangs the cable up; *atMs and *cpuMs say when, and at what CPU time.
void HangUpAfter(const SimProcess *sim, int frames, const std::atomic<bool> *passDone, std::atomic<bool> *done,
                 double *atMs, double *cpuMs)
{
    while (!*passDone) {
        std::string output = SimOutput(*sim);
        int answered = 0;
        for (size_t at = output.find("-> "); at != std::string::npos; at = output.find("-> ", at + 3))
            answered++;
        if (answered >= frames) {
            *done = bench::HangUpCable();
            *atMs = NowMs();
            *cpuMs = ProcessCpuMs(GetCurrentProcess());
            if (!*done)
                fprintf(stderr, "bench: the cable did not hang up\n");
            return;
        }
        Sleep(20);
    }
}

PassResult RunInProcess(const SimProcess &sim, int hangUpAfter)
{
    PassResult result;
    HMODULE driver = LoadLibraryW(L"rxboot.dll");
    InitFn init = driver ? reinterpret_cast<InitFn>(reinterpret_cast<void (*)()>(GetProcAddress(driver, "RXB_Init")))
                         : nullptr;
    if (init == nullptr) {
        fprintf(stderr, "bench: cannot load rxboot.dll's RXB_Init (error %lu)\n", GetLastError());
        return result;
    }
    StartDebugTimeline();
    std::atomic<bool> passDone{ false }, hungUp{ false };
    double hungUpAtMs = 0, hungUpCpuMs = 0;
    std::thread hangUp;
    if (hangUpAfter >= 0)
        hangUp = std::thread(HangUpAfter, &sim, hangUpAfter, &passDone, &hungUp, &hungUpAtMs, &hungUpCpuMs);
    double cpuBefore = ProcessCpuMs(GetCurrentProcess());
    double started = NowMs();
    result.deviceContext = init(L"Drivers\\Active\\99", nullptr);
    double ended = NowMs();
    double cpuAfter = ProcessCpuMs(GetCurrentProcess());
    result.wallMs = ended - started;
    result.cpuMs = cpuAfter - cpuBefore;
    passDone = true;
    if (hangUp.joinable())
        hangUp.join();
    if (hungUp) {
        result.hungUp = true;
        result.hungUpWallMs = ended - hungUpAtMs;
        result.hungUpCpuMs = cpuAfter - hungUpCpuMs;
    }
    result.lines = DebugTimeline();
    result.ran = true;
    FreeLibrary(driver);
    return result;
}

PassResult RunInDevmgr()
{
    PassResult result;
    if (!bench::ImportDriverRegistration())
        fprintf(stderr, "bench: platform/rxboot.reg was not imported\n");
    ProgramRun run = RunProgram(L"devmgr.exe", L"--key Drivers\\BuiltIn\\RXBoot", 200000, "calling RXB_Init");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Drivers\\BuiltIn\\RXBoot");
    if (!run.ended) {
        fprintf(stderr, "bench: devmgr.exe did not run to its end\n%s\n", run.output.c_str());
        return result;
    }
    // devmgr.exe says how long RXB_Init took (GetTickCount) and what it returned.
    for (const std::string &line : bench::OutputLines(run.output)) {
        unsigned long context = 0, ms = 0;
        const char *at = strstr(line.c_str(), "RXB_Init returned 0x");
        if (at != nullptr && sscanf(at, "RXB_Init returned 0x%lx after %lu ms", &context, &ms) == 2) {
            result.deviceContext = (DWORD)context;
            result.wallMs = (double)ms;
            result.ran = true;
        }
    }
    // CPU from the reading just after RXB_Init was called to the last one
    // before the program ended (readings 100 ms apart).
    result.cpuMs = run.cpuLastMs - run.cpuAtMarkMs;
    Detail("devmgr.exe ran %.0f ms in all; CPU %.0f ms at its RXB_Init line (%.0f ms after start), %.0f ms at "
           "the last reading (%.0f ms), %.0f ms read after its end",
           run.wallMs, run.cpuAtMarkMs, run.markAtMs, run.cpuLastMs, run.lastAtMs, run.cpuAfterEndMs);
    if (!result.ran)
        fprintf(stderr, "bench: no RXB_Init line from devmgr.exe:\n%s\n", run.output.c_str());
    return result;
}

// Where the time of an in-process pass went, from its time-stamped lines:
// each wait (write line to count line) against its polls, each gap (count
// line to the next frame's write line) against the settle delay.
void ExplainPass(const PassResult &pass)
{
    const std::vector<TimedLine> &lines = pass.lines;
    if (lines.empty())
        return;
    double entered = lines.front().atMs, wrote = -1, counted = -1;
    double openExcess = -1, waitExcess = 0, gapExcess = 0;
    double worstWaitExcess = 0, worstGapExcess = 0;
    int frames = 0, totalPolls = 0, maxPolls = 0;
    for (const TimedLine &line : lines) {
        const std::string &text = line.text;
        if (text.find("Wrote") != std::string::npos) {
            if (openExcess < 0)
                openExcess = line.atMs - entered - kSettleMs;
            else if (counted >= 0) {
                gapExcess += line.atMs - counted - kSettleMs;
                worstGapExcess = std::max(worstGapExcess, line.atMs - counted - kSettleMs);
            }
            wrote = line.atMs;
        } else if (text.find("Count = ") != std::string::npos && wrote >= 0) {
            int polls = atoi(text.c_str() + text.find("Count = ") + 8);
            double excess = line.atMs - wrote - polls * (double)kPollPeriodMs;
            waitExcess += excess;
            worstWaitExcess = std::max(worstWaitExcess, excess);
            totalPolls += polls;
            maxPolls = std::max(maxPolls, polls);
            frames++;
            counted = line.atMs;
        }
    }
    double closed = FirstLineAt(lines, "Closed Port!", 0);
    double exiting = FirstLineAt(lines, "####       RXB_Init exiting", 0);
    Detail("frames %d, polls %d in all (at most %d for one frame)", frames, totalPolls, maxPolls);
    Detail("beyond the fixed delays: entry to first write %.1f ms (registry, open, settle), waits %.1f ms "
           "(worst frame %.1f), gaps between frames %.1f ms (worst %.1f), last count to close %.1f ms, "
           "close to exit %.1f ms",
           openExcess, waitExcess, worstWaitExcess, gapExcess, worstGapExcess,
           closed >= 0 && counted >= 0 ? closed - counted - kSettleMs : -1,
           exiting >= 0 && closed >= 0 ? exiting - closed : -1);
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr, "usage: rxbench-boot.exe --reply ack|silent [--latency MS] [--via devmgr] "
                        "[--hang-up-after N]\n");
        return 2;
    }
    RecordSampleSettings();
    SimProcess sim;
    std::wstring simArguments = options.silent ? L"--port COM4: --reply silent"
                                               : L"--port COM4: --reply ack --latency " +
                                                     std::to_wstring(options.latencyMs);
    if (!StartSimProcess(simArguments, &sim))
        return 1;

    PassResult pass = options.viaDevmgr ? RunInDevmgr() : RunInProcess(sim, options.hangUpAfter);
    std::vector<std::string> simLines = StopSimProcess(&sim);
    bench::DeleteKestranaKeys();
    if (!pass.ran)
        return 1;

    int answered = 0, unanswered = 0;
    for (const std::string &line : simLines) {
        answered += line.find("-> ACK") != std::string::npos;
        unanswered += line.find("-> (silent)") != std::string::npos;
    }
    if (options.hangUpAfter >= 0) {
        // The frames before the hang-up answered at once, every later one
        // waited out its 100 polls.
        int answeredFrames = std::min(options.hangUpAfter, kFrames);
        double floorMs = kSettleMs + answeredFrames * (kPollPeriodMs + kSettleMs) +
                         (kFrames - answeredFrames) * (kBootPollLimit * kPollPeriodMs + kSettleMs);
        Row(Format("8. Boot pass, cable hung up after %d frames (in-process)", answeredFrames),
            Format("%.0f ms (+%.2f %%)", pass.wallMs, (pass.wallMs / floorMs - 1) * 100), Format("%.0f ms", floorMs),
            Format("within 1 %% (<= %.0f ms)", floorMs * 1.01), WithinVerdict(pass.wallMs, floorMs, 0.01));
        double hungShare = pass.hungUp ? pass.hungUpCpuMs / pass.hungUpWallMs * 100 : -1;
        Row("8. CPU of the driver's process while the line is hung up",
            pass.hungUp ? Format("%.0f ms in %.0f ms = %.3f %% of wall", pass.hungUpCpuMs, pass.hungUpWallMs, hungShare)
                        : std::string("the cable did not hang up"),
            "0", "under 1 % of wall", pass.hungUp && hungShare < 1.0 ? "met" : "MISSED");
        Detail("whole pass: CPU %.0f ms = %.3f %% of wall; RXB_Init returned 0x%08lX; the receiver answered %d frames",
               pass.cpuMs, pass.cpuMs / pass.wallMs * 100, pass.deviceContext, answered);
        ExplainPass(pass);
        return pass.deviceContext != 0 && pass.hungUp ? 0 : 1;
    }
    double pollsPerFrame = options.silent ? kBootPollLimit : 1;
    double floorMs = kSettleMs + kFrames * (pollsPerFrame * kPollPeriodMs + kSettleMs);
    double share = options.silent ? 0.01 : 0.03;
    double cpuShare = pass.cpuMs / pass.wallMs * 100;
    const char *where = options.viaDevmgr ? "devmgr.exe" : "in-process";

    std::string figure = options.silent ? Format("2. Boot pass, silent receiver (%s)", where)
                                        : Format("1. Boot pass, receiver answering after %lu ms (%s)",
                                                 options.latencyMs, where);
    Row(figure, Format("%.0f ms (+%.2f %%)", pass.wallMs, (pass.wallMs / floorMs - 1) * 100),
        Format("%.0f ms", floorMs), Format("within %.0f %% (<= %.0f ms)", share * 100, floorMs * (1 + share)),
        WithinVerdict(pass.wallMs, floorMs, share));
    std::string cpuFigure = options.viaDevmgr ? "2. CPU of devmgr.exe (whole process, start-up included)"
                                              : "2. CPU of the driver's process during the pass";
    if (options.silent)
        Row(cpuFigure, Format("%.0f ms = %.3f %% of wall", pass.cpuMs, cpuShare), "0",
            "under 1 % of wall", cpuShare < 1.0 ? "met" : "MISSED");
    else
        Detail("CPU of the driver's process during the pass: %.0f ms = %.3f %% of wall", pass.cpuMs, cpuShare);
    Detail("RXB_Init returned 0x%08lX; the receiver answered %d frames, left %d unanswered", pass.deviceContext,
           answered, unanswered);
    ExplainPass(pass);
    return pass.deviceContext != 0 && answered + unanswered == kFrames ? 0 : 1;
}
