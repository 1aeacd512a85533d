// benchutil.h - what every benchmark program shares: clocks, statistics,
// process health, the result rows bench.sh gathers into its table, the
// simulated receiver in a process of its own, and a time-stamped view of
// the debug output of the benchmark's own process.
//
// Threads: the clocks, statistics and process readings are plain functions
// of their arguments. The debug timeline is written by whatever thread
// calls OutputDebugString (a vectored exception handler, under a lock) and
// read by the benchmark's main thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "rxsim.h"

namespace rxbench {

// ---- clocks ----

// Milliseconds from QueryPerformanceCounter (any thread, same origin).
double NowMs();
// User plus kernel time of a process so far, in ms.
double ProcessCpuMs(HANDLE process);

// ---- statistics ----

struct Stats {
    size_t count = 0;
    double best = 0, median = 0, p90 = 0, worst = 0, mean = 0;
};
Stats Summarise(std::vector<double> values);
// "median 412.3, worst 419.8 (n=20)"
std::string Describe(const Stats &stats, const char *unit = "ms");

// ---- process health ----

struct Health {
    int threads = 0;
    DWORD handles = 0;
    SIZE_T privateUsage = 0;       // PROCESS_MEMORY_COUNTERS_EX.PrivateUsage
    SIZE_T pagefileUsage = 0;      // ... .PagefileUsage
    SIZE_T workingSet = 0;         // ... .WorkingSetSize
    SIZE_T committedPrivate = 0;   // committed MEM_PRIVATE regions (VirtualQuery)
    SIZE_T heapBytes = 0;          // bytes of busy blocks in every heap of the process (HeapWalk)
    SIZE_T heapBlocks = 0;
};
Health ReadHealth();

// ---- output ----

// One row of the table bench.sh prints: "ROW|figure|measured|floor|goal|verdict".
void Row(const std::string &figure, const std::string &measured, const std::string &floor,
         const std::string &goal, const std::string &verdict);
// A line of detail under the figures: "  text".
void Detail(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "met", or "MISSED" when value lies outside floor .. floor * (1 + share).
std::string WithinVerdict(double value, double floor, double share);

// ---- the test machine's registry ----

// HKLM\Kestrana with ConfigGPS 2 (38400 baud) and the sample selection of
// scripts/demo-settings.reg under \Kestrana\GPS.
void RecordSampleSettings();

// ---- other programs ----

// A program of the bin folder run to its end with its output in a file.
// Its CPU time is read every 100 ms while it runs (Wine reads another
// process's times from the live Unix process, so a reading after the end is
// not to be trusted).
struct ProgramRun {
    bool ended = false;       // false: it could not start, or was killed after the time-out
    DWORD exitCode = 0;
    double wallMs = 0;
    double cpuAtMarkMs = -1;  // at the first reading after the mark appeared in its output
    double markAtMs = -1;     // wall time of that reading, from the start
    double cpuLastMs = -1;    // at the last reading while it still ran
    double lastAtMs = -1;
    double cpuAfterEndMs = -1;  // read once it had ended, for comparison
    std::string output;       // standard output and error
};
ProgramRun RunProgram(const std::wstring &program, const std::wstring &arguments, DWORD timeoutMs,
                      const char *mark = nullptr);

// ---- the receiver simulator as a program (rxsim.exe on "COM4:") ----

struct SimProcess {
    HANDLE process = nullptr;
    HANDLE input = nullptr;   // its stdin: closing it ends the simulator
    std::wstring logPath;     // its stdout and stderr
};
// Starts rxsim.exe with these arguments and waits until its port is open.
bool StartSimProcess(const std::wstring &arguments, SimProcess *sim);
// Ends it (stdin closed; killed if it does not go within 5 s) and returns
// the lines it printed.
std::vector<std::string> StopSimProcess(SimProcess *sim);
// What it has printed so far.
std::string SimOutput(const SimProcess &sim);
// A file's whole content, read while its writer may still have it open;
// empty when it cannot be opened.
std::string ReadWholeFile(const std::wstring &path);

// ---- debug output of this process ----

// Counts every OutputDebugString call of this process; one-character calls
// (the listener's echo of the receiver's text) are only counted, the others
// are kept with the time they were made.
struct TimedLine {
    double atMs;
    std::string text;
};
void StartDebugTimeline();
void ClearDebugTimeline();
std::vector<TimedLine> DebugTimeline();
uint64_t EchoedBytes();
// Time of the first kept line at or after fromMs that starts with prefix;
// negative when there is none.
double FirstLineAt(const std::vector<TimedLine> &lines, const char *prefix, double fromMs);

// ---- a reply at a chosen moment ----

// Sends the receiver's ACK-ACK for CFG-MSG from a thread of its own,
// delayMs after each Fire(), so that the ACK lands anywhere in a poll period
// while the caller waits for it. beforeSend runs on that thread just before
// each ACK (e.g. to mark the debug output).
class AckSender {
public:
    explicit AckSender(rxsim::Simulator *sim, std::function<void()> beforeSend = nullptr);
    ~AckSender();
    void Fire(DWORD delayMs);
    // Waits until the ACK of the last Fire() went out; returns when it did.
    double WaitSent();

private:
    void Run();

    rxsim::Simulator *sim_;
    std::function<void()> beforeSend_;
    HANDLE go_, done_;
    DWORD delayMs_ = 0;
    bool quit_ = false;
    double sentAtMs_ = 0;
    std::thread thread_;
};

// The next delay of a reproducible sequence, 0..99 ms.
DWORD NextDelayMs(unsigned *seed);

}  // namespace rxbench
