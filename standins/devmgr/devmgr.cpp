// devmgr.cpp - devmgr.exe, what the handheld's device manager does for a
// built-in stream driver, as a desktop program.
//
//   devmgr.exe [--key Drivers\BuiltIn\<Name>] [--bus <hex>] [--exercise] [--unload]
//
// For each driver entry under HKEY_LOCAL_MACHINE\Drivers\BuiltIn (every
// entry in load order, or only the one named by --key):
//   1. read "Dll" (REG_SZ), "Prefix" (REG_SZ, three characters; without it
//      the entry points carry no prefix), "Order" (REG_DWORD, smaller first,
//      entries without it after all others, equal ones as the registry
//      lists them: the bus enumerator takes them in that order), "Index"
//      (REG_DWORD, 0..9; without it the first index from 1 that no device
//      with this prefix loaded in this run has taken) and "Flags" (REG_DWORD,
//      0 without it). Of the flags, DEVFLAGS_NOLOAD (4) and
//      DEVFLAGS_BOOTPHASE_1 (0x1000: loaded in the boot phase, before the
//      system hive, and never again; this program is the second phase) mean
//      the entry is not loaded, which is no failure; DEVFLAGS_LOADLIBRARY (2)
//      changes nothing here and DEVFLAGS_NAKEDENTRIES (8) drops the prefix
//      from the entry point names; any other flag is refused, as this
//      program does not do what it asks;
//   2. load the library by name and look up <Prefix>_Init, _Deinit, _Open,
//      _Close, _Read, _Write, _Seek and _IOControl. Init and Deinit are
//      required, and for a named device (one with a prefix) Open, Close and
//      at least one of the other four: without them the device manager
//      refuses the library before calling anything in it;
//   3. create the device's active key HKEY_LOCAL_MACHINE\Drivers\Active\NN
//      with "Key" (the entry's path) and "Name" ("<Prefix><Index>:");
//   4. call <Prefix>_Init(active key path, bus context) on a thread of its
//      own and wait for it. A result of 0 means the driver failed: its active
//      key is removed and the library unloaded at once, as on the handheld.
//      A device name that a device of this run already has fails the same way.
// --exercise then drives the other entry points once each like an
// application that opens the device (Open, Read, Write, Seek, IOControl,
// Close) and deactivates it (Deinit); --unload frees the library at the end
// (a device still up is deinitialised first). Active keys left when the
// program ends are removed: the devices go away with it. A run that was
// killed cannot remove its keys; as a real device manager starts each boot
// with an empty active list, every run first removes whatever is under
// HKEY_LOCAL_MACHINE\Drivers\Active (one line says so when there was any).
//
// Every step is one line on standard output, written at once. Exit code 0
// when every driver initialised, 1 when any did not (or none was found),
// 2 for a bad command line.
//
// Threads: the main thread does everything but the Init call; each Init runs
// on a thread of its own, which reads the InitCall it is handed and writes
// only its result, and is waited for before the main thread reads that.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const wchar_t kBuiltIn[] = L"Drivers\\BuiltIn";
const wchar_t kActive[] = L"Drivers\\Active";
const DWORD kNoOrder = 0xFFFFFFFF;  // sorts after every Order value
const DWORD kNoIndex = 0xFFFFFFFF;

// The "Flags" bits this program knows (the device manager's DEVFLAGS_*).
const DWORD kFlagLoadLibrary = 0x2;
const DWORD kFlagNoLoad = 0x4;
const DWORD kFlagNakedEntries = 0x8;
const DWORD kFlagBootPhase1 = 0x1000;
const DWORD kFlagsModelled = kFlagLoadLibrary | kFlagNoLoad | kFlagNakedEntries | kFlagBootPhase1;

// ---- the stream interface ----

typedef DWORD (*InitFn)(LPCWSTR, LPCVOID);
typedef BOOL (*DeinitFn)(DWORD);
typedef DWORD (*OpenFn)(DWORD, DWORD, DWORD);
typedef BOOL (*CloseFn)(DWORD);
typedef DWORD (*ReadFn)(DWORD, LPVOID, DWORD);
typedef DWORD (*WriteFn)(DWORD, LPCVOID, DWORD);
typedef DWORD (*SeekFn)(DWORD, long, WORD);
typedef BOOL (*IOControlFn)(DWORD, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD);

// An entry point as its real type (through void (*)(), which any function
// pointer converts to without a warning).
template <typename Fn>
Fn As(FARPROC entry)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(entry));
}

enum Entry { kInit, kDeinit, kOpen, kClose, kRead, kWrite, kSeek, kIOControl, kEntryCount };
const wchar_t *const kEntryNames[kEntryCount] = {L"Init",  L"Deinit", L"Open", L"Close",
                                                 L"Read",  L"Write",  L"Seek", L"IOControl"};

// What --exercise hands the driver.
const DWORD kOpenAccess = GENERIC_READ | GENERIC_WRITE;
const DWORD kOpenShare = 0;
const BYTE kPattern = 0xA5;        // prefilled into every output buffer
const DWORD kPatternCount = 0xA5A5A5A5;
const DWORD kReadSize = 64;
const char kWriteData[] = "devmgr test data";
const long kSeekAmount = 16;
const WORD kSeekType = FILE_BEGIN;
const DWORD kIoctlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD kIoctlOutSize = 16;

struct Options {
    std::wstring key;  // empty: every entry under BuiltIn
    DWORD busContext = 0;
    bool exercise = false;
    bool unload = false;
};

struct Driver {
    std::wstring key;  // e.g. Drivers\BuiltIn\RXBoot
    std::wstring dll;
    std::wstring prefix;
    DWORD order = kNoOrder;
    DWORD index = kNoIndex;
    DWORD flags = 0;
    bool skipped = false;  // not loaded, by its flags
    HMODULE module = nullptr;
    FARPROC entries[kEntryCount] = {};
    std::wstring activeKey;  // e.g. Drivers\Active\01
    DWORD deviceContext = 0;
};

struct InitCall {
    InitFn init;
    const wchar_t *activeKey;
    LPCVOID busContext;
    DWORD result;
};

// ---- output ----

void Report(const wchar_t *format, ...)
{
    wchar_t line[1024];
    va_list args;
    va_start(args, format);
    int length = _vsnwprintf(line, 1020, format, args);
    va_end(args);
    if (length < 0)
        length = 1020;
    line[length] = L'\0';
    std::wstring text = std::wstring(L"devmgr: ") + line + L"\r\n";
    int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? (size_t)size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), (int)text.size(), &narrow[0], size, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), narrow.data(), (DWORD)narrow.size(), &written, nullptr);
}

void Usage()
{
    fputs("usage: devmgr.exe [--key Drivers\\BuiltIn\\<Name>] [--bus <hex>] [--exercise] [--unload]\n"
          "Loads built-in stream drivers the way the handheld's device manager does:\n"
          "every entry under HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn in \"Order\", or only --key.\n"
          "  --key PATH   one entry (relative to HKEY_LOCAL_MACHINE, or a bare entry name)\n"
          "  --bus HEX    bus context handed to <Prefix>_Init (default 0)\n"
          "  --exercise   then Open, Read, Write, Seek, IOControl, Close and Deinit once each\n"
          "  --unload     then free the library (Deinit first if the device is still up)\n"
          "Exit code: 0 when every driver initialised, 1 otherwise, 2 for a bad command line.\n",
          stderr);
}

bool ParseOptions(int argc, wchar_t **argv, Options *options)
{
    for (int i = 1; i < argc; i++) {
        std::wstring arg = argv[i];
        if (arg == L"--key" && i + 1 < argc) {
            options->key = argv[++i];
        } else if (arg == L"--bus" && i + 1 < argc) {
            wchar_t *end = nullptr;
            options->busContext = wcstoul(argv[++i], &end, 16);
            if (end == argv[i] || *end != L'\0')
                return false;
        } else if (arg == L"--exercise") {
            options->exercise = true;
        } else if (arg == L"--unload") {
            options->unload = true;
        } else {
            return false;
        }
    }
    return true;
}

// "HKEY_LOCAL_MACHINE\Drivers\BuiltIn\X", "HKLM\...", "Drivers\BuiltIn\X"
// or just "X", as a path under HKEY_LOCAL_MACHINE.
std::wstring EntryPath(std::wstring key)
{
    for (const wchar_t *root : {L"HKEY_LOCAL_MACHINE\\", L"HKLM\\"}) {
        size_t n = wcslen(root);
        if (key.size() > n && _wcsnicmp(key.c_str(), root, n) == 0)
            key.erase(0, n);
    }
    if (key.find(L'\\') == std::wstring::npos)
        key = std::wstring(kBuiltIn) + L"\\" + key;
    return key;
}

// ---- registry ----

bool ReadString(HKEY key, const wchar_t *name, std::wstring *value)
{
    wchar_t buffer[MAX_PATH] = {};
    DWORD type = 0, size = sizeof(buffer) - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)buffer, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    *value = buffer;
    return true;
}

bool ReadDword(HKEY key, const wchar_t *name, DWORD *value)
{
    DWORD type = 0, size = sizeof(*value);
    return RegQueryValueExW(key, name, nullptr, &type, (BYTE *)value, &size) == ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof(*value);
}

bool ReadEntry(const std::wstring &path, Driver *driver)
{
    driver->key = path;
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (result != ERROR_SUCCESS) {
        Report(L"%ls: cannot open the entry: error %ld", path.c_str(), result);
        return false;
    }
    bool good = ReadString(key, L"Dll", &driver->dll);
    bool hasPrefix = ReadString(key, L"Prefix", &driver->prefix);
    ReadDword(key, L"Order", &driver->order);
    ReadDword(key, L"Index", &driver->index);
    ReadDword(key, L"Flags", &driver->flags);
    RegCloseKey(key);

    wchar_t order[16] = L"none", index[16] = L"none";
    if (driver->order != kNoOrder)
        _snwprintf(order, 15, L"%lu", driver->order);
    if (driver->index != kNoIndex)
        _snwprintf(index, 15, L"%lu", driver->index);
    Report(L"%ls: Dll=%ls Prefix=%ls Order=%ls Index=%ls Flags=0x%lX", path.c_str(),
           good ? driver->dll.c_str() : L"(none)", hasPrefix ? driver->prefix.c_str() : L"(none)", order, index,
           driver->flags);
    if (!good) {
        Report(L"%ls: no \"Dll\" string: not a driver entry", path.c_str());
        return false;
    }
    if (hasPrefix && driver->prefix.size() != 3) {
        Report(L"%ls: \"Prefix\" must have three characters", path.c_str());
        return false;
    }
    if (driver->index != kNoIndex && driver->index > 9) {
        Report(L"%ls: \"Index\" must be 0 to 9", path.c_str());
        return false;
    }
    if (driver->flags & ~kFlagsModelled) {
        Report(L"%ls: \"Flags\" 0x%lX: this program does not do what 0x%lX asks", path.c_str(), driver->flags,
               driver->flags & ~kFlagsModelled);
        return false;
    }
    if (driver->flags & (kFlagNoLoad | kFlagBootPhase1)) {
        Report(L"%ls: not loaded (%ls)", path.c_str(),
               driver->flags & kFlagNoLoad ? L"DEVFLAGS_NOLOAD" : L"DEVFLAGS_BOOTPHASE_1: the boot phase only");
        driver->skipped = true;
    }
    return true;
}

std::vector<std::wstring> BuiltInEntries()
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBuiltIn, 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; i++) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(std::wstring(kBuiltIn) + L"\\" + name);
    }
    RegCloseKey(key);
    return names;
}

// Creates the next free Drivers\Active\NN with the device's values.
bool CreateActiveKey(Driver *driver, const std::wstring &deviceName)
{
    for (int n = 1; n < 100; n++) {
        wchar_t path[64];
        _snwprintf(path, 63, L"%ls\\%02d", kActive, n);
        path[63] = L'\0';
        HKEY key = nullptr;
        DWORD disposition = 0;
        LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                      &disposition);
        if (result != ERROR_SUCCESS) {
            Report(L"cannot create %ls: error %ld", path, result);
            return false;
        }
        if (disposition != REG_CREATED_NEW_KEY) {
            RegCloseKey(key);
            continue;
        }
        RegSetValueExW(key, L"Key", 0, REG_SZ, (const BYTE *)driver->key.c_str(),
                       (DWORD)((driver->key.size() + 1) * sizeof(wchar_t)));
        if (!deviceName.empty())
            RegSetValueExW(key, L"Name", 0, REG_SZ, (const BYTE *)deviceName.c_str(),
                           (DWORD)((deviceName.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        driver->activeKey = path;
        Report(L"active key %ls: Key=%ls Name=%ls", path, driver->key.c_str(),
               deviceName.empty() ? L"(none)" : deviceName.c_str());
        return true;
    }
    Report(L"no free key under %ls", kActive);
    return false;
}

// A boot starts with no device up: the keys of an earlier run that ended
// without removing them (killed, say) go.
void ClearActiveList()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kActive, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    DWORD left = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &left, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    if (left == 0)
        return;
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kActive);
    Report(L"%lu active key(s) of an earlier run removed%ls", left, result == ERROR_SUCCESS ? L"" : L" (failed)");
}

void RemoveActiveKey(Driver *driver)
{
    if (driver->activeKey.empty())
        return;
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, driver->activeKey.c_str());
    Report(L"active key %ls removed%ls", driver->activeKey.c_str(), result == ERROR_SUCCESS ? L"" : L" (failed)");
    driver->activeKey.clear();
}

// ---- the driver's entry points ----

std::wstring EntryName(const Driver &driver, Entry entry)
{
    if (driver.prefix.empty() || (driver.flags & kFlagNakedEntries))
        return kEntryNames[entry];
    return driver.prefix + L"_" + kEntryNames[entry];
}

// What the device manager requires before it calls anything: Init and
// Deinit; for a named device also Open, Close and one I/O entry point.
bool HasRequiredEntries(const Driver &driver)
{
    const FARPROC *e = driver.entries;
    if (e[kInit] == nullptr || e[kDeinit] == nullptr)
        return false;
    if (driver.prefix.empty())
        return true;
    return e[kOpen] != nullptr && e[kClose] != nullptr &&
           (e[kRead] != nullptr || e[kWrite] != nullptr || e[kSeek] != nullptr || e[kIOControl] != nullptr);
}

// The desktop's GetProcAddress takes a narrow name (the handheld's a wide one).
FARPROC FindEntry(HMODULE module, const std::wstring &name)
{
    std::string narrow(name.begin(), name.end());  // entry names are ASCII
    return GetProcAddress(module, narrow.c_str());
}

bool LoadDriver(Driver *driver)
{
    driver->module = LoadLibraryW(driver->dll.c_str());
    if (driver->module == nullptr) {
        Report(L"LoadLibrary(%ls) failed: error %lu", driver->dll.c_str(), GetLastError());
        return false;
    }
    Report(L"LoadLibrary(%ls) = %p", driver->dll.c_str(), (void *)driver->module);
    std::wstring found, missing;
    for (int entry = 0; entry < kEntryCount; entry++) {
        std::wstring name = EntryName(*driver, (Entry)entry);
        driver->entries[entry] = FindEntry(driver->module, name);
        (driver->entries[entry] != nullptr ? found : missing) += L" " + name;
    }
    Report(L"exports found:%ls; missing:%ls", found.empty() ? L" none" : found.c_str(),
           missing.empty() ? L" none" : missing.c_str());
    if (!HasRequiredEntries(*driver)) {
        Report(L"%ls: not a stream driver the device manager loads (it needs Init and Deinit%ls)",
               driver->dll.c_str(),
               driver->prefix.empty() ? L"" : L", and for a named device Open, Close and Read, Write, Seek or IOControl");
        return false;
    }
    return true;
}

void UnloadDriver(Driver *driver)
{
    if (driver->module == nullptr)
        return;
    BOOL freed = FreeLibrary(driver->module);
    Report(L"FreeLibrary(%ls) = %d", driver->dll.c_str(), freed);
    driver->module = nullptr;
}

DWORD WINAPI InitThread(LPVOID param)
{
    InitCall *call = (InitCall *)param;
    call->result = call->init(call->activeKey, call->busContext);
    return 0;
}

bool InitDriver(Driver *driver, DWORD busContext)
{
    InitCall call = {As<InitFn>(driver->entries[kInit]), driver->activeKey.c_str(), (LPCVOID)(UINT_PTR)busContext, 0};
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, InitThread, &call, CREATE_SUSPENDED, &threadId);
    if (thread == nullptr) {
        Report(L"cannot create the Init thread: error %lu", GetLastError());
        return false;
    }
    std::wstring name = EntryName(*driver, kInit);
    Report(L"calling %ls(\"%ls\", 0x%08lX) on thread %lu (main thread %lu)", name.c_str(),
           driver->activeKey.c_str(), busContext, threadId, GetCurrentThreadId());
    DWORD started = GetTickCount();
    ResumeThread(thread);
    WaitForSingleObject(thread, INFINITE);
    DWORD elapsed = GetTickCount() - started;
    CloseHandle(thread);
    driver->deviceContext = call.result;
    Report(L"%ls returned 0x%08lX after %lu ms%ls", name.c_str(), call.result, elapsed,
           call.result != 0 ? L": device up" : L": initialisation failed");
    return call.result != 0;
}

// Describes how much of a prefilled buffer the driver changed.
std::wstring Touched(const BYTE *buffer, DWORD size)
{
    DWORD changed = 0;
    for (DWORD i = 0; i < size; i++)
        changed += buffer[i] != kPattern;
    if (changed == 0)
        return L"untouched";
    wchar_t text[64];
    _snwprintf(text, 63, L"%lu of %lu bytes changed", changed, size);
    text[63] = L'\0';
    return text;
}

bool Present(const Driver &driver, Entry entry)
{
    if (driver.entries[entry] != nullptr)
        return true;
    Report(L"%ls: not exported, skipped", EntryName(driver, entry).c_str());
    return false;
}

void Deinit(Driver *driver)
{
    if (Present(*driver, kDeinit)) {
        BOOL result = As<DeinitFn>(driver->entries[kDeinit])(driver->deviceContext);
        Report(L"%ls(0x%08lX) = %d", EntryName(*driver, kDeinit).c_str(), driver->deviceContext, result);
    }
    driver->deviceContext = 0;
    RemoveActiveKey(driver);
}

// An application's visit: open, read, write, seek, one I/O control, close;
// then the device is deactivated.
void Exercise(Driver *driver)
{
    const FARPROC *e = driver->entries;
    DWORD open = 0;
    if (Present(*driver, kOpen)) {
        open = As<OpenFn>(e[kOpen])(driver->deviceContext, kOpenAccess, kOpenShare);
        Report(L"%ls(0x%08lX, 0x%08lX, %lu) = 0x%08lX%ls", EntryName(*driver, kOpen).c_str(),
               driver->deviceContext, kOpenAccess, kOpenShare, open, open != 0 ? L"" : L": open failed");
    }
    if (open != 0) {
        if (Present(*driver, kRead)) {
            BYTE buffer[kReadSize];
            memset(buffer, kPattern, sizeof(buffer));
            DWORD got = As<ReadFn>(e[kRead])(open, buffer, kReadSize);
            Report(L"%ls(0x%08lX, buffer, %lu) = %lu; buffer %ls", EntryName(*driver, kRead).c_str(), open,
                   kReadSize, got, Touched(buffer, kReadSize).c_str());
        }
        if (Present(*driver, kWrite)) {
            DWORD size = sizeof(kWriteData) - 1;
            DWORD put = As<WriteFn>(e[kWrite])(open, kWriteData, size);
            Report(L"%ls(0x%08lX, \"%hs\", %lu) = %lu", EntryName(*driver, kWrite).c_str(), open, kWriteData,
                   size, put);
        }
        if (Present(*driver, kSeek)) {
            DWORD position = As<SeekFn>(e[kSeek])(open, kSeekAmount, kSeekType);
            Report(L"%ls(0x%08lX, %ld, %u) = %lu", EntryName(*driver, kSeek).c_str(), open, kSeekAmount,
                   (unsigned)kSeekType, position);
        }
        if (Present(*driver, kIOControl)) {
            BYTE in[4] = {1, 2, 3, 4};
            BYTE out[kIoctlOutSize];
            memset(out, kPattern, sizeof(out));
            DWORD actual = kPatternCount;
            BOOL result = As<IOControlFn>(e[kIOControl])(open, kIoctlCode, in, sizeof(in), out, kIoctlOutSize, &actual);
            wchar_t count[48] = L"untouched";
            if (actual != kPatternCount)
                _snwprintf(count, 47, L"%lu", actual);
            Report(L"%ls(0x%08lX, 0x%08lX, in %u, out %lu) = %d; output buffer %ls, output count %ls",
                   EntryName(*driver, kIOControl).c_str(), open, kIoctlCode, (unsigned)sizeof(in), kIoctlOutSize,
                   result, Touched(out, kIoctlOutSize).c_str(), count);
        }
        if (Present(*driver, kClose)) {
            BOOL closed = As<CloseFn>(e[kClose])(open);
            Report(L"%ls(0x%08lX) = %d", EntryName(*driver, kClose).c_str(), open, closed);
        }
    } else if (e[kOpen] != nullptr) {
        Report(L"no open context: Read, Write, Seek, IOControl and Close skipped");
    }
    Deinit(driver);
}

// The index a device without "Index" gets: the first from 1 that no device
// with the same prefix that is up has taken in this run.
DWORD ChooseIndex(const Driver &driver, const std::vector<std::wstring> &names)
{
    if (driver.index != kNoIndex)
        return driver.index;
    for (DWORD index = 1; index <= 9; index++) {
        std::wstring name = driver.prefix + std::to_wstring(index) + L":";
        if (std::find(names.begin(), names.end(), name) == names.end())
            return index;
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage();
        return 2;
    }

    ClearActiveList();
    std::vector<Driver> drivers;
    std::vector<std::wstring> paths;
    if (!options.key.empty())
        paths.push_back(EntryPath(options.key));
    else
        paths = BuiltInEntries();
    if (paths.empty()) {
        Report(L"no driver entries under HKEY_LOCAL_MACHINE\\%ls", kBuiltIn);
        return 1;
    }

    bool allUp = true;
    for (const std::wstring &path : paths) {
        Driver driver;
        if (ReadEntry(path, &driver))
            drivers.push_back(driver);
        else
            allUp = false;
    }
    // Smaller Order first; entries without Order last; equal ones in the
    // order the registry listed them.
    std::stable_sort(drivers.begin(), drivers.end(),
                     [](const Driver &a, const Driver &b) { return a.order < b.order; });

    std::vector<std::wstring> deviceNames;
    for (Driver &driver : drivers) {
        if (driver.skipped)
            continue;
        if (!LoadDriver(&driver)) {
            UnloadDriver(&driver);
            allUp = false;
            continue;
        }
        std::wstring deviceName;
        if (!driver.prefix.empty())
            deviceName = driver.prefix + std::to_wstring(ChooseIndex(driver, deviceNames)) + L":";
        bool nameFree = std::find(deviceNames.begin(), deviceNames.end(), deviceName) == deviceNames.end();
        if (!nameFree)
            Report(L"%ls: device %ls exists already", driver.key.c_str(), deviceName.c_str());
        if (!nameFree || !CreateActiveKey(&driver, deviceName) || !InitDriver(&driver, options.busContext)) {
            RemoveActiveKey(&driver);
            UnloadDriver(&driver);
            allUp = false;
            continue;
        }
        if (!deviceName.empty())
            deviceNames.push_back(deviceName);
        if (options.exercise)
            Exercise(&driver);
    }

    // Tear down in the reverse of the load order.
    for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) {
        Driver &driver = *it;
        if (options.unload && driver.module != nullptr) {
            if (driver.deviceContext != 0)
                Deinit(&driver);
            UnloadDriver(&driver);
        }
        RemoveActiveKey(&driver);
    }
    Report(L"%ls", allUp ? L"every driver initialised" : L"not every driver initialised");
    return allUp ? 0 : 1;
}
