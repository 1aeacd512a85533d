// armsession.cpp - starts testbench/armbench from Wine and serves its
// requests. See armsession.h for what goes where; the line protocol is
// described in testbench/armbench/host.py.
// (Winsock's header must come before windows.h.)
#include <winsock2.h>

#include "armsession.h"

#include <cstdio>
#include <sstream>

namespace bench {

namespace {

const DWORD kStartTimeoutMs = 30000;
const DWORD kHkeyLocalMachine = 0x80000002;

std::string Hex(const void *data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    if (size == 0)
        return "-";
    std::string text;
    for (size_t i = 0; i < size; i++) {
        uint8_t b = ((const uint8_t *)data)[i];
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::vector<uint8_t> Unhex(const std::string &text)
{
    std::vector<uint8_t> bytes;
    if (text == "-")
        return bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back((uint8_t)std::stoul(text.substr(i, 2), nullptr, 16));
    return bytes;
}

std::wstring Wide(const std::vector<uint8_t> &utf8)
{
    if (utf8.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, (const char *)utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring text(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, (const char *)utf8.data(), (int)utf8.size(), &text[0], n);
    return text;
}

std::vector<std::string> Words(const std::string &line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word)
        words.push_back(word);
    return words;
}

// Where Wine's "COM3:" leads: the prefix's device link (this run's cable
// slot, or the serial device a manual run put there).
std::string UnixCom3()
{
    char prefix[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("WINEPREFIX", prefix, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::string();
    return std::string(prefix) + "/dosdevices/com3";
}

std::wstring BesideTest(const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    return folder + name;
}

typedef int(WINAPI *KtapiFn)(int, int);

}  // namespace

ArmImage HandheldDriver()
{
    // A copy with a planted fault (tests/handheld/armbench_faults.sh) runs
    // in its place; its code keeps the ELF file's layout.
    char planted[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("RX_ARM_DRIVER", planted, MAX_PATH);
    std::string image = n > 0 && n < MAX_PATH ? planted : RX_HANDHELD_DIR "/bin/rxboot.dll";
    return { image, RX_HANDHELD_DIR "/handheld/link/rxboot.dll.elf" };
}

ArmImage HandheldProgram()
{
    return { RX_HANDHELD_DIR "/bin/rxconf.exe", RX_HANDHELD_DIR "/handheld/link/rxconf.exe.elf" };
}

ArmSession::~ArmSession()
{
    End("");
    if (reader_.joinable())
        reader_.join();
    if (socket_ != INVALID_SOCKET_VALUE)
        closesocket((SOCKET)socket_);
    for (auto &key : keys_)
        RegCloseKey(key.second);
    if (ktapi_ != nullptr)
        FreeLibrary(ktapi_);
}

bool ArmSession::Running() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return socket_ != INVALID_SOCKET_VALUE && !gone_;
}

std::string ArmSession::Problem() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return problem_;
}

void ArmSession::End(const std::string &problem)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!problem.empty() && problem_.empty())
        problem_ = problem;
    gone_ = true;
    if (socket_ != INVALID_SOCKET_VALUE)
        shutdown((SOCKET)socket_, SD_BOTH);   // the bench ends when its connection does
    changed_.notify_all();
}

bool ArmSession::Start(const ArmImage &image, const ArmOptions &options)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        problem_ = "no Winsock";
        return false;
    }
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (listener == INVALID_SOCKET || bind(listener, (sockaddr *)&address, sizeof(address)) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, (sockaddr *)&address, &length) != 0) {
        problem_ = "no local socket for the bench";
        closesocket(listener);
        return false;
    }

    std::string command = "/usr/bin/python3 \"" RX_SOURCE_DIR "/testbench/armbench/armbench.py\" \"" + image.image +
                          "\" --core " + options.core + " --connect 127.0.0.1:" +
                          std::to_string(ntohs(address.sin_port));
    if (!image.elf.empty())
        command += " --elf \"" + image.elf + "\"";
    if (options.virtualTime)
        command += " --virtual-time";
    std::string com3 = UnixCom3();
    if (options.com3 && !com3.empty())
        command += " --device \"COM3:=" + com3 + "\"";
    // Wine starts a native program given by its path, and hands back no
    // process or thread: it returns TRUE but leaves PROCESS_INFORMATION
    // holding whatever its own stack held (non-zero on the 32-bit build).
    // Nothing in it is ours to close; a value taken for a handle could be a
    // live one of ours (the listening socket), and under a debugger the
    // close of an invalid one raises. The connection is the bench's lifeline.
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION unused = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &unused)) {
        problem_ = "the bench does not start: error " + std::to_string(GetLastError());
        closesocket(listener);
        return false;
    }

    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener, &ready);
    timeval wait = { (long)(kStartTimeoutMs / 1000), 0 };
    if (select(0, &ready, nullptr, nullptr, &wait) != 1) {
        problem_ = "the bench did not connect within 30 s: " + command;
        closesocket(listener);
        return false;
    }
    SOCKET connection = accept(listener, nullptr, nullptr);
    closesocket(listener);
    if (connection == INVALID_SOCKET) {
        problem_ = "the bench's connection failed";
        return false;
    }
    socket_ = (UINT_PTR)connection;
    reader_ = std::thread([this] { Read(); });
    std::vector<std::string> words;
    if (!Answer(&words))
        return false;
    if (words[0] != "ready") {
        End("the bench answered: " + words[0]);
        return false;
    }
    return true;
}

bool ArmSession::SendLine(const std::string &line)
{
    std::lock_guard<std::mutex> lock(sending_);
    std::string text = line + "\n";
    for (size_t sent = 0; sent < text.size();) {
        int n = send((SOCKET)socket_, text.data() + sent, (int)(text.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

// The reader thread: requests are served here, answers queued, the end of
// the program noted; it ends with the connection.
void ArmSession::Read()
{
    std::string pending;
    for (;;) {
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            std::vector<std::string> words = Words(line);
            if (words.empty())
                continue;
            const std::string &kind = words[0];
            if (kind == "fault" || kind == "refused" || kind == "unloaded") {
                std::vector<uint8_t> text = Unhex(words.size() > 1 ? words[1] : "-");
                End(kind + ": " + std::string(text.begin(), text.end()));
            } else if (kind == "exit") {
                std::lock_guard<std::mutex> lock(mutex_);
                exited_ = true;
                exitCode_ = (DWORD)std::stoul(words.at(1));
                changed_.notify_all();
            } else if (kind == "ret" || kind == "ok" || kind == "ready") {
                std::lock_guard<std::mutex> lock(mutex_);
                answers_.push_back(words);
                changed_.notify_all();
            } else if (!Serve(words)) {
                End("the bench asked for what the host does not know: " + line);
            }
        }
        char buffer[4096];
        int n = recv((SOCKET)socket_, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        pending.append(buffer, n);
    }
    End("the bench went away");
}

bool ArmSession::Answer(std::vector<std::string> *words)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !answers_.empty() || gone_; });
    if (answers_.empty())
        return false;
    *words = answers_.front();
    answers_.pop_front();
    return true;
}

bool ArmSession::Command(const std::string &line, std::vector<std::string> *words)
{
    if (!Running() || !SendLine(line))
        return false;
    return Answer(words);
}

bool ArmSession::Serve(const std::vector<std::string> &request)
{
    const std::string &kind = request[0];
    auto number = [&](size_t i) { return (DWORD)std::stoul(request.at(i), nullptr, 0); };
    auto key = [&](size_t i) -> HKEY {
        DWORD id = number(i);
        if (id == kHkeyLocalMachine)
            return HKEY_LOCAL_MACHINE;
        auto found = keys_.find(id);
        return found == keys_.end() ? nullptr : found->second;
    };
    auto reply = [&](const std::string &answer) { return SendLine("= " + answer); };
    if (kind == "debug") {
        OutputDebugStringW(Wide(Unhex(request.at(1))).c_str());
        return true;
    }
    if (kind == "entered") {
        if (onEntered)
            onEntered();
        return true;
    }
    if (kind == "regopen") {
        HKEY opened = nullptr;
        // Windows CE ignores the access mask; the desktop registry needs one.
        LONG status = RegOpenKeyExW(key(1), Wide(Unhex(request.at(2))).c_str(), 0, KEY_READ | KEY_WRITE, &opened);
        DWORD id = 0;
        if (status == ERROR_SUCCESS) {
            id = nextKey_++;
            keys_[id] = opened;
        }
        return reply(std::to_string(status) + " " + std::to_string(id));
    }
    if (kind == "regquery") {
        DWORD room = number(3), type = 0, size = room;
        std::vector<uint8_t> data(room + 1);
        LONG status = RegQueryValueExW(key(1), Wide(Unhex(request.at(2))).c_str(), nullptr, &type,
                                       room ? data.data() : nullptr, &size);
        return reply(std::to_string(status) + " " + std::to_string(type) + " " + std::to_string(size) + " " +
                     Hex(data.data(), status == ERROR_SUCCESS && room ? size : 0));
    }
    if (kind == "regset") {
        std::vector<uint8_t> data = Unhex(request.at(4));
        LONG status = RegSetValueExW(key(1), Wide(Unhex(request.at(2))).c_str(), 0, number(3), data.data(),
                                     (DWORD)data.size());
        return reply(std::to_string(status));
    }
    if (kind == "regflush") {
        HKEY flushed = key(1);
        return reply(std::to_string(flushed ? RegFlushKey(flushed) : ERROR_INVALID_HANDLE));
    }
    if (kind == "regclose") {
        auto found = keys_.find(number(1));
        if (found == keys_.end())
            return reply(std::to_string(ERROR_INVALID_HANDLE));
        LONG status = RegCloseKey(found->second);
        keys_.erase(found);
        return reply(std::to_string(status));
    }
    if (kind == "ktapi") {
        if (ktapi_ == nullptr)
            ktapi_ = LoadLibraryW(BesideTest(L"KTAPI.dll").c_str());
        KtapiFn call = ktapi_ ? (KtapiFn)(void *)GetProcAddress(ktapi_, request.at(1).c_str()) : nullptr;
        if (call == nullptr)
            return false;
        return reply(std::to_string(call((int)number(2), (int)number(3))));
    }
    return false;
}

bool ArmSession::Call(const std::string &name, const std::vector<ArmArg> &args, DWORD *result,
                      std::vector<std::vector<uint8_t>> *buffers)
{
    return Invoke("call", name, args, result, buffers);
}

bool ArmSession::Init(const std::string &name, const std::vector<ArmArg> &args, DWORD *result)
{
    return Invoke("init", name, args, result, nullptr);
}

bool ArmSession::Invoke(const std::string &verb, const std::string &name, const std::vector<ArmArg> &args,
                        DWORD *result, std::vector<std::vector<uint8_t>> *buffers)
{
    std::string line = verb + " " + name;
    for (const ArmArg &arg : args)
        line += arg.buffer ? " b:" + Hex(arg.bytes.data(), arg.bytes.size()) : " " + std::to_string(arg.value);
    std::vector<std::string> words;
    if (!Command(line, &words))
        return false;
    if (words[0] != "ret" || words.size() < 2) {
        End("the bench answered a call with: " + words[0]);
        return false;
    }
    *result = (DWORD)std::stoul(words[1]);
    if (buffers != nullptr) {
        buffers->clear();
        for (size_t i = 2; i < words.size(); i++)
            buffers->push_back(Unhex(words[i]));
    }
    return true;
}

bool ArmSession::Unload(DWORD *result)
{
    std::vector<std::string> words;
    if (!Command("unload", &words) || words.size() < 2)
        return false;
    *result = (DWORD)std::stoul(words[1]);
    End("");
    return true;
}

std::map<std::string, std::string> ArmSession::Stats()
{
    std::map<std::string, std::string> stats;
    std::vector<std::string> words;
    if (!Command("stats", &words))
        return stats;
    for (size_t i = 1; i < words.size(); i++) {
        size_t equals = words[i].find('=');
        if (equals == std::string::npos)
            continue;
        std::string name = words[i].substr(0, equals), value = words[i].substr(equals + 1);
        if (name.size() > 5 && name.compare(name.size() - 5, 5, "where") == 0) {
            std::vector<uint8_t> text = Unhex(value);
            value.assign(text.begin(), text.end());
        }
        stats[name] = value;
    }
    return stats;
}

bool ArmSession::Reset()
{
    std::vector<std::string> words;
    return Command("reset", &words);
}

long ArmSession::Handles()
{
    std::vector<std::string> words;
    if (!Command("handles", &words) || words.size() < 2)
        return -1;
    return std::stol(words[1]);
}

std::vector<DWORD> ArmSession::PortTimeouts(const std::string &name)
{
    std::vector<std::string> words;
    std::vector<DWORD> timeouts;
    if (Command("port " + name, &words) && words.size() == 6) {
        for (size_t i = 1; i < words.size(); i++)
            timeouts.push_back((DWORD)std::stoul(words[i]));
    }
    return timeouts;
}

// ---- a program ----

bool ArmSession::Run()
{
    return Running() && SendLine("start");
}

DWORD ArmSession::Send(DWORD window, UINT message, DWORD wParam, DWORD lParam)
{
    std::vector<std::string> words;
    if (!Command("send " + std::to_string(window) + " " + std::to_string(message) + " " + std::to_string(wParam) +
                     " " + std::to_string(lParam),
                 &words) ||
        words.size() < 2)
        return 0;
    return (DWORD)std::stoul(words[1]);
}

DWORD ArmSession::SendText(DWORD window, UINT message, const std::wstring &text)
{
    std::string utf8(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr),
                     '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &utf8[0], (int)utf8.size(), nullptr, nullptr);
    std::vector<std::string> words;
    if (!Command("send " + std::to_string(window) + " " + std::to_string(message) + " 0 w:" +
                     Hex(utf8.data(), utf8.size()),
                 &words) ||
        words.size() < 2)
        return 0;
    return (DWORD)std::stoul(words[1]);
}

std::wstring ArmSession::ReadText(DWORD window, DWORD room)
{
    std::vector<std::string> words;
    if (!Command("send " + std::to_string(window) + " " + std::to_string(WM_GETTEXT) + " " + std::to_string(room) +
                     " t:" + std::to_string(room),
                 &words) ||
        words.size() < 3)
        return std::wstring();
    return Wide(Unhex(words[2]));
}

std::vector<DWORD> ArmSession::Find(const std::string &className, const std::string &title)
{
    std::vector<std::string> words;
    std::vector<DWORD> windows;
    auto field = [](const std::string &text) { return text.empty() ? std::string("-") : Hex(text.data(), text.size()); };
    if (Command("find " + field(className) + " " + field(title), &words)) {
        for (size_t i = 1; i < words.size(); i++)
            windows.push_back((DWORD)std::stoul(words[i]));
    }
    return windows;
}

DWORD ArmSession::Item(DWORD dialog, int id)
{
    std::vector<std::string> words;
    if (!Command("item " + std::to_string(dialog) + " " + std::to_string(id), &words) || words.size() < 2)
        return 0;
    return (DWORD)std::stoul(words[1]);
}

ArmWindow ArmSession::Query(DWORD window)
{
    ArmWindow found;
    std::vector<std::string> words;
    if (!Command("query " + std::to_string(window), &words) || words.size() < 10)
        return found;
    found.exists = words[1] == "1";
    found.visible = words[2] == "1";
    found.enabled = words[3] == "1";
    found.check = (DWORD)std::stoul(words[4]);
    found.owner = (DWORD)std::stoul(words[5]);
    found.parent = (DWORD)std::stoul(words[6]);
    found.id = (DWORD)std::stoul(words[7]);
    std::vector<uint8_t> cls = Unhex(words[8]), text = Unhex(words[9]);
    found.className.assign(cls.begin(), cls.end());
    found.text.assign(text.begin(), text.end());
    return found;
}

DWORD ArmSession::Foreground()
{
    std::vector<std::string> words;
    if (!Command("foreground", &words) || words.size() < 2)
        return 0;
    return (DWORD)std::stoul(words[1]);
}

bool ArmSession::Watch(int id)
{
    std::vector<std::string> words;
    return Command("watch " + std::to_string(id), &words);
}

long ArmSession::SecondCopy()
{
    std::vector<std::string> words;
    if (!Command("second", &words) || words.size() < 2)
        return -1;
    return std::stol(words[1]);
}

bool ArmSession::HoldPort(const std::string &name, bool hold)
{
    std::vector<std::string> words;
    return Command((hold ? "hold " : "release ") + name, &words);
}

bool ArmSession::WaitForExit(DWORD timeoutMs, DWORD *exitCode)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return exited_ || gone_; });
    if (exited_ && exitCode != nullptr)
        *exitCode = exitCode_;
    return exited_;
}

}  // namespace bench
