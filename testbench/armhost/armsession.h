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
// Threads: one session is driven from one thread; the image's debug lines
// are written on that thread, inside Call().
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
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
    // DllMain with DLL_PROCESS_DETACH, then the bench ends.
    bool Unload(DWORD *result);
    // What the bench counts: "instructions", "max_run", ... (see armbench.py).
    std::map<std::string, std::string> Stats();
    bool Reset();
    // Handles the emulated process holds; -1 when it cannot say.
    long Handles();

    bool Running() const { return socket_ != INVALID_SOCKET_VALUE; }
    const std::string &Problem() const { return problem_; }

    // Called when the called code starts (after the bench has set up).
    std::function<void()> onEntered;

private:
    static const UINT_PTR INVALID_SOCKET_VALUE = ~(UINT_PTR)0;
    bool Send(const std::string &line);
    bool ReadLine(std::string *line);
    // Serves the bench's requests until an answer that is not one; false
    // (and the session ended) on a fault or a lost bench.
    bool Answer(std::vector<std::string> *words);
    bool Serve(const std::vector<std::string> &request);
    void End(const std::string &problem);

    UINT_PTR socket_ = INVALID_SOCKET_VALUE;
    std::string pending_;
    std::string problem_;
    std::map<DWORD, HKEY> keys_;
    DWORD nextKey_ = 1;
    HMODULE ktapi_ = nullptr;
};

}  // namespace bench
