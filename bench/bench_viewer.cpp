// bench_viewer.cpp - rxbench-viewer.exe: how many debug calls a second the
// manual-run viewer takes, every call kept and in order.
//
//   rxbench-viewer.exe --emit [--calls N]
//   rxbench-viewer.exe --check FILE [--calls N] [--how TEXT]
//   rxbench-viewer.exe --debugger [--calls N]
//
// The setup program's listener makes one OutputDebugString call per
// character of NMEA text, so a full 38,400-baud line is 3,840 calls a
// second. --emit makes N one-character calls as fast as they are taken,
// then one line with the time they took. scripts/bench.sh runs it the way
// scripts/rxconf.sh runs the setup program (Wine's trace of the calls into
// debugtap.exe --decode) and hands the viewer's output to --check, which
// requires exactly those characters, in order, then the line, and prints
// the row. --debugger runs the emitting copy under debugtap.exe's debugger
// instead (the manual-run path before), for comparison.
//
// Threads: one in each process.
#include "benchutil.h"

#include "runcapture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace rxbench;

namespace {

const double kLineCallsPerSecond = 3840;

char CallCharacter(long i)
{
    return (char)('a' + i % 26);
}

int Emit(long calls)
{
    char text[2] = { 0, 0 };
    double started = NowMs();
    for (long i = 0; i < calls; i++) {
        text[0] = CallCharacter(i);
        OutputDebugStringA(text);
    }
    double tookMs = NowMs() - started;
    OutputDebugStringA(Format("\r\nviewerresult %ld calls in %.3f ms\r\n", calls, tookMs).c_str());
    return 0;
}

// The row for the viewer's output text, as debugtap.exe wrote it.
int Check(const std::string &output, long calls, const std::string &how)
{
    std::string expected;
    for (long i = 0; i < calls; i++)
        expected += CallCharacter(i);
    expected += "\r\n";
    size_t resultAt = output.find("viewerresult ");
    double tookMs = -1;
    long reported = 0;
    if (resultAt != std::string::npos)
        sscanf(output.c_str() + resultAt, "viewerresult %ld calls in %lf ms", &reported, &tookMs);
    std::string text = resultAt == std::string::npos ? output : output.substr(0, resultAt);
    // How many calls came through in order before the first one missing.
    long kept = 0;
    while (kept < calls && (size_t)kept < text.size() && text[kept] == CallCharacter(kept))
        kept++;
    bool whole = text == expected && reported == calls;
    double rate = tookMs > 0 ? calls / (tookMs / 1000) : 0;
    Row(Format("9. Viewer (%s): one-character calls taken a second", how.c_str()),
        Format("%.0f calls/s (%ld calls in %.0f ms); %ld of %ld kept in order%s", rate, calls, tookMs, kept, calls,
               whole ? "" : ", output differs"),
        Format("%.0f calls/s (a full 38,400-baud line)", kLineCallsPerSecond),
        Format(">= %.0f calls/s, every call kept in order", kLineCallsPerSecond),
        rate >= kLineCallsPerSecond && whole ? "met" : "MISSED");
    Detail("%.1f us a call; the viewer's output %lu bytes", tookMs * 1000 / calls, (unsigned long)output.size());
    return whole ? 0 : 1;
}

int Usage()
{
    fprintf(stderr, "usage: rxbench-viewer.exe --emit | --check FILE [--how TEXT] | --debugger [--calls N]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    long calls = 20000;
    bool emit = false, debugger = false;
    std::string check, how = "debugtap.exe --decode, scripts/rxconf.sh's way";
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--calls") == 0 && i + 1 < argc)
            calls = atol(argv[++i]);
        else if (strcmp(argv[i], "--emit") == 0)
            emit = true;
        else if (strcmp(argv[i], "--debugger") == 0)
            debugger = true;
        else if (strcmp(argv[i], "--check") == 0 && i + 1 < argc)
            check = argv[++i];
        else if (strcmp(argv[i], "--how") == 0 && i + 1 < argc)
            how = argv[++i];
        else
            return Usage();
    }
    if (emit)
        return Emit(calls);
    if (!check.empty())
        return Check(ReadWholeFile(std::wstring(check.begin(), check.end())), calls, how);
    if (!debugger)
        return Usage();
    std::wstring arguments = L"\"" + bench::BinPath(L"rxbench-viewer.exe") + L"\" --emit --calls " +
                             std::to_wstring(calls);
    ProgramRun run = RunProgram(L"debugtap.exe", arguments, 600000);
    if (!run.ended) {
        fprintf(stderr, "bench: debugtap.exe did not end\n");
        return 1;
    }
    return Check(run.output, calls, "debugtap.exe under its debugger, the manual-run path before");
}
