// armsession.h - a handheld image running on the emulated ARM core
// (testbench/armbench), seen from the desktop side.
//
// The bench is a native program (Python and unicorn); the session starts it
// from Wine, and the two talk over a local TCP connection. While the image
// runs, the session is its platform's far side: the registry calls land in
// this process's registry (HKEY_LOCAL_MACHINE, as the desktop build's do),
// every debug output call is written with OutputDebugStringW from this
// process (so the in-process capture sees it as it sees the desktop
// build's), and the KTAPI calls go to the KTAPI stand-in beside the test,
// which keeps the journal. "COM3:" is where Wine's "COM3:" leads (this
// run's cable slot): the image talks to the simulated receiver on the same
// null-modem cable as the desktop build.
//
// A driver is called entry point by entry point (Call). A program runs from
// its entry (Run) while the test works its windows (Send, Find, Query...),
// until it ends (WaitForExit).
//
// Threads: a reader thread of the session serves the bench's requests as
// they come (the image's debug lines are written on it) and hands the
// answers to the commands to the thread that drives the session; one thread
// drives a session.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

struct ArmImage {
    std::string image;   // Unix path of the handheld image
    std::string elf;     // Unix path of its code's ELF file (names in faults; symbols)
};

// The handheld images of this build (paths fixed when the test was built).
ArmImage HandheldDriver();
ArmImage HandheldProgram();

struct ArmOptions {
    std::string core = "pxa270";   // or "armv4t"
    bool virtualTime = false;      // only for runs with no receiver answering
    bool com3 = true;              // "COM3:" is Wine's "COM3:" (this run's cable slot)
};

// An argument of a call: a number, or a buffer (its address is passed; its
// bytes come back after the call).
struct ArmArg {
    ArmArg(DWORD number) : value(number) {}
    ArmArg(std::vector<uint8_t> bytes) : buffer(true), bytes(std::move(bytes)) {}
    DWORD value = 0;
    bool buffer = false;
    std::vector<uint8_t> bytes;
};

// A window of the emulated device, as the program's session reports it.
struct ArmWindow {
    bool exists = false, visible = false, enabled = false;
    DWORD check = 0, owner = 0, parent = 0, id = 0;
    std::string className, text;
};

class ArmSession {
public:
    ArmSession() = default;
    ~ArmSession();
    ArmSession(const ArmSession &) = delete;
    ArmSession &operator=(const ArmSession &) = delete;

    // Loads the image (a DLL: DllMain with DLL_PROCESS_ATTACH). False, with
    // Problem() saying why, when the bench does not start or the device's
    // loader refuses the image.
    bool Start(const ArmImage &image, const ArmOptions &options = ArmOptions());
    // Calls an export (or a code symbol of the ELF file) on the device
    // manager's thread and returns its r0; buffers get their contents after
    // the call. False on a fault of the code or a call with no model
    // (Problem() says which); the session is over then.
    bool Call(const std::string &name, const std::vector<ArmArg> &args, DWORD *result,
              std::vector<std::vector<uint8_t>> *buffers = nullptr);
    // Calls the driver's Init as the device manager does: inside its
    // exception handler. As Call; a fault that reaches the handler fails
    // the driver (the device manager frees the library and goes on): false,
    // with Problem() saying "unloaded: NAME failed, driver unloaded, device
    // manager alive: ...", and the session is over.
    bool Init(const std::string &name, const std::vector<ArmArg> &args, DWORD *result);
    // DllMain with DLL_PROCESS_DETACH, then the bench ends.
    bool Unload(DWORD *result);
    // What the bench counts: "instructions", "max_run", ... (see armbench.py).
    std::map<std::string, std::string> Stats();
    bool Reset();
    // Handles the emulated process holds; -1 when it cannot say.
    long Handles();
    // The COMMTIMEOUTS the device's serial port keeps from one open to the
    // next (ReadIntervalTimeout first); empty when the session cannot say.
    std::vector<DWORD> PortTimeouts(const std::string &name);

    // ---- a program ----
    // Starts it from its entry; it runs until its primary thread returns.
    bool Run();
    // Sends a message to a window of the program, handled when the program
    // next looks for messages; its result (0 when the session is over).
    // A text argument is passed as lParam (WM_SETTEXT); readText asks for
    // the window's text back (WM_GETTEXT: wParam is the room, in characters).
    DWORD Send(DWORD window, UINT message, DWORD wParam = 0, DWORD lParam = 0);
    DWORD SendText(DWORD window, UINT message, const std::wstring &text);
    std::wstring ReadText(DWORD window, DWORD room = 256);
    // Top-level windows by class and title (empty: any).
    std::vector<DWORD> Find(const std::string &className, const std::string &title);
    DWORD Item(DWORD dialog, int id);
    ArmWindow Query(DWORD window);
    DWORD Foreground();
    // From now on WM_SETTEXT to a control with this id is written to the
    // debug output as "status: <text>\r\n".
    bool Watch(int id);
    // A second copy of the program on the same device, run to its end: its
    // exit code, or -1.
    long SecondCopy();
    // Another program of the device holds the serial port open (its open by
    // the program then fails as on a port in use), or lets it go.
    bool HoldPort(const std::string &name, bool hold);
    // True once the program has ended; its exit code.
    bool WaitForExit(DWORD timeoutMs, DWORD *exitCode);

    bool Running() const;
    std::string Problem() const;

    // Called (on the reader thread) when the called code starts.
    std::function<void()> onEntered;

private:
    static const UINT_PTR INVALID_SOCKET_VALUE = ~(UINT_PTR)0;
    bool SendLine(const std::string &line);
    // A command's answer ("ret ...", "ok ..."); false (the session over) on
    // a fault or a lost bench.
    bool Command(const std::string &line, std::vector<std::string> *words);
    bool Invoke(const std::string &verb, const std::string &name, const std::vector<ArmArg> &args, DWORD *result,
                std::vector<std::vector<uint8_t>> *buffers);
    bool Answer(std::vector<std::string> *words);
    void Read();
    bool Serve(const std::vector<std::string> &request);
    void End(const std::string &problem);

    UINT_PTR socket_ = INVALID_SOCKET_VALUE;
    std::thread reader_;
    std::mutex sending_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::string>> answers_;
    bool gone_ = false;
    bool exited_ = false;
    DWORD exitCode_ = 0;
    std::string problem_;
    std::map<DWORD, HKEY> keys_;   // the reader thread's own
    DWORD nextKey_ = 1;
    HMODULE ktapi_ = nullptr;
};

}  // namespace bench
