// bench_arm.cpp - rxbench-arm.exe: the instructions the shipped code itself
// executes on the emulated XScale (testbench/armbench), the modelled
// platform calls excluded, with each figure also as time at a PXA270's
// 312 MHz (one instruction a cycle: an estimate, the real core stalls on
// memory and branches).
//
//   rxbench-arm.exe [--core pxa270|armv4t] [--stream-seconds S]
//
// Figures (10.): the driver's whole boot pass against a receiver that
// answers (real time) and a silent one (virtual time), the largest run
// between two blocking calls in any of the runs, one ToggleNMEA of the
// setup program's image, and the listener's instructions per byte of NMEA
// text while the receiver streams at 38400 baud (3840 bytes a second): the
// driver's listener through a whole pass, the setup program's (which echoes
// every byte) through ToggleNMEA calls for S seconds (default 10). The
// receiver (the simulator library) runs in this process.
//
// Threads: the main thread drives the session; the simulator's threads run
// beside it.
#include "benchutil.h"

#include "armsession.h"
#include "fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace rxbench;

namespace {

const double kCoreHz = 312e6;        // PXA270
const double kLineBytesPerSecond = 3840;
const double kPassShareGoal = 0.0001;      // 0.01 % of a core over a pass
const double kListenerShareGoal = 0.001;   // 0.1 % of a core at full line rate
const double kLongestRunGoal = 10000;

struct Counts {
    bool ran = false;
    double instructions = 0, caller = 0, listener = 0, listenerBytes = 0, maxRun = 0, callMs = 0, wallMs = 0;
    std::string maxRunWhere;
};

double Number(std::map<std::string, std::string> &stats, const char *name)
{
    return atof(stats[name].c_str());
}

// Calls name(args) on a fresh session of the image and reads the counts.
Counts Run(const bench::ArmImage &image, const std::string &core, bool virtualTime, const std::string &name,
           const std::vector<bench::ArmArg> &args, int calls = 1)
{
    Counts counts;
    bench::ArmSession arm;
    bench::ArmOptions options;
    options.core = core;
    options.virtualTime = virtualTime;
    if (!arm.Start(image, options)) {
        Detail("the bench did not start: %s", arm.Problem().c_str());
        return counts;
    }
    arm.Reset();
    DWORD started = GetTickCount();
    for (int i = 0; i < calls; i++) {
        DWORD result = 0;
        if (!arm.Call(name, args, &result)) {
            Detail("%s: %s", name.c_str(), arm.Problem().c_str());
            return counts;
        }
    }
    counts.wallMs = GetTickCount() - started;
    std::map<std::string, std::string> stats = arm.Stats();
    counts.ran = true;
    counts.instructions = Number(stats, "instructions");
    counts.caller = Number(stats, "caller");
    counts.listener = Number(stats, "thread_instructions");
    counts.listenerBytes = Number(stats, "thread_bytes");
    counts.maxRun = Number(stats, "max_run");
    counts.maxRunWhere = stats["max_run_where"];
    counts.callMs = Number(stats, "call_ms");
    return counts;
}

std::string AtCore(double instructions)
{
    double us = instructions / kCoreHz * 1e6;
    return us < 1000 ? Format("%.1f us at 312 MHz", us) : Format("%.2f ms at 312 MHz", us / 1000);
}

std::string Share(double share)
{
    return Format("%.5f %% of a core", share * 100);
}

void PassRow(const char *figure, const Counts &counts, double passMs)
{
    if (!counts.ran) {
        Row(figure, "did not run", "-", "-", "MISSED");
        return;
    }
    double share = counts.instructions / (kCoreHz * passMs / 1000);
    Row(figure,
        Format("%.0f instructions (%s) over %.1f s = %s", counts.instructions, AtCore(counts.instructions).c_str(),
               passMs / 1000, Share(share).c_str()),
        "-", "under 0.01 % of a core", share < kPassShareGoal ? "met" : "MISSED");
    Detail("device manager's thread %.0f, listener threads %.0f; largest run %.0f (%s)", counts.caller,
           counts.listener, counts.maxRun, counts.maxRunWhere.c_str());
}

void ListenerRow(const char *figure, const Counts &counts)
{
    if (!counts.ran || counts.listenerBytes == 0) {
        Row(figure, counts.ran ? "no bytes read" : "did not run", "-", "-", "MISSED");
        return;
    }
    double perByte = counts.listener / counts.listenerBytes;
    double share = perByte * kLineBytesPerSecond / kCoreHz;
    Row(figure,
        Format("%.1f instructions a byte (%.0f for %.0f bytes) = %s at 3840 B/s", perByte, counts.listener,
               counts.listenerBytes, Share(share).c_str()),
        "-", "under 0.1 % of a core", share < kListenerShareGoal ? "met" : "MISSED");
    // The bench's listener takes one round trip through the model per byte
    // and may fall behind a full line: the calls then take longer, and the
    // listener reads what the line queued meanwhile.
    Detail("the listeners read %.0f bytes in %.1f s of calls", counts.listenerBytes, counts.wallMs / 1000);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string core = "pxa270";
    double streamSeconds = 10;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--core") == 0 && i + 1 < argc) {
            core = argv[++i];
        } else if (strcmp(argv[i], "--stream-seconds") == 0 && i + 1 < argc) {
            streamSeconds = atof(argv[++i]);
        } else {
            fprintf(stderr, "usage: rxbench-arm.exe [--core pxa270|armv4t] [--stream-seconds S]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    static const wchar_t key[] = L"Drivers\\Active\\42";
    const bench::ArmArg activeKey(std::vector<uint8_t>((const uint8_t *)key, (const uint8_t *)key + sizeof(key)));
    double longest = 0;
    std::string longestWhere;
    auto note = [&](const char *what, const Counts &counts) {
        if (counts.ran && counts.maxRun > longest) {
            longest = counts.maxRun;
            longestWhere = std::string(what) + ", " + counts.maxRunWhere;
        }
    };

    RecordSampleSettings();
    bench::SetAllSettings(1);
    rxsim::Simulator sim;
    rxsim::Options answering;
    answering.latencyMs = 5;
    sim.Start(answering);
    Counts pass = Run(bench::HandheldDriver(), core, false, "RXB_Init", { activeKey, 0 });
    sim.Stop();
    PassRow("10. Boot pass on the emulated core, receiver answering after 5 ms", pass, pass.callMs);
    note("answering pass", pass);

    rxsim::Options silent;
    silent.reply = rxsim::Reply::Silent;
    sim.Start(silent);
    Counts quiet = Run(bench::HandheldDriver(), core, true, "RXB_Init", { activeKey, 0 });
    sim.Stop();
    PassRow("10. Boot pass on the emulated core, silent receiver (virtual time)", quiet, quiet.callMs);
    note("silent pass", quiet);

    sim.Start(answering);
    Counts toggle = Run(bench::HandheldProgram(), core, false, "ToggleNMEA", { 0, 1 });
    sim.Stop();
    if (toggle.ran)
        Row("10. One ToggleNMEA on the emulated core, receiver answering after 5 ms",
            Format("%.0f instructions (%s)", toggle.instructions, AtCore(toggle.instructions).c_str()), "-",
            "-", "-");
    else
        Row("10. One ToggleNMEA on the emulated core", "did not run", "-", "-", "MISSED");
    note("ToggleNMEA", toggle);

    rxsim::Options streaming = answering;
    streaming.chatterBytesPerSecond = (DWORD)kLineBytesPerSecond;
    sim.Start(streaming);
    Counts driverStream = Run(bench::HandheldDriver(), core, false, "RXB_Init", { activeKey, 0 });
    sim.Stop();
    ListenerRow("10. The driver's listener per byte of NMEA at 38400 baud (a whole pass)", driverStream);
    note("pass under NMEA", driverStream);

    int calls = (int)(streamSeconds * 1000 / 420) + 1;   // a ToggleNMEA takes about 410 ms
    sim.Start(streaming);
    Counts setupStream = Run(bench::HandheldProgram(), core, false, "ToggleNMEA", { 0, 1 }, calls);
    sim.Stop();
    ListenerRow("10. The setup program's listener per byte of NMEA at 38400 baud (echoed)", setupStream);
    Detail("%d ToggleNMEA calls", calls);
    note("ToggleNMEA under NMEA", setupStream);

    Row("10. Largest run between two blocking calls, any run above", Format("%.0f instructions (%s)", longest,
                                                                             AtCore(longest).c_str()),
        "-", "at most 10,000 instructions", longest > 0 && longest <= kLongestRunGoal ? "met" : "MISSED");
    Detail("in the %s", longestWhere.c_str());
    bench::DeleteKestranaKeys();
    return 0;
}
