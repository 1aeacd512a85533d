// The device manager stand-in: devmgr.exe run under debugtap.exe, so that its
// own report lines and the fake TST driver's debug lines come out as one
// stream in the order they happened; and armhost.exe, its counterpart for
// the handheld image, run the same way.
#include <gtest/gtest.h>

#include "armsession.h"
#include "debugtap.h"
#include "fixtures.h"
#include "importhook.h"
#include "runcapture.h"
#include "rxsim.h"

#include <stdlib.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

const wchar_t kDrivers[] = L"Drivers";
const wchar_t kBuiltIn[] = L"Drivers\\BuiltIn";

struct Entry {
    std::wstring name;
    long order = -1;                           // -1: no Order value
    long index = -1;                           // -1: no Index value
    std::map<std::wstring, DWORD> extra = {};  // InitResult, InitDelay, Touch
    std::wstring dll = L"fakedrv.dll";         // empty: no Dll value
    std::wstring prefix = L"TST";              // empty: no Prefix value
};

// Writes the entry's key; empty strings and negative numbers are left out.
void AddEntry(const Entry &entry)
{
    HKEY key = nullptr;
    std::wstring path = std::wstring(kBuiltIn) + L"\\" + entry.name;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    for (const auto &text : { std::make_pair(L"Dll", entry.dll), std::make_pair(L"Prefix", entry.prefix) }) {
        if (!text.second.empty())
            RegSetValueExW(key, text.first, 0, REG_SZ, (const BYTE *)text.second.c_str(),
                           (DWORD)((text.second.size() + 1) * sizeof(wchar_t)));
    }
    std::map<std::wstring, DWORD> numbers = entry.extra;
    if (entry.order >= 0)
        numbers[L"Order"] = (DWORD)entry.order;
    if (entry.index >= 0)
        numbers[L"Index"] = (DWORD)entry.index;
    for (const auto &number : numbers)
        RegSetValueExW(key, number.first.c_str(), 0, REG_DWORD, (const BYTE *)&number.second, sizeof(DWORD));
    RegCloseKey(key);
}

// Subkeys of HKLM\Drivers\Active: the devices still registered as up.
int ActiveKeys()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Drivers\\Active", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD count = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(key);
    return (int)count;
}

struct DevmgrRun {
    DWORD exitCode = 0;
    Strings lines;
};

DevmgrRun Devmgr(const std::wstring &args)
{
    std::wstring command = L"\"" + bench::BinPath(L"debugtap.exe") + L"\" \"" + bench::BinPath(L"devmgr.exe") +
                           L"\" " + args;
    bench::CapturedRun captured = bench::RunCaptured(command, 60000);
    EXPECT_TRUE(captured.started) << "error " << captured.startError;
    EXPECT_FALSE(captured.timedOut);
    return DevmgrRun{captured.exitCode, bench::OutputLines(captured.output)};
}

bool StartsWith(const std::string &line, const std::string &start)
{
    return line.compare(0, start.size(), start) == 0;
}

// Finds the lines that begin with each of starts, in this order, each after
// the one before; returns their positions (a failure names the first lost).
std::vector<size_t> ExpectInOrder(const Strings &lines, const Strings &starts)
{
    std::vector<size_t> found;
    size_t next = 0;
    for (const std::string &start : starts) {
        size_t i = next;
        while (i < lines.size() && !StartsWith(lines[i], start))
            i++;
        if (i == lines.size()) {
            std::string all;
            for (const std::string &line : lines)
                all += "  " + line + "\n";
            ADD_FAILURE() << "no line \"" << start << "\" after line " << next << " in:\n" << all;
            return found;
        }
        found.push_back(i);
        next = i + 1;
    }
    return found;
}

int CountStarting(const Strings &lines, const std::string &start)
{
    return (int)std::count_if(lines.begin(), lines.end(), [&](const std::string &line) { return StartsWith(line, start); });
}

// The number after "word " in line.
unsigned long NumberAfter(const std::string &line, const std::string &word)
{
    size_t at = line.find(word + " ");
    return at == std::string::npos ? 0 : strtoul(line.c_str() + at + word.size() + 1, nullptr, 10);
}

class DevMgr : public ::testing::Test {
 protected:
    void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDrivers); }
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDrivers); }
};

TEST_F(DevMgr, InitRunsOnItsOwnThreadAndExerciseReachesEveryEntryPoint)
{
    AddEntry({L"Exercised", 5, 3, {{L"Touch", 1}, {L"InitDelay", 300}}});

    DevmgrRun run = Devmgr(L"--key Drivers\\BuiltIn\\Exercised --bus 1234abcd --exercise --unload");
    EXPECT_EQ(0u, run.exitCode);
    std::vector<size_t> at = ExpectInOrder(run.lines, {
        "devmgr: Drivers\\BuiltIn\\Exercised: Dll=fakedrv.dll Prefix=TST Order=5 Index=3",
        "fakedrv: loaded",
        "devmgr: exports found: TST_Init TST_Deinit TST_Open TST_Close TST_Read TST_Write TST_Seek "
        "TST_IOControl; missing: none",
        "devmgr: active key Drivers\\Active\\01: Key=Drivers\\BuiltIn\\Exercised Name=TST3:",
        "devmgr: calling TST_Init(\"Drivers\\Active\\01\", 0x1234ABCD) on thread ",
        // The driver sees its active key with the device's values in it.
        "TST_Init(Drivers\\Active\\01, 0x1234ABCD) Key=Drivers\\BuiltIn\\Exercised Name=TST3: thread ",
        "TST_Init done: 0x7E570001",
        "devmgr: TST_Init returned 0x7E570001 after ",
        // The device context goes to Open, the open context to the rest.
        "TST_Open(0x7E570001, 0xC0000000, 0) thread ",
        "devmgr: TST_Open(0x7E570001, 0xC0000000, 0) = 0x7E570002",
        "TST_Read(0x7E570002, 64)",
        "devmgr: TST_Read(0x7E570002, buffer, 64) = 4; buffer 4 of 64 bytes changed",
        "TST_Write(0x7E570002, \"devmgr test data\", 16)",
        "devmgr: TST_Write(0x7E570002, \"devmgr test data\", 16) = 16",
        "TST_Seek(0x7E570002, 16, 0)",
        "devmgr: TST_Seek(0x7E570002, 16, 0) = 16",
        "TST_IOControl(0x7E570002, 0x00222000, in 4 bytes first 1, out 16)",
        "devmgr: TST_IOControl(0x7E570002, 0x00222000, in 4, out 16) = 1; output buffer 3 of 16 bytes changed, "
        "output count 3",
        "TST_Close(0x7E570002)",
        "devmgr: TST_Close(0x7E570002) = 1",
        "TST_Deinit(0x7E570001)",
        "devmgr: TST_Deinit(0x7E570001) = 1",
        "devmgr: active key Drivers\\Active\\01 removed",
        "fakedrv: unloaded by FreeLibrary",
        "devmgr: FreeLibrary(fakedrv.dll) = 1",
        "devmgr: every driver initialised",
    });
    ASSERT_EQ(26u, at.size());

    // Init ran on the thread devmgr named, not on its main thread, where
    // the application calls run; devmgr waited the whole Init out.
    const std::string &calling = run.lines[at[4]];
    unsigned long initThread = NumberAfter(calling, "on thread");
    unsigned long mainThread = NumberAfter(calling, "(main thread");
    EXPECT_NE(0ul, initThread);
    EXPECT_NE(initThread, mainThread);
    EXPECT_EQ(initThread, NumberAfter(run.lines[at[5]], "thread"));
    EXPECT_EQ(mainThread, NumberAfter(run.lines[at[8]], "thread"));
    EXPECT_GE(NumberAfter(run.lines[at[7]], "after"), 280ul) << run.lines[at[7]];
    EXPECT_EQ(1, CountStarting(run.lines, "TST_Deinit"));
    EXPECT_EQ(0, ActiveKeys());
}

TEST_F(DevMgr, UntouchedOutputsAndADeviceLeftUp)
{
    Entry entry{L"Quiet"};
    AddEntry(entry);

    // A driver that writes nothing: devmgr must say so, not invent output.
    DevmgrRun exercised = Devmgr(L"--key Quiet --exercise");
    EXPECT_EQ(0u, exercised.exitCode);
    ExpectInOrder(exercised.lines, {
        "devmgr: Drivers\\BuiltIn\\Quiet: Dll=fakedrv.dll Prefix=TST Order=none Index=none",
        "devmgr: active key Drivers\\Active\\01: Key=Drivers\\BuiltIn\\Quiet Name=TST1:",
        "devmgr: TST_Read(0x7E570002, buffer, 64) = 0; buffer untouched",
        "devmgr: TST_IOControl(0x7E570002, 0x00222000, in 4, out 16) = 1; output buffer untouched, "
        "output count untouched",
        "devmgr: TST_Deinit(0x7E570001) = 1",
        "fakedrv: unloaded at process exit",
    });
    EXPECT_EQ(0, CountStarting(exercised.lines, "devmgr: FreeLibrary"));

    // A devmgr killed in the middle of Init leaves the device's active key
    // behind. The next one starts, as a real boot does, with an empty
    // active list: the device gets Drivers\Active\01 again.
    entry.extra = {{L"InitDelay", 30000}};
    AddEntry(entry);
    bench::DebuggedProcess killed;
    ASSERT_TRUE(killed.Start(L"\"" + bench::BinPath(L"devmgr.exe") + L"\" --key Quiet"));
    ASSERT_TRUE(killed.WaitForText("TST_Init(", 5000)) << killed.Text();
    killed.Kill();
    ASSERT_EQ(1, ActiveKeys()) << "the killed run should have left its key";
    entry.extra = {{L"InitDelay", 0}};
    AddEntry(entry);

    // Neither option: Init only; the device stays up until devmgr ends,
    // and its active key goes with it.
    DevmgrRun plain = Devmgr(L"");
    EXPECT_EQ(0u, plain.exitCode);
    ExpectInOrder(plain.lines, {
        "devmgr: 1 active key(s) of an earlier run removed",
        "devmgr: active key Drivers\\Active\\01: Key=Drivers\\BuiltIn\\Quiet Name=TST1:",
        "devmgr: TST_Init returned 0x7E570001",
        "devmgr: active key Drivers\\Active\\01 removed",
        "devmgr: every driver initialised",
        "fakedrv: unloaded at process exit",
    });
    for (const char *call : {"TST_Open", "TST_Deinit", "TST_Close", "devmgr: FreeLibrary"})
        EXPECT_EQ(0, CountStarting(plain.lines, call)) << call;
    EXPECT_EQ(0, ActiveKeys());
}

TEST_F(DevMgr, BootLoadsEveryEntryInOrderAndGoesOnPastAFailure)
{
    AddEntry({L"Gamma", 20, 5});
    AddEntry({L"Beta"});                                  // no Order: after every ordered entry
    AddEntry({L"Delta", 10});                             // ties with Alpha: as the registry lists them (Wine: by name)
    AddEntry({L"Broken", 15, -1, {{L"InitResult", 0}}});  // its Init fails
    AddEntry({L"Alpha", 10});
    AddEntry({L"Clash", 30, 1});                          // TST1: is Alpha's
    // Not loaded by their flags, which is no failure.
    AddEntry({L"NoLoad", 12, -1, {{L"Flags", 0x4}}});
    AddEntry({L"PhaseOne", 12, -1, {{L"Flags", 0x1000}}});

    DevmgrRun run = Devmgr(L"--unload");
    EXPECT_EQ(1u, run.exitCode);
    for (const char *line : {"devmgr: Drivers\\BuiltIn\\NoLoad: not loaded (DEVFLAGS_NOLOAD)",
                             "devmgr: Drivers\\BuiltIn\\PhaseOne: not loaded (DEVFLAGS_BOOTPHASE_1"})
        EXPECT_EQ(1, CountStarting(run.lines, line)) << line;
    std::vector<size_t> at = ExpectInOrder(run.lines, {
        "TST_Init(Drivers\\Active\\01, 0x00000000) Key=Drivers\\BuiltIn\\Alpha Name=TST1:",
        "TST_Init(Drivers\\Active\\02, 0x00000000) Key=Drivers\\BuiltIn\\Delta Name=TST2:",
        "TST_Init(Drivers\\Active\\03, 0x00000000) Key=Drivers\\BuiltIn\\Broken Name=TST3:",
        "devmgr: TST_Init returned 0x00000000 after ",
        "devmgr: active key Drivers\\Active\\03 removed",
        "devmgr: FreeLibrary(fakedrv.dll) = 1",
        // A failed device leaves neither its active key nor its name taken.
        "TST_Init(Drivers\\Active\\03, 0x00000000) Key=Drivers\\BuiltIn\\Gamma Name=TST5:",
        "devmgr: Drivers\\BuiltIn\\Clash: device TST1: exists already",
        "TST_Init(Drivers\\Active\\04, 0x00000000) Key=Drivers\\BuiltIn\\Beta Name=TST3:",
        // Torn down in reverse: Beta, Gamma, Delta, Alpha.
        "TST_Deinit(0x7E570001)",
        "devmgr: active key Drivers\\Active\\04 removed",
        "TST_Deinit(0x7E570001)",
        "devmgr: active key Drivers\\Active\\03 removed",
        "TST_Deinit(0x7E570001)",
        "devmgr: active key Drivers\\Active\\02 removed",
        "TST_Deinit(0x7E570001)",
        "devmgr: active key Drivers\\Active\\01 removed",
        "fakedrv: unloaded by FreeLibrary",
        "devmgr: not every driver initialised",
    });
    EXPECT_EQ(19u, at.size());
    EXPECT_EQ(5, CountStarting(run.lines, "TST_Init("));  // Clash, NoLoad and PhaseOne never got to Init
    EXPECT_EQ(4, CountStarting(run.lines, "TST_Deinit("));  // never for the failed one
    EXPECT_EQ(0, ActiveKeys());
}

TEST_F(DevMgr, EntriesThatCannotBeLoaded)
{
    DevmgrRun none = Devmgr(L"");
    EXPECT_EQ(1u, none.exitCode);
    ExpectInOrder(none.lines, {"devmgr: no driver entries under HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn"});

    AddEntry({L"MissingDll", -1, -1, {}, L"absent-driver.dll"});
    AddEntry({L"WrongPrefix", -1, -1, {}, L"fakedrv.dll", L"TSX"});
    AddEntry({L"NoDll", -1, -1, {}, L""});
    AddEntry({L"LongPrefix", -1, -1, {}, L"fakedrv.dll", L"TSTX"});
    // The same library under prefixes that lack entry points the device
    // manager requires, and a flag it would act on that this program does not.
    AddEntry({L"NoOpen", -1, -1, {}, L"fakedrv.dll", L"TSO"});
    AddEntry({L"Unload", -1, -1, {{L"Flags", 0x1}}});
    const struct { const wchar_t *args; DWORD code; Strings lines; } cases[] = {
        {L"--key Nowhere", 1, {"devmgr: Drivers\\BuiltIn\\Nowhere: cannot open the entry: error 2"}},
        {L"--key MissingDll", 1, {"devmgr: LoadLibrary(absent-driver.dll) failed: error 126"}},
        // A library without the entry points is not kept loaded.
        {L"--key WrongPrefix", 1, {"devmgr: exports found: none; missing: TSX_Init TSX_Deinit TSX_Open TSX_Close "
                                   "TSX_Read TSX_Write TSX_Seek TSX_IOControl",
                                   "devmgr: fakedrv.dll: not a stream driver the device manager loads",
                                   "fakedrv: unloaded by FreeLibrary"}},
        // Init, Deinit and an I/O entry point, but no Open or Close.
        {L"--key NoOpen", 1, {"devmgr: exports found: TSO_Init TSO_Deinit TSO_Read; missing: TSO_Open TSO_Close",
                              "devmgr: fakedrv.dll: not a stream driver the device manager loads",
                              "fakedrv: unloaded by FreeLibrary"}},
        {L"--key Unload", 1, {"devmgr: Drivers\\BuiltIn\\Unload: \"Flags\" 0x1: this program does not do what 0x1 asks"}},
        {L"--key NoDll", 1, {"devmgr: Drivers\\BuiltIn\\NoDll: no \"Dll\" string: not a driver entry"}},
        {L"--key HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\LongPrefix", 1,
         {"devmgr: Drivers\\BuiltIn\\LongPrefix: \"Prefix\" must have three characters"}},
        {L"--exercise --bogus", 2, {"usage: devmgr.exe"}},
        {L"--bus 12xyz", 2, {"usage: devmgr.exe"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.args);
        DevmgrRun run = Devmgr(c.args);
        EXPECT_EQ(c.code, run.exitCode);
        Strings lines = c.lines;
        if (c.code == 1)
            lines.push_back("devmgr: not every driver initialised");
        ExpectInOrder(run.lines, lines);
        EXPECT_EQ(0, CountStarting(run.lines, "TST_Init"));
        EXPECT_EQ(0, ActiveKeys());
    }
}

// Enough for the device manager: Init, Deinit, Open, Close and one I/O
// entry point; and entry points without the prefix when "Flags" has
// DEVFLAGS_NAKEDENTRIES, the device still named by the prefix.
TEST_F(DevMgr, TheEntryPointsADeviceNeedsAndNakedOnes)
{
    AddEntry({L"OneIo", -1, -1, {}, L"fakedrv.dll", L"TSI"});
    AddEntry({L"Naked", -1, -1, {{L"Flags", 0x8}}, L"fakedrv.dll", L"TNK"});
    const struct { const wchar_t *args; Strings lines; } cases[] = {
        {L"--key OneIo", {"devmgr: exports found: TSI_Init TSI_Deinit TSI_Open TSI_Close TSI_IOControl; missing: "
                          "TSI_Read TSI_Write TSI_Seek",
                          "TST_Init(Drivers\\Active\\01, 0x00000000) Key=Drivers\\BuiltIn\\OneIo Name=TSI1:"}},
        {L"--key Naked", {"devmgr: exports found: Init Deinit Open Close Write; missing: Read Seek IOControl",
                          "TST_Init(Drivers\\Active\\01, 0x00000000) Key=Drivers\\BuiltIn\\Naked Name=TNK1:"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.args);
        DevmgrRun run = Devmgr(c.args);
        EXPECT_EQ(0u, run.exitCode);
        Strings lines = c.lines;
        lines.push_back("devmgr: every driver initialised");
        ExpectInOrder(run.lines, lines);
    }
}

// The driver's registration in the OS image's registry (platform/rxboot.reg),
// imported as the demo imports it, is an entry devmgr loads as RXB1:. The
// load, the thread RXB_Init runs on and the unload take the driver's DllMain
// through all four of its reasons: a refused attach would fail the load, a
// fault in any of them end devmgr.
TEST_F(DevMgr, ImageRegistrationLoadsTheBootDriver)
{
    ASSERT_NE(GetFileAttributesW(bench::BinPath(L"rxboot.dll").c_str()), INVALID_FILE_ATTRIBUTES)
        << "rxboot.dll is not built beside the test";
    bench::DeleteKestranaKeys();
    ASSERT_TRUE(bench::ImportDriverRegistration());
    // It also makes the settings key, empty, which the system never creates.
    HKEY settings = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana\\GPS", 0, KEY_READ, &settings), ERROR_SUCCESS);
    DWORD values = 1;
    RegQueryInfoKeyW(settings, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    EXPECT_EQ(values, 0u);
    RegCloseKey(settings);
    bench::DeleteKestranaKeys();

    // devmgr's first line shows the four values as it read them. With
    // "COM3:" absent the driver's Init fails fast.
    ASSERT_TRUE(bench::PlugCom3(bench::Com3::Missing));
    DevmgrRun run = Devmgr(L"--key Drivers\\BuiltIn\\RXBoot --unload");
    EXPECT_EQ(1u, run.exitCode);
    ExpectInOrder(run.lines, {
        "devmgr: Drivers\\BuiltIn\\RXBoot: Dll=rxboot.dll Prefix=RXB Order=64 Index=1",
        "devmgr: exports found: RXB_Init RXB_Deinit RXB_Open RXB_Close RXB_Read RXB_Write RXB_Seek "
        "RXB_IOControl; missing: none",
        "devmgr: active key Drivers\\Active\\01: Key=Drivers\\BuiltIn\\RXBoot Name=RXB1:",
        "devmgr: calling RXB_Init(\"Drivers\\Active\\01\", 0x00000000)",
        "####       RXB_INIT Entered        ####",
        "devmgr: RXB_Init returned 0x00000000 after ",
        "devmgr: FreeLibrary(rxboot.dll) = 1",
    });
    EXPECT_EQ(0, CountStarting(run.lines, "####       RXB_Init exiting"));
    EXPECT_EQ(0, ActiveKeys());
}

// For a native program (the emulated core's bench) Wine's CreateProcessA
// returns TRUE and hands back no process or thread: PROCESS_INFORMATION
// keeps what Wine's stack held. This one leaves two live handles of the
// test there.
HANDLE g_junk[2];
decltype(&CreateProcessA) g_realCreateProcessA;

BOOL WINAPI JunkCreateProcessA(LPCSTR app, LPSTR line, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                               BOOL inherit, DWORD flags, LPVOID env, LPCSTR dir, LPSTARTUPINFOA startup,
                               LPPROCESS_INFORMATION info)
{
    BOOL started = g_realCreateProcessA(app, line, pa, ta, inherit, flags, env, dir, startup, info);
    info->hProcess = g_junk[0];
    info->hThread = g_junk[1];
    return started;
}

// The session closes nothing that Wine did not hand back when it starts the
// bench: left in PROCESS_INFORMATION, live handles of its process stay open
// (the 32-bit build finds junk there that may be one, the listening socket
// say). Then scripts/demo.sh --arm as the README runs it: armhost.exe under
// debugtap.exe (a debugger: there a close of a value that is no handle may
// raise and end armhost before the bench connects), the handheld
// rxboot.dll's pass on the emulated XScale against the receiver on the
// cable, ending with the power line.
TEST_F(DevMgr, ArmDemoRunsTheHandheldPassUnderDebugTap)
{
    {
        bench::ImportHook hook(GetModuleHandleW(nullptr), "CreateProcessA", (void *)JunkCreateProcessA);
        ASSERT_TRUE(hook.installed());
        g_realCreateProcessA = (decltype(&CreateProcessA))hook.original();
        // A second handle of each event tells whether the first still
        // leads to it (a closed value is soon another object's).
        HANDLE same[2];
        for (int i = 0; i < 2; i++) {
            g_junk[i] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            DuplicateHandle(GetCurrentProcess(), g_junk[i], GetCurrentProcess(), &same[i], 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
        }
        bench::ArmSession arm;
        EXPECT_TRUE(arm.Start(bench::HandheldDriver())) << arm.Problem();
        for (int i = 0; i < 2; i++) {
            bool kept = GetHandleInformation(g_junk[i], nullptr) && SetEvent(g_junk[i]) &&
                        WaitForSingleObject(same[i], 0) == WAIT_OBJECT_0;
            EXPECT_TRUE(kept) << "the session closed a handle of the test";
            if (kept)
                CloseHandle(g_junk[i]);
            CloseHandle(same[i]);
        }
        DWORD detached = 0;
        EXPECT_TRUE(arm.Unload(&detached)) << arm.Problem();
    }

    bench::CreateKestranaKeys();
    bench::SetAllSettings(1);
    bench::SetConfigGPS(2);
    bench::ClearKtapiJournal();
    rxsim::Simulator sim;
    rxsim::Options options;
    options.current.sbas = options.bbr.sbas = false;
    ASSERT_TRUE(sim.Start(options));
    bench::CapturedRun run = bench::RunCaptured(L"\"" + bench::BinPath(L"debugtap.exe") + L"\" \"" +
                                                    bench::BinPath(L"armhost.exe") + L"\" --core pxa270",
                                                60000);
    Strings journal = bench::KtapiJournal();
    sim.Stop();
    bench::DeleteKestranaKeys();

    ASSERT_TRUE(run.started) << "error " << run.startError;
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    ExpectInOrder(bench::OutputLines(run.output), {
        "armhost: ",
        "####       RXB_INIT Entered        ####",
        "SetNMEASentences: ConfigGPS == 2",
        "UBXSSBASEnable: Wrote 16 bytes 1",
        "UBXSaveToBBR: Wrote 21 bytes 1",
        "Closed Port!",
        "####       RXB_Init exiting        ####",
        "armhost: RXB_Init(Drivers\\Active\\01, 0) = 0x89144233 after ",
        "armhost: DllMain(DLL_PROCESS_DETACH) = 1",
    });
    EXPECT_EQ(rxsim::Describe(sim.Saved()), "GGA GLL GSA GSV RMC VTG GRS GST ZDA GBS DTM, SBAS on");
    EXPECT_EQ(journal, (Strings{ "KTSetGPIO(0, 1)", "KTSetGPIODirection(1, 1)" }));
}

}  // namespace
