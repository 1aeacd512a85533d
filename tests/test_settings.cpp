// The settings store and the power line, against the real registry and the
// KTAPI stand-in.
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

TEST_F(SettingsStore, ReadsEachValueIntoItsPositionAndAbsentOnesAsZero)
{
    bench::SetSetting(L"GLL", 1);
    bench::SetSetting(L"DTM", 1);
    bench::SetSetting(L"SBAS", 2);   // any non-zero value stays as stored
    bench::SetSetting(L"PWR", 7);
    std::vector<DWORD> expected(kSettingCount, 0);
    expected[1] = 1;
    expected[10] = 1;
    expected[kSettingSBAS] = 2;
    expected[kSettingPWR] = 7;
    EXPECT_EQ(ReadAll(), expected);
    EXPECT_TRUE(bench::DebugLines().empty());
}

TEST_F(SettingsStore, MissingKeyLogsTheCallersLineAndReadsAllZero)
{
    bench::DeleteSettingsKey();
    EXPECT_EQ(ReadAll(), std::vector<DWORD>(kSettingCount, 0));
    EXPECT_EQ(bench::DebugLines(), std::vector<std::string>{ "Test: RegOpenKeyEx Failed\r\n" });
}

TEST_F(SettingsStore, ValuesThatCannotBeReadWholeAreOff)
{
    // Longer than 4 bytes: the query fails, and nothing of it may leak in.
    const BYTE eight[8] = { 1, 2, 3, 4, 5, 6, 7, 8 };
    bench::SetRawValue(true, L"GGA", REG_BINARY, eight, sizeof(eight));
    bench::SetRawValue(true, L"RMC", REG_SZ, L"on", 6);
    // Shorter values are read whole; the type is not looked at.
    const BYTE one = 1;
    bench::SetRawValue(true, L"VTG", REG_BINARY, &one, 1);
    std::vector<DWORD> flags = ReadAll();
    EXPECT_EQ(flags[0], 0u);
    EXPECT_EQ(flags[4], 0u);
    EXPECT_EQ(flags[5], 1u);
}

// What reaches the registry: each position under its own name, a 4-byte
// REG_DWORD holding exactly the flag passed, and nothing else; reading
// gives each back in its position.
TEST_F(SettingsStore, EachPositionIsStoredUnderItsNameExactlyAsPassed)
{
    const char *const names[kSettingCount] = { "GGA", "GLL", "GSA", "GSV", "RMC", "VTG", "GRS",
                                               "GST", "ZDA", "GBS", "DTM", "SBAS", "PWR" };
    std::vector<DWORD> flags;
    for (int k = 0; k < kSettingCount; k++) {
        flags.push_back(k == 0 ? 0 : k == kSettingPWR ? 2 : 100 + k);
        WriteSetting(k, flags.back());
    }
    std::map<std::string, DWORD> expected, stored;
    for (int k = 0; k < kSettingCount; k++)
        expected[names[k]] = flags[k];
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana\\GPS", 0, KEY_READ, &key), ERROR_SUCCESS);
    for (DWORD i = 0;; i++) {
        wchar_t name[32];
        DWORD nameLength = 32, type = 0, value = 0, size = 8;
        BYTE data[8];
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        memcpy(&value, data, sizeof(value));
        EXPECT_EQ(type, (DWORD)REG_DWORD) << i;
        EXPECT_EQ(size, 4u) << i;
        stored[std::string(name, name + nameLength)] = value;
    }
    RegCloseKey(key);
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(ReadAll(), flags);
}

TEST_F(SettingsStore, WriteWithoutTheKeyStoresAndLogsNothingAndCreatesNoKey)
{
    bench::DeleteSettingsKey();
    WriteSetting(0, 1);
    WriteSetting(13, 1);  // no such setting
    EXPECT_FALSE(bench::GetSetting(L"GGA").has_value());
    HKEY key;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana\\GPS", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_TRUE(bench::DebugCalls().empty());
}

TEST_F(SettingsStore, BaudSelectorDefaultsToTwoUnlessReadWhole)
{
    DWORD selector = 0;
    EXPECT_EQ(ReadBaudSelector(&selector), kSelectorUnreadable);
    EXPECT_EQ(selector, 2u);

    bench::SetConfigGPS(1);
    EXPECT_EQ(ReadBaudSelector(&selector), kSelectorRead);
    EXPECT_EQ(selector, 1u);

    bench::SetConfigGPS(0xFFFFFFFF);
    EXPECT_EQ(ReadBaudSelector(&selector), kSelectorRead);
    EXPECT_EQ(selector, 0xFFFFFFFFu);

    const BYTE eight[8] = { 1, 0, 0, 0, 9, 9, 9, 9 };
    bench::SetRawValue(false, L"ConfigGPS", REG_QWORD, eight, sizeof(eight));
    EXPECT_EQ(ReadBaudSelector(&selector), kSelectorUnreadable);
    EXPECT_EQ(selector, 2u);

    bench::DeleteKestranaKeys();
    EXPECT_EQ(ReadBaudSelector(&selector), kSelectorKeyMissing);
    EXPECT_EQ(selector, 2u);
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
