// settings.cpp - the settings store.
//
// HKEY_LOCAL_MACHINE\Kestrana\GPS holds one REG_DWORD flag per setting;
// HKEY_LOCAL_MACHINE\Kestrana holds the baud selector "ConfigGPS", which this
// system only reads. The installation creates both keys; nothing here creates
// a key. Each call opens and closes its key; no state is kept.
//
// A recorded setting is flushed before its key is closed: Windows Mobile
// keeps the registry in hives that it writes out only when asked (the shell
// asks on idle, on the power button and when a control panel closes), and a
// value still in memory at a soft reset or a battery pull is lost. The boot
// driver would then re-apply the old choice and save it to the receiver's
// BBR. A failed flush is not reported: the value is set all the same, and
// the next flush (the shell's, or the next setting's) takes it along.
#include "settings.h"

static const WCHAR kSettingsKey[] = L"Kestrana\\GPS";
static const WCHAR kConfigKey[] = L"Kestrana";

const WCHAR *const kSettingName[kSettingCount] = {
    L"GGA", L"GLL", L"GSA", L"GSV", L"RMC", L"VTG", L"GRS",
    L"GST", L"ZDA", L"GBS", L"DTM", L"SBAS", L"PWR"
};

// A value counts only when it was read whole into 4 bytes; a failed query
// (absent, longer than 4 bytes) leaves *value as it was, never half-written.
static BOOL QueryDword(HKEY key, const WCHAR *name, DWORD *value)
{
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExW(key, name, NULL, NULL, (BYTE *)&data, &size) != ERROR_SUCCESS)
        return FALSE;
    *value = data;
    return TRUE;
}

void ReadAllSettings(DWORD flags[kSettingCount], const WCHAR *openFailedLine)
{
    HKEY key;

    for (int k = 0; k < kSettingCount; k++)
        flags[k] = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, RX_REG_READ, &key) != ERROR_SUCCESS) {
        DebugPrint(openFailedLine);
        return;
    }
    for (int k = 0; k < kSettingCount; k++)
        QueryDword(key, kSettingName[k], &flags[k]);
    RegCloseKey(key);
}

void WriteSetting(int position, DWORD flag)
{
    HKEY key;

    if (position < 0 || position >= kSettingCount)
        return;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, RX_REG_WRITE, &key) != ERROR_SUCCESS)
        return;
    if (RegSetValueExW(key, kSettingName[position], 0, REG_DWORD, (const BYTE *)&flag, sizeof(flag)) == ERROR_SUCCESS)
        RegFlushKey(key);
    RegCloseKey(key);
}

BaudSelectorSource ReadBaudSelector(DWORD *selector)
{
    HKEY key;

    *selector = 2;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, RX_REG_READ, &key) != ERROR_SUCCESS)
        return kSelectorKeyMissing;
    BOOL read = QueryDword(key, L"ConfigGPS", selector);
    RegCloseKey(key);
    return read ? kSelectorRead : kSelectorUnreadable;
}
