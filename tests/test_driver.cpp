// The driver's seven fixed entry points and DllMain, called without the boot
// pass: fixed answers whatever they are given, on the desktop build (compiled
// in here) and on the handheld image on both emulated cores. Exports and
// imports are checked on the handheld image, linked from the same .def
// (HandheldImages.*); DllMain's load and unload through the device manager
// (DevMgr.SampleRegistrationLoadsTheBootDriver).
#include <gtest/gtest.h>

#include <windows.h>

#include "armsession.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

extern "C" {
BOOL RXB_Deinit(DWORD);
DWORD RXB_Open(DWORD, DWORD, DWORD);
BOOL RXB_Close(DWORD);
DWORD RXB_Read(DWORD, LPVOID, DWORD);
DWORD RXB_Write(DWORD, LPCVOID, DWORD);
DWORD RXB_Seek(DWORD, long, WORD);
BOOL RXB_IOControl(DWORD, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);
}

namespace {

using bench::ArmArg;
using Bytes = std::vector<uint8_t>;
using Args = std::vector<uintptr_t>;

// The desktop build's entry points, each taking its arguments as words
// (buffers as their addresses).
const std::map<std::string, std::function<DWORD(const Args &)>> kDesktop = {
    { "RXB_Deinit", [](const Args &a) { return (DWORD)RXB_Deinit((DWORD)a[0]); } },
    { "RXB_Open", [](const Args &a) { return RXB_Open((DWORD)a[0], (DWORD)a[1], (DWORD)a[2]); } },
    { "RXB_Close", [](const Args &a) { return (DWORD)RXB_Close((DWORD)a[0]); } },
    { "RXB_Read", [](const Args &a) { return RXB_Read((DWORD)a[0], (LPVOID)a[1], (DWORD)a[2]); } },
    { "RXB_Write", [](const Args &a) { return RXB_Write((DWORD)a[0], (LPCVOID)a[1], (DWORD)a[2]); } },
    { "RXB_Seek", [](const Args &a) { return RXB_Seek((DWORD)a[0], (long)a[1], (WORD)a[2]); } },
    { "RXB_IOControl", [](const Args &a) {
         return (DWORD)RXB_IOControl((DWORD)a[0], (DWORD)a[1], (PBYTE)a[2], (DWORD)a[3], (PBYTE)a[4], (DWORD)a[5],
                                     (PDWORD)a[6]);
     } },
    { "DllMain", [](const Args &a) { return (DWORD)DllMain((HINSTANCE)a[0], (DWORD)a[1], (LPVOID)a[2]); } },
};

class DriverSurface : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        if (GetParam() == "desktop")
            return;
        bench::ArmOptions options;
        options.core = GetParam();
        options.virtualTime = true;
        options.com3 = false;
        ASSERT_TRUE(arm_.Start(bench::HandheldDriver(), options)) << arm_.Problem();
    }

    // The entry point's result; buffers passed get what it left in them.
    DWORD Call(const std::string &name, std::vector<ArmArg> args, std::vector<Bytes> *buffers)
    {
        buffers->clear();
        if (GetParam() == "desktop") {
            for (const ArmArg &arg : args) {
                if (arg.buffer)
                    buffers->push_back(arg.bytes);
            }
            Args words;
            size_t next = 0;
            for (const ArmArg &arg : args)
                words.push_back(arg.buffer ? (uintptr_t)(*buffers)[next++].data() : (uintptr_t)arg.value);
            return kDesktop.at(name)(words);
        }
        DWORD result = 0xDEADDEAD;
        EXPECT_TRUE(arm_.Call(name, args, &result, buffers)) << name << ": " << arm_.Problem();
        return result;
    }

    bench::ArmSession arm_;
};

TEST_P(DriverSurface, EntryPointsGiveFixedAnswersWhateverTheyAreGiven)
{
    const Bytes pattern(16, 0xA5);
    const Bytes in = { 1, 2, 3, 4 };
    const Bytes count = { 0x0D, 0xF0, 0xFE, 0xCA };
    struct Case {
        const char *name;
        std::vector<ArmArg> args;
        DWORD result;
    };
    std::vector<Case> cases;
    for (DWORD context : { 0u, 1u, 0x89144233u, 0xFFFFFFFFu }) {
        cases.push_back({ "RXB_Deinit", { context }, TRUE });
        cases.push_back({ "RXB_Open", { context, GENERIC_READ | GENERIC_WRITE, 0 }, 1 });
        cases.push_back({ "RXB_Close", { context }, TRUE });
    }
    cases.push_back({ "RXB_Read", { 1, pattern, 16 }, 0 });
    cases.push_back({ "RXB_Write", { 1, pattern, 16 }, 0 });
    cases.push_back({ "RXB_Seek", { 1, 100, FILE_BEGIN }, 0 });
    cases.push_back({ "RXB_Seek", { 1, (DWORD)-5, FILE_END }, 0 });
    for (DWORD code : { 0u, 0x00220000u, 0xFFFFFFFFu }) {
        cases.push_back({ "RXB_IOControl", { 1, code, in, 4, pattern, 16, count }, TRUE });
        cases.push_back({ "RXB_IOControl", { 1, code, 0, 0, 0, 0, 0 }, TRUE });
    }
    // Every reason the loader and the device manager give DllMain.
    for (DWORD reason : { DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH })
        cases.push_back({ "DllMain", { 0x10000, reason, 0 }, TRUE });

    for (const Case &c : cases) {
        std::vector<Bytes> after;
        DWORD result = Call(c.name, c.args, &after);
        EXPECT_EQ(result, c.result) << c.name;
        std::vector<Bytes> before;
        for (const ArmArg &arg : c.args) {
            if (arg.buffer)
                before.push_back(arg.bytes);
        }
        EXPECT_EQ(after, before) << c.name << " wrote into a buffer it was given";
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, DriverSurface, ::testing::Values("desktop", "pxa270", "armv4t"),
                         [](const ::testing::TestParamInfo<std::string> &info) { return info.param; });

}  // namespace
