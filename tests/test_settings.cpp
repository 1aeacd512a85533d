// The settings store and the power line, against the real registry and the
// KTAPI stand-in. (Values of other types and sizes, and odd baud selectors,
// are read through the programs in Faults.OddSettingValuesReachTheBootPassByTheirBytes
// and Transaction.OpenConfiguresThePortByEachProgramsRule.)
#include <gtest/gtest.h>

#include "debugcapture.h"
#include "fixtures.h"
#include "importhook.h"
#include "powerline.h"
#include "settings.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const wchar_t kFailLine[] = L"Test: RegOpenKeyEx Failed\r\n";

// The store's calls that change the registry, in order, each with the key
// it was made on: "set <name>", "flush", "close".
struct RegCall {
    std::string what;
    HKEY key;
    bool operator==(const RegCall &other) const { return what == other.what && key == other.key; }
};
std::vector<RegCall> g_regCalls;
LONG g_flushResult = ERROR_SUCCESS;  // a failed flush leaves the value as it was set
void *g_realSet, *g_realFlush, *g_realClose;

LONG WINAPI JournalSet(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
{
    g_regCalls.push_back({ "set " + std::string(name, name + wcslen(name)), key });
    return ((decltype(&RegSetValueExW))g_realSet)(key, name, reserved, type, data, size);
}
LONG WINAPI JournalFlush(HKEY key)
{
    g_regCalls.push_back({ "flush", key });
    return g_flushResult == ERROR_SUCCESS ? ((decltype(&RegFlushKey))g_realFlush)(key) : g_flushResult;
}
LONG WINAPI JournalClose(HKEY key)
{
    g_regCalls.push_back({ "close", key });
    return ((decltype(&RegCloseKey))g_realClose)(key);
}

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        bench::CreateKestranaKeys();
        bench::StartDebugCapture();
    }
    void TearDown() override { bench::DeleteKestranaKeys(); }

    std::vector<DWORD> ReadAll()
    {
        DWORD flags[kSettingCount];
        for (DWORD &flag : flags)
            flag = 0xDEADBEEF;
        ReadAllSettings(flags, kFailLine);
        return std::vector<DWORD>(flags, flags + kSettingCount);
    }
};

// Without the key: reading logs the caller's line and gives all 0; writing
// stores and logs nothing and creates no key.
TEST_F(SettingsStore, MissingKeyReadsAllZeroAndWritesNothing)
{
    bench::DeleteSettingsKey();
    std::vector<DWORD> read = ReadAll();
    std::vector<std::string> lines = bench::DebugLines();
    EXPECT_EQ(read, std::vector<DWORD>(kSettingCount, 0));
    EXPECT_EQ(lines, std::vector<std::string>{ "Test: RegOpenKeyEx Failed\r\n" });
    bench::ClearDebugCapture();
    WriteSetting(0, 1);
    WriteSetting(13, 1);  // no such setting
    EXPECT_TRUE(bench::DebugCalls().empty());
    HKEY key;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana\\GPS", 0, KEY_READ, &key), ERROR_SUCCESS);
}

// What reaches the registry: each position under its own name, a 4-byte
// REG_DWORD holding exactly the flag passed, and nothing else. Reading gives
// each back in its position, the absent ones (GLL, DTM) as 0. Each value is
// flushed on the key it was set on before that key is closed (a value still
// in memory is lost at a reset); a failed flush (every other write here)
// keeps the value and logs nothing.
TEST_F(SettingsStore, EachPositionIsStoredUnderItsNameExactlyAsPassedAndFlushed)
{
    HMODULE self = GetModuleHandleW(nullptr);
    bench::ImportHook set(self, "RegSetValueExW", (void *)JournalSet);
    bench::ImportHook flush(self, "RegFlushKey", (void *)JournalFlush);
    bench::ImportHook close(self, "RegCloseKey", (void *)JournalClose);
    ASSERT_TRUE(set.installed() && close.installed());
    ASSERT_TRUE(flush.installed()) << "RegFlushKey is never called";
    g_realSet = set.original(), g_realFlush = flush.original(), g_realClose = close.original();

    const char *const names[kSettingCount] = { "GGA", "GLL", "GSA", "GSV", "RMC", "VTG", "GRS",
                                               "GST", "ZDA", "GBS", "DTM", "SBAS", "PWR" };
    std::vector<DWORD> flags(kSettingCount, 0);
    std::map<std::string, DWORD> expected, stored;
    for (int k = 0; k < kSettingCount; k++) {
        if (k == 1 || k == 10)
            continue;
        flags[k] = k == 0 ? 0 : k == kSettingPWR ? 2 : 100 + k;
        g_regCalls.clear();
        g_flushResult = k % 2 ? ERROR_WRITE_FAULT : ERROR_SUCCESS;
        bench::ClearDebugCapture();
        WriteSetting(k, flags[k]);
        EXPECT_TRUE(bench::DebugCalls().empty()) << names[k];
        ASSERT_EQ(g_regCalls.size(), 3u) << names[k];
        HKEY key = g_regCalls[0].key;
        EXPECT_EQ(g_regCalls, (std::vector<RegCall>{ { std::string("set ") + names[k], key }, { "flush", key },
                                                     { "close", key } })) << names[k];
        expected[names[k]] = flags[k];
    }
    g_regCalls.clear();
    bench::ClearDebugCapture();
    WriteSetting(kSettingCount, 1);  // no such setting: nothing to flush
    EXPECT_TRUE(bench::DebugCalls().empty());
    EXPECT_TRUE(g_regCalls.empty());
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana\\GPS", 0, KEY_READ, &key), ERROR_SUCCESS);
    wchar_t name[32];
    DWORD nameLength = 32, type = 0, size = 8;
    BYTE data[8];
    for (DWORD i = 0; RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) == ERROR_SUCCESS; i++) {
        EXPECT_TRUE(type == REG_DWORD && size == 4) << i;
        memcpy(&stored[std::string(name, name + nameLength)], data, 4);
        nameLength = 32, size = 8;
    }
    RegCloseKey(key);
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(ReadAll(), flags);
}

TEST(PowerLine, OnlyTheExactValueOneHoldsTheGpsOn)
{
    struct Case { DWORD alwaysOn; std::vector<std::string> calls; } cases[] = {
        { 1, { "KTSetGPIO(0, 1)", "KTSetGPIODirection(1, 1)" } },
        { 0, { "KTSetGPIO(1, 1)", "KTSetGPIODirection(0, 1)" } },
        { 2, { "KTSetGPIO(1, 1)", "KTSetGPIODirection(0, 1)" } },
    };
    ASSERT_FALSE(bench::RunDir().empty()) << "run through scripts/winerun";
    for (const Case &c : cases) {
        bench::ClearKtapiJournal();
        ApplyPowerLine(c.alwaysOn);
        EXPECT_EQ(bench::KtapiJournal(), c.calls) << "alwaysOn " << c.alwaysOn;
    }
}

}  // namespace
