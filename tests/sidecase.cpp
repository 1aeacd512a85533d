// sidecase.exe - one test case as tests/sidebyside_selftest.sh sees it; the
// script runs two at once through scripts/winerun, each in a pool slot of
// its own, and then two more in the same slots the other way round.
//   sidecase.exe NAME MEETING-FOLDER
// It checks that it starts from a clean prefix (no settings key, no COM9
// link, no program of an earlier case), leaves marks of its own (a value
// under the settings key, a line on its cable, a debug line, a program that
// stays running), says so with MEETING\NAME.ready, waits for MEETING\go
// (the case beside it has left its marks too) and checks that it sees only
// its own. Exit code: the number of failed checks.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "debugcapture.h"

namespace {

int g_failures;

void Check(bool ok, const std::string &what)
{
    if (!ok) {
        std::printf("FAIL: %s\n", what.c_str());
        g_failures++;
    }
}

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

// How many processes of each of these names this Wine server runs.
std::map<std::string, int> Processes()
{
    std::map<std::string, int> count = { { "sidecase.exe", 0 }, { "tapchild.exe", 0 } };
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        std::string name = Narrow(entry.szExeFile);
        if (count.count(name))
            count[name]++;
    }
    CloseHandle(snapshot);
    return count;
}

// Every value under the settings key, as name=text.
std::vector<std::string> SettingsValues()
{
    std::vector<std::string> values;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana\\GPS", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    wchar_t name[64], data[64];
    DWORD nameLength = 64, size = sizeof(data), type;
    for (DWORD i = 0; RegEnumValueW(key, i, name, &nameLength, nullptr, &type, (BYTE *)data, &size) == ERROR_SUCCESS;
         i++) {
        values.push_back(Narrow(name) + "=" + (type == REG_SZ ? Narrow(data) : "?"));
        nameLength = 64, size = sizeof(data);
    }
    RegCloseKey(key);
    return values;
}

HANDLE OpenPort(const wchar_t *name)
{
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool Exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        std::printf("usage: sidecase.exe NAME MEETING-FOLDER\n");
        return 100;
    }
    std::wstring name = argv[1], meeting = argv[2];
    std::string own = Narrow(name);
    bench::StartDebugCapture();

    // A clean start.
    HKEY key;
    Check(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana", 0, KEY_READ, &key) != ERROR_SUCCESS,
          "the settings key of an earlier case is there");
    HANDLE leftover = OpenPort(L"COM9:");
    Check(leftover == INVALID_HANDLE_VALUE, "the COM9 link of an earlier case is there");
    if (leftover != INVALID_HANDLE_VALUE)
        CloseHandle(leftover);
    std::map<std::string, int> alone = { { "sidecase.exe", 1 }, { "tapchild.exe", 0 } };
    Check(Processes() == alone, "programs of another case run beside this one at its start");

    // Its marks.
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Kestrana\\GPS", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExW(key, L"Case", 0, REG_SZ, (const BYTE *)name.c_str(), (DWORD)(name.size() + 1) * sizeof(wchar_t));
    RegCloseKey(key);
    HANDLE farEnd = OpenPort(L"COM4:"), nearEnd = OpenPort(L"COM3:");
    Check(farEnd != INVALID_HANDLE_VALUE && nearEnd != INVALID_HANDLE_VALUE, "this case's cable does not open");
    std::string line = own + "\r\n";
    DWORD done = 0;
    Check(WriteFile(nearEnd, line.data(), (DWORD)line.size(), &done, nullptr) && done == line.size(),
          "writing to COM3: failed");
    OutputDebugStringA(("sidecase " + own + "\r\n").c_str());
    std::wstring child = L"tapchild.exe hang";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    Check(CreateProcessW(nullptr, &child[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info),
          "tapchild.exe did not start");

    HANDLE ready = CreateFileW((meeting + L"\\" + name + L".ready").c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, 0, nullptr);
    CloseHandle(ready);
    for (int i = 0; i < 600 && !Exists(meeting + L"\\go"); i++)
        Sleep(100);
    Check(Exists(meeting + L"\\go"), "the case beside this one never got ready");

    // Only its own marks.
    Check(SettingsValues() == std::vector<std::string>{ "Case=" + own }, "the settings key holds another case's value");
    COMMTIMEOUTS timeouts = { 0, 0, 300, 0, 0 };
    SetCommTimeouts(farEnd, &timeouts);
    char buffer[256];
    DWORD got = 0;
    ReadFile(farEnd, buffer, sizeof(buffer), &got, nullptr);
    Check(std::string(buffer, got) == line, "COM4: brought \"" + std::string(buffer, got) + "\"");
    Check(bench::DebugCalls() == std::vector<std::string>{ "sidecase " + own + "\r\n" },
          "the debug output holds another case's lines");
    std::map<std::string, int> own_programs = { { "sidecase.exe", 1 }, { "tapchild.exe", 1 } };
    Check(Processes() == own_programs, "programs of another case run beside this one");
    CloseHandle(nearEnd);
    CloseHandle(farEnd);
    std::printf("%s: %d failed\n", own.c_str(), g_failures);
    return g_failures;
}
