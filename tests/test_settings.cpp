// The settings store and the power line, against the real registry and the
// KTAPI stand-in. (Values of other types and sizes, and odd baud selectors,
// are read through the programs in Faults.OddSettingValuesReachTheBootPassByTheirBytes
// and Transaction.OpenConfiguresThePortByEachProgramsRule.)
#include <gtest/gtest.h>

#include "debugcapture.h"
#include "fixtures.h"
#include "powerline.h"
#include "settings.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const wchar_t kFailLine[] = L"Test: RegOpenKeyEx Failed\r\n";

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
    EXPECT_EQ(ReadAll(), std::vector<DWORD>(kSettingCount, 0));
    EXPECT_EQ(bench::DebugLines(), std::vector<std::string>{ "Test: RegOpenKeyEx Failed\r\n" });
    bench::ClearDebugCapture();
    WriteSetting(0, 1);
    WriteSetting(13, 1);  // no such setting
    HKEY key;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana\\GPS", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_TRUE(bench::DebugCalls().empty());
}

// What reaches the registry: each position under its own name, a 4-byte
// REG_DWORD holding exactly the flag passed, and nothing else. Reading gives
// each back in its position, the absent ones (GLL, DTM) as 0.
TEST_F(SettingsStore, EachPositionIsStoredUnderItsNameExactlyAsPassed)
{
    const char *const names[kSettingCount] = { "GGA", "GLL", "GSA", "GSV", "RMC", "VTG", "GRS",
                                               "GST", "ZDA", "GBS", "DTM", "SBAS", "PWR" };
    std::vector<DWORD> flags(kSettingCount, 0);
    std::map<std::string, DWORD> expected, stored;
    for (int k = 0; k < kSettingCount; k++) {
        if (k == 1 || k == 10)
            continue;
        flags[k] = k == 0 ? 0 : k == kSettingPWR ? 2 : 100 + k;
        WriteSetting(k, flags[k]);
        expected[names[k]] = flags[k];
    }
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
