// benchutil.cpp - clocks, statistics, health readings, result rows, the
// simulator process and the debug timeline shared by the benchmarks.
//
// Threads: g_timeline and its lock are written by any thread that makes an
// OutputDebugString call (through the vectored handler) and read by the
// main thread; g_echoed is an atomic counter. Everything else runs on the
// caller's thread.
#include "benchutil.h"

#include "fixtures.h"
#include "runcapture.h"

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace rxbench {

// ---- clocks ----

double NowMs()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

double ProcessCpuMs(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return -1;
    ULONGLONG ticks = ((ULONGLONG)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime) +
                      ((ULONGLONG)user.dwHighDateTime << 32 | user.dwLowDateTime);
    return (double)ticks / 10000.0;
}

// ---- statistics ----

Stats Summarise(std::vector<double> values)
{
    Stats stats;
    stats.count = values.size();
    if (values.empty())
        return stats;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    stats.best = values.front();
    stats.worst = values.back();
    stats.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    stats.p90 = values[std::min(n - 1, (size_t)std::ceil(0.9 * (double)n) - 1)];
    double sum = 0;
    for (double v : values)
        sum += v;
    stats.mean = sum / (double)n;
    return stats;
}

std::string Describe(const Stats &stats, const char *unit)
{
    return Format("median %.1f %s, 90%% %.1f, worst %.1f, best %.1f (n=%u)", stats.median, unit, stats.p90,
                  stats.worst, stats.best, (unsigned)stats.count);
}

// ---- process health ----

static SIZE_T CommittedPrivateBytes()
{
    SIZE_T total = 0;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    BYTE *address = (BYTE *)system.lpMinimumApplicationAddress;
    MEMORY_BASIC_INFORMATION region;
    while (address < (BYTE *)system.lpMaximumApplicationAddress &&
           VirtualQuery(address, &region, sizeof region) == sizeof region) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
        address = (BYTE *)region.BaseAddress + region.RegionSize;
    }
    return total;
}

// Busy blocks of every heap: what the process has allocated and not freed,
// to the byte. Call it while no other thread allocates.
static void HeapInUse(SIZE_T *bytes, SIZE_T *blocks)
{
    HANDLE heaps[64];
    DWORD count = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < count && i < 64; i++) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                *bytes += entry.cbData;
                ++*blocks;
            }
        }
        HeapUnlock(heaps[i]);
    }
}

Health ReadHealth()
{
    Health health;
    health.threads = bench::ThreadCount();
    health.handles = bench::HandleCount();
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS *)&counters, sizeof counters)) {
        health.privateUsage = counters.PrivateUsage;
        health.pagefileUsage = counters.PagefileUsage;
        health.workingSet = counters.WorkingSetSize;
    }
    health.committedPrivate = CommittedPrivateBytes();
    HeapInUse(&health.heapBytes, &health.heapBlocks);
    return health;
}

// ---- output ----

std::string Format(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void Row(const std::string &figure, const std::string &measured, const std::string &floor,
         const std::string &goal, const std::string &verdict)
{
    printf("ROW|%s|%s|%s|%s|%s\n", figure.c_str(), measured.c_str(), floor.c_str(), goal.c_str(), verdict.c_str());
    fflush(stdout);
}

void Detail(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printf("  %s\n", text);
    fflush(stdout);
}

std::string WithinVerdict(double value, double floor, double share)
{
    if (value < floor)
        return "MISSED (below its floor)";
    return value <= floor * (1 + share) ? "met" : "MISSED";
}

// ---- registry ----

void RecordSampleSettings()
{
    static const DWORD kSample[13] = { 1, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 1, 1 };
    bench::CreateKestranaKeys();
    bench::SetConfigGPS(2);
    for (int i = 0; i < 13; i++)
        bench::SetSetting(bench::kSettingNames[i], kSample[i]);
}

// ---- other programs and the simulator ----

std::string ReadWholeFile(const std::wstring &path)
{
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buffer[4096];
    DWORD got;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    return text;
}

// A log file in this run's folder (or the temporary folder).
static std::wstring NewLogPath(const wchar_t *stem)
{
    static int serial = 0;
    std::wstring folder = bench::RunDir();
    if (folder.empty()) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = temp;
    }
    return folder + L"\\" + stem + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++serial) + L".log";
}

// Starts program (from the bin folder) with its output in logPath and, when
// input is not null, its stdin on a pipe whose write end lands in *input.
static HANDLE StartProgram(const std::wstring &program, const std::wstring &arguments, const std::wstring &logPath,
                           HANDLE *input)
{
    SECURITY_ATTRIBUTES inherit = { sizeof inherit, nullptr, TRUE };
    HANDLE log = CreateFileW(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (log == INVALID_HANDLE_VALUE || (input != nullptr && !CreatePipe(&readEnd, &writeEnd, &inherit, 0))) {
        fprintf(stderr, "bench: cannot prepare the log or input of %ls (error %lu)\n", program.c_str(),
                GetLastError());
        if (log != INVALID_HANDLE_VALUE)
            CloseHandle(log);
        return nullptr;
    }
    if (writeEnd != nullptr)
        SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = readEnd != nullptr ? readEnd : GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = log;
    startup.hStdError = log;
    std::wstring command = L"\"" + bench::BinPath(program) + L"\" " + arguments;
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    DWORD error = GetLastError();
    if (readEnd != nullptr)
        CloseHandle(readEnd);
    CloseHandle(log);
    if (!started) {
        fprintf(stderr, "bench: cannot start %ls (error %lu)\n", program.c_str(), error);
        if (writeEnd != nullptr)
            CloseHandle(writeEnd);
        return nullptr;
    }
    CloseHandle(info.hThread);
    if (input != nullptr)
        *input = writeEnd;
    return info.hProcess;
}

ProgramRun RunProgram(const std::wstring &program, const std::wstring &arguments, DWORD timeoutMs,
                      const char *mark)
{
    ProgramRun run;
    std::wstring logPath = NewLogPath(L"program");
    double started = NowMs();
    HANDLE process = StartProgram(program, arguments, logPath, nullptr);
    if (process == nullptr)
        return run;
    for (;;) {
        run.ended = WaitForSingleObject(process, 100) == WAIT_OBJECT_0;
        double now = NowMs() - started;
        if (run.ended || now > timeoutMs)
            break;
        double cpu = ProcessCpuMs(process);
        run.cpuLastMs = cpu;
        run.lastAtMs = now;
        if (mark != nullptr && run.cpuAtMarkMs < 0 && ReadWholeFile(logPath).find(mark) != std::string::npos) {
            run.cpuAtMarkMs = cpu;
            run.markAtMs = now;
        }
    }
    run.wallMs = NowMs() - started;
    if (!run.ended) {
        fprintf(stderr, "bench: %ls did not end within %lu ms; killing it\n", program.c_str(), timeoutMs);
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
    }
    run.cpuAfterEndMs = ProcessCpuMs(process);
    GetExitCodeProcess(process, &run.exitCode);
    CloseHandle(process);
    run.output = ReadWholeFile(logPath);
    return run;
}

bool StartSimProcess(const std::wstring &arguments, SimProcess *sim)
{
    sim->logPath = NewLogPath(L"rxsim");
    sim->process = StartProgram(L"rxsim.exe", arguments, sim->logPath, &sim->input);
    if (sim->process == nullptr)
        return false;

    // Its settings line comes once the port is open.
    for (int i = 0; i < 500; i++) {
        if (ReadWholeFile(sim->logPath).find("rxsim on") != std::string::npos)
            return true;
        if (WaitForSingleObject(sim->process, 20) == WAIT_OBJECT_0)
            break;
    }
    fprintf(stderr, "bench: rxsim.exe did not come up:\n%s\n", ReadWholeFile(sim->logPath).c_str());
    StopSimProcess(sim);
    return false;
}

std::vector<std::string> StopSimProcess(SimProcess *sim)
{
    if (sim->input != nullptr) {
        CloseHandle(sim->input);
        sim->input = nullptr;
    }
    if (sim->process != nullptr) {
        if (WaitForSingleObject(sim->process, 5000) != WAIT_OBJECT_0) {
            fprintf(stderr, "bench: rxsim.exe did not end; killing it\n");
            TerminateProcess(sim->process, 1);
            WaitForSingleObject(sim->process, 5000);
        }
        CloseHandle(sim->process);
        sim->process = nullptr;
    }
    return bench::OutputLines(ReadWholeFile(sim->logPath));
}

std::string SimOutput(const SimProcess &sim)
{
    return ReadWholeFile(sim.logPath);
}

// ---- debug timeline ----

namespace {

std::mutex g_lock;
std::vector<TimedLine> g_timeline;
std::atomic<uint64_t> g_echoed{ 0 };
PVOID g_handler = nullptr;

LONG CALLBACK OnDebugString(EXCEPTION_POINTERS *info)
{
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    double at = NowMs();
    size_t length = (size_t)record->ExceptionInformation[0];
    const char *text = (const char *)record->ExceptionInformation[1];
    while (length > 0 && text[length - 1] == '\0')
        length--;
    if (length == 1) {
        g_echoed++;
    } else {
        std::lock_guard<std::mutex> lock(g_lock);
        g_timeline.push_back({ at, std::string(text, length) });
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void StartDebugTimeline()
{
    if (g_handler == nullptr) {
        g_timeline.reserve(16384);
        g_handler = AddVectoredExceptionHandler(1, OnDebugString);
    }
    ClearDebugTimeline();
}

void ClearDebugTimeline()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_timeline.clear();
    g_echoed = 0;
}

std::vector<TimedLine> DebugTimeline()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_timeline;
}

uint64_t EchoedBytes()
{
    return g_echoed;
}

double FirstLineAt(const std::vector<TimedLine> &lines, const char *prefix, double fromMs)
{
    size_t n = strlen(prefix);
    for (const TimedLine &line : lines) {
        if (line.atMs >= fromMs && line.text.compare(0, n, prefix) == 0)
            return line.atMs;
    }
    return -1;
}

// ---- a reply at a chosen moment ----

AckSender::AckSender(rxsim::Simulator *sim, std::function<void()> beforeSend)
    : sim_(sim), beforeSend_(std::move(beforeSend)),
      go_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), done_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      thread_(&AckSender::Run, this)
{
}

AckSender::~AckSender()
{
    quit_ = true;
    SetEvent(go_);
    thread_.join();
    CloseHandle(go_);
    CloseHandle(done_);
}

void AckSender::Fire(DWORD delayMs)
{
    delayMs_ = delayMs;
    SetEvent(go_);
}

double AckSender::WaitSent()
{
    WaitForSingleObject(done_, INFINITE);
    return sentAtMs_;
}

// go_ and done_ hand the request over and back: the fields are never
// touched by both threads at once.
void AckSender::Run()
{
    const std::vector<uint8_t> ack = rxsim::AckFrame(true, 0x06, 0x01);
    for (;;) {
        WaitForSingleObject(go_, INFINITE);
        if (quit_)
            return;
        Sleep(delayMs_);
        if (beforeSend_)
            beforeSend_();
        sentAtMs_ = NowMs();
        sim_->Send(ack);
        SetEvent(done_);
    }
}

DWORD NextDelayMs(unsigned *seed)
{
    *seed = *seed * 1103515245 + 12345;
    return (*seed >> 16) % 100;
}

}  // namespace rxbench
