// The debug viewer: a program's OutputDebugString calls as a debugger sees
// them, its exit code, and the viewer program's output.
#include <gtest/gtest.h>

#include "debugtap.h"
#include "monitor.h"
#include "fixtures.h"
#include "runcapture.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

using bench::BinPath;
using bench::DebuggedProcess;
using Strings = std::vector<std::string>;

std::wstring Child(const std::wstring &steps)
{
    return L"\"" + BinPath(L"tapchild.exe") + L"\" " + steps;
}

// Runs tapchild with the steps to its end; returns its exit code.
DWORD RunToEnd(DebuggedProcess &program, const std::wstring &steps)
{
    EXPECT_TRUE(program.Start(Child(steps))) << "error " << program.StartError();
    DWORD code = 0xFFFFFFFF;
    EXPECT_TRUE(program.WaitForExit(20000, &code));
    return code;
}

// Calls of any length, from several threads at once: each arrives whole and
// in order; "\r\n" split over two calls still ends a line.
TEST(DebugTap, EveryCallArrivesWholeAndInOrder)
{
    DebuggedProcess program;
    Strings sunk;
    program.SetSink([&](const std::string &call) { sunk.push_back(call); });
    EXPECT_EQ(0u, RunToEnd(program, L"long=30000 threads=4 long=1 "
                                    L"a=alpha\\r\\n a=b a=e a=t a=a\\r\\n w=gamma\\r\\n a=\\r a=\\n a=tail"));
    EXPECT_FALSE(program.KilledFromOutside()) << "a clean exit with 0 is no kill";

    Strings calls = program.Calls();
    EXPECT_EQ(calls, sunk);  // the sink sees each call once, on arrival
    ASSERT_EQ(211u, calls.size());
    EXPECT_EQ(Strings({"alpha\r\n", "b", "e", "t", "a\r\n", "gamma\r\n", "\r", "\n", "tail"}),
              Strings(calls.begin() + 202, calls.end()));
    Strings lines = program.Lines();
    ASSERT_EQ(207u, lines.size());
    EXPECT_EQ(Strings({"alpha\r\n", "beta\r\n", "gamma\r\n", "\r\n", "tail"}),
              Strings(lines.begin() + 202, lines.end()));
    const std::string end = "x\r\nalpha\r\nbeta\r\ngamma\r\n\r\ntail";
    EXPECT_EQ(end, program.Text().substr(program.Text().size() - end.size()));
    EXPECT_EQ(std::string(30000, 'x') + "\r\n", lines[0]);
    EXPECT_EQ("x\r\n", lines[201]);
    // Each thread's lines in its own order, none cut or merged.
    int next[4] = {0, 0, 0, 0};
    for (size_t i = 1; i < 201; i++) {
        int thread = -1, n = -1;
        ASSERT_EQ(2, sscanf(lines[i].c_str(), "t%d n%d\r\n", &thread, &n)) << lines[i];
        ASSERT_TRUE(thread >= 0 && thread < 4) << lines[i];
        EXPECT_EQ(next[thread], n) << lines[i];
        EXPECT_EQ("t" + std::to_string(thread) + " n" + std::to_string(n) + "\r\n", lines[i]);
        next[thread] = n + 1;
    }
    for (int count : next)
        EXPECT_EQ(50, count);
}

TEST(DebugTap, ExitCodesAndTheProgramsOwnExceptions)
{
    const struct { const wchar_t *steps; DWORD code; Strings lines; } cases[] = {
        {L"a=bye\\r\\n exit=7", 7, {"bye\r\n"}},
        // An exception the program handles itself must reach its handler.
        {L"raise a=after\\r\\n", 0, {"handled\r\n", "after\r\n"}},
        // An unhandled fault ends the program with the fault's code; what it
        // said before is kept.
        {L"a=before\\r\\n crash a=never", (DWORD)EXCEPTION_ACCESS_VIOLATION, {"before\r\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lines.back());
        DebuggedProcess program;
        EXPECT_EQ(c.code, RunToEnd(program, c.steps));
        EXPECT_EQ(c.lines, program.Lines());
    }
}

TEST(DebugTap, WaitsSeeTextAsItComesAndKillEndsTheProgram)
{
    DebuggedProcess program;
    ASSERT_TRUE(program.Start(Child(L"a=first\\r\\n sleep=30000 a=second\\r\\n")));
    EXPECT_NE(0u, program.ProcessId());
    EXPECT_TRUE(program.WaitForText("first\r\n", 10000));
    EXPECT_FALSE(program.Exited());
    EXPECT_FALSE(program.WaitForText("second", 200));
    DWORD code = 0;
    EXPECT_FALSE(program.WaitForExit(100, &code));

    program.Kill();
    ASSERT_TRUE(program.WaitForExit(0, &code));
    EXPECT_EQ(DebuggedProcess::kKilledExitCode, code);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.Process(), 0));

    // Text that never came: the wait ends at once, not at its time-out.
    auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(program.WaitForText("second", 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    // One program per object.
    EXPECT_FALSE(program.Start(Child(L"")));
}

TEST(DebugTap, StartFailuresAndCleanUp)
{
    int threads = bench::ThreadCount();
    {
        DebuggedProcess program;
        EXPECT_FALSE(program.Start(BinPath(L"no-such-program.exe")));
        EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, program.StartError());
        EXPECT_EQ(nullptr, program.Process());
    }
    EXPECT_EQ(threads, bench::ThreadCount());

    // The destructor ends a program that still runs.
    DWORD pid = 0;
    {
        DebuggedProcess program;
        ASSERT_TRUE(program.Start(Child(L"a=up\\r\\n hang")));
        ASSERT_TRUE(program.WaitForText("up", 10000));
        pid = program.ProcessId();
    }
    HANDLE gone = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (gone != nullptr) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gone, 5000));
        CloseHandle(gone);
    }

    // The file handles that debug events hand over (one per library load)
    // are closed: many loads leave no trace in our handle count.
    int handles = (int)bench::HandleCount();
    for (int round = 0; round < 3; round++) {
        DebuggedProcess program;
        EXPECT_EQ(0u, RunToEnd(program, L"dlls=40"));
    }
    EXPECT_LT((int)bench::HandleCount(), handles + 20) << "before: " << handles;
    EXPECT_EQ(threads, bench::ThreadCount());
}

TEST(DebugTap, ReadsNarrowAndWideStrings)
{
    HANDLE self = GetCurrentProcess();
    OUTPUT_DEBUG_STRING_INFO info = {};

    static char narrow[] = "narrow\r\n";
    info.lpDebugStringData = narrow;
    info.fUnicode = 0;
    info.nDebugStringLength = sizeof(narrow);  // the terminator counts
    EXPECT_EQ("narrow\r\n", bench::ReadDebugString(self, info));

    static wchar_t wide[] = L"wide\r\n";
    info.lpDebugStringData = (LPSTR)wide;
    info.fUnicode = 1;
    info.nDebugStringLength = sizeof(wide) / sizeof(wide[0]);  // in characters
    EXPECT_EQ("wide\r\n", bench::ReadDebugString(self, info));
    info.nDebugStringLength = 3;
    EXPECT_EQ("wid", bench::ReadDebugString(self, info));

    info.lpDebugStringData = (LPSTR)16;  // nothing mapped there
    EXPECT_EQ("", bench::ReadDebugString(self, info));
}

// Wine's trace of the calls, as scripts/rxconf.sh pipes it into
// debugtap.exe --decode: escapes undone, lines split across reads joined,
// the wide call's second trace line dropped, a cut call marked, and every
// other line passed on in place.
TEST(DebugTap, DecodesWinesTraceOfTheCallsBackIntoTheCalls)
{
    const std::string trace =
        "0024:warn:seh:dispatch_exception \"UBX MSG: [0x5]-[0x1] size 2\\r\\n\"\n"
        "0024:warn:seh:dispatch_exception \"$\"\n"
        "0024:warn:seh:OutputDebugStringA \"G\"\n"
        "0024:warn:seh:dispatch_exception \"G\"\n"
        "0028:warn:seh:dispatch_exception \"\\x00\\xb5\\t\\\"q\\\\\"\n"
        "0028:warn:seh:dispatch_exception code=c0000005 flags=0 addr=0x1234\n"
        "0024:warn:seh:dispatch_exception \"\"\n"
        "0024:warn:seh:dispatch_exception \"xxxx\"...\n"
        "0024:warn:seh:dispatch_exception \"no closing quote\n"
        "0024:warn:seh:dispatch_exception \"last\"";
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    // In pieces that cut lines and escapes apart.
    for (size_t at = 0; at < trace.size(); at += 7) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(writeEnd, trace.data() + at, (DWORD)std::min<size_t>(7, trace.size() - at), &written,
                              nullptr));
    }
    CloseHandle(writeEnd);
    std::string calls, others;
    bench::DecodeTrace(
        readEnd, [&](const char *text, size_t length) { calls.append(text, length); },
        [&](const char *text, size_t length) { others.append(text, length); });
    CloseHandle(readEnd);
    EXPECT_EQ(std::string("UBX MSG: [0x5]-[0x1] size 2\r\n$G") + std::string("\0\xb5\t\"q\\", 6) + "xxxx...",
              calls);
    EXPECT_EQ("0028:warn:seh:dispatch_exception code=c0000005 flags=0 addr=0x1234\n"
              "0024:warn:seh:dispatch_exception \"no closing quote\n"
              "0024:warn:seh:dispatch_exception \"last\"",
              others);
}

// ---- debugtap.exe ----

std::wstring Tap(const std::wstring &rest)
{
    return L"\"" + BinPath(L"debugtap.exe") + L"\"" + rest;
}

// The calls byte for byte between the program's own output, and its exit
// code; without a program the usage, and a program that cannot start.
TEST(DebugTapProgram, PrintsCallsBetweenTheProgramsOwnOutputAndPassesOnItsExitCode)
{
    const struct { std::wstring args; DWORD code; std::string output; bool whole; } cases[] = {
        {L" " + Child(L"out=one\\n a=x a=y\\r\\n out=two\\n a=z\\r\\n a=. exit=5"), 5, "one\nxy\r\ntwo\nz\r\n.", true},
        {L"", 2, "usage: debugtap.exe <program>", false},
        {L" no-such-program.exe", 127, "debugtap: cannot start no-such-program.exe: error 2", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.output);
        bench::CapturedRun run = bench::RunCaptured(Tap(c.args), 20000);
        ASSERT_TRUE(run.started);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(c.code, run.exitCode);
        EXPECT_EQ(c.output, c.whole ? run.output : run.output.substr(0, c.output.size()));
    }
}

}  // namespace
