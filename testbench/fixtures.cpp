// fixtures.cpp - registry keys, port slots and the KTAPI journal for tests.
#include "fixtures.h"

#include <tlhelp32.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {

const wchar_t *const kSettingNames[13] = {
    L"GGA", L"GLL", L"GSA", L"GSV", L"RMC", L"VTG", L"GRS",
    L"GST", L"ZDA", L"GBS", L"DTM", L"SBAS", L"PWR"
};

namespace {

const wchar_t kConfigKey[] = L"Kestrana";
const wchar_t kSettingsKey[] = L"Kestrana\\GPS";

HKEY OpenKey(bool settingsKey)
{
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, settingsKey ? kSettingsKey : kConfigKey, 0,
                  KEY_ALL_ACCESS, &key);
    return key;
}

std::wstring Env(const wchar_t *name)
{
    wchar_t value[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::wstring();
    return value;
}

// The slot folder that currently holds the stand-in for "what".
const wchar_t *SlotName(Com3 what)
{
    switch (what) {
    case Com3::Cable: return L"slot.cable";
    case Com3::Missing: return L"slot.missing";
    case Com3::NoDcb: return L"slot.null";
    case Com3::Folder: return L"slot.dir";
    }
    return L"slot.cable";
}

Com3 g_plugged = Com3::Cable;

}  // namespace

void DeleteKestranaKeys()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kConfigKey);
}

void CreateKestranaKeys()
{
    DeleteKestranaKeys();
    HKEY key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegCloseKey(key);
}

void DeleteSettingsKey()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey);
}

void SetRawValue(bool settingsKey, const std::wstring &name, DWORD type, const void *data, DWORD size)
{
    HKEY key = OpenKey(settingsKey);
    if (key == nullptr)
        return;
    RegSetValueExW(key, name.c_str(), 0, type, (const BYTE *)data, size);
    RegCloseKey(key);
}

void SetConfigGPS(DWORD selector)
{
    SetRawValue(false, L"ConfigGPS", REG_DWORD, &selector, sizeof(selector));
}

void DeleteConfigGPS()
{
    HKEY key = OpenKey(false);
    if (key == nullptr)
        return;
    RegDeleteValueW(key, L"ConfigGPS");
    RegCloseKey(key);
}

void SetSetting(const std::wstring &name, DWORD flag)
{
    SetRawValue(true, name, REG_DWORD, &flag, sizeof(flag));
}

void SetAllSettings(DWORD flag)
{
    for (const wchar_t *name : kSettingNames)
        SetSetting(name, flag);
}

std::optional<DWORD> GetSetting(const std::wstring &name)
{
    HKEY key = OpenKey(true);
    if (key == nullptr)
        return std::nullopt;
    DWORD value = 0, size = sizeof(value), type = 0;
    LONG result = RegQueryValueExW(key, name.c_str(), nullptr, &type, (BYTE *)&value, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value))
        return std::nullopt;
    return value;
}

std::wstring RunDir()
{
    return Env(L"RXBENCH_RUN");
}

// winerun starts the run with the cable in "slot" and the stand-ins in
// slot.null and slot.dir. Plugging renames folders: the current occupant of
// "slot" goes back to its own name, the wanted one moves into "slot".
bool PlugCom3(Com3 what)
{
    std::wstring run = RunDir();
    if (run.empty())
        return false;
    if (what == g_plugged)
        return true;
    std::wstring slot = run + L"\\slot";
    if (g_plugged != Com3::Missing &&
        !MoveFileW(slot.c_str(), (run + L"\\" + SlotName(g_plugged)).c_str()))
        return false;
    g_plugged = what;
    if (what == Com3::Missing)
        return true;
    return MoveFileW((run + L"\\" + SlotName(what)).c_str(), slot.c_str()) != 0;
}

bool RefuseLineSettings(bool on)
{
    std::wstring run = RunDir();
    if (run.empty())
        return false;
    std::wstring flag = run + L"\\fail-tcsetattr";
    if (!on)
        return DeleteFileW(flag.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    HANDLE file = CreateFileW(flag.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

DCB Com3Dcb()
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    HANDLE port = CreateFileW(L"COM3:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        GetCommState(port, &dcb);
        CloseHandle(port);
    }
    return dcb;
}

bool SetCom3Rate(DWORD rate)
{
    HANDLE port = CreateFileW(L"COM3:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return false;
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    bool done = GetCommState(port, &dcb);
    dcb.BaudRate = rate;
    done = done && SetCommState(port, &dcb);
    CloseHandle(port);
    return done;
}

// winerun keeps the cable process's Unix process id in socat.pid; Wine
// starts a Unix program given by its Unix path.
bool HangUpCable()
{
    std::wstring run = RunDir();
    if (run.empty())
        return false;
    unsigned long pid = 0;
    FILE *pidFile = _wfopen((run + L"\\socat.pid").c_str(), L"r");
    if (pidFile == nullptr)
        return false;
    int read = fscanf(pidFile, "%lu", &pid);
    fclose(pidFile);
    if (read != 1 || pid == 0)
        return false;
    std::wstring command = L"/bin/kill " + std::to_wstring(pid);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    WaitForSingleObject(info.hProcess, 5000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    // Gone once its /proc entry is (or only a zombie is left of it).
    std::wstring stat = L"Z:\\proc\\" + std::to_wstring(pid) + L"\\stat";
    for (int i = 0; i < 250; i++) {
        FILE *file = _wfopen(stat.c_str(), L"r");
        if (file == nullptr)
            return true;
        char state = 0;
        int fields = fscanf(file, "%*d %*s %c", &state);
        fclose(file);
        if (fields == 1 && (state == 'Z' || state == 'X'))
            return true;
        Sleep(20);
    }
    return false;
}

StreamInitFn LoadBootDriver(HMODULE *module)
{
    *module = LoadLibraryW(L"rxboot.dll");
    if (*module == nullptr)
        return nullptr;
    return reinterpret_cast<StreamInitFn>(reinterpret_cast<void *>(GetProcAddress(*module, "RXB_Init")));
}

std::vector<std::string> KtapiJournal()
{
    std::vector<std::string> lines;
    std::wstring path = Env(L"KTAPI_JOURNAL");
    if (path.empty())
        return lines;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lines;
    std::string text;
    char buffer[4096];
    DWORD got;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

void ClearKtapiJournal()
{
    std::wstring path = Env(L"KTAPI_JOURNAL");
    if (!path.empty())
        DeleteFileW(path.c_str());
}

bool ImportDriverRegistration()
{
    // A Platform Builder .reg fragment has no header line; regedit wants one.
    std::ifstream fragment("Z:" RX_SOURCE_DIR "/platform/rxboot.reg", std::ios::binary);
    wchar_t temp[MAX_PATH];
    std::wstring file = RunDir().empty() && GetTempPathW(MAX_PATH, temp) ? temp : RunDir() + L"\\";
    file += L"rxboot-registration.reg";
    {
        std::ofstream out(std::string(file.begin(), file.end()), std::ios::binary);  // ASCII paths
        if (!fragment.is_open() || !(out << "REGEDIT4\r\n\r\n" << fragment.rdbuf()))
            return false;
    }
    std::wstring command = L"regedit.exe /S \"" + file + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    DWORD code = 1;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    DeleteFileW(file.c_str());
    return code == 0;
}

int ThreadCount()
{
    DWORD pid = GetCurrentProcessId();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    int count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == pid)
            count++;
    }
    CloseHandle(snapshot);
    return count;
}

// Wine does not implement GetProcessHandleCount; ask about every handle
// value instead (handles are multiples of 4; a test process has a few
// hundred at most).
DWORD HandleCount()
{
    DWORD count = 0, flags;
    for (UINT_PTR value = 4; value < 0x10000; value += 4) {
        if (GetHandleInformation((HANDLE)value, &flags))
            count++;
    }
    return count;
}

}  // namespace bench
