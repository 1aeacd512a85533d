// The driver's stream entry points, compiled in here and called without the
// boot pass: fixed answers whatever they are given. Exports and imports are
// checked on the handheld image, linked from the same .def (HandheldImages.*);
// DllMain through the device manager (DevMgr.SampleRegistrationLoadsTheBootDriver).
#include <gtest/gtest.h>

#include <windows.h>

extern "C" {
BOOL RXB_Deinit(DWORD);
DWORD RXB_Open(DWORD, DWORD, DWORD);
BOOL RXB_Close(DWORD);
DWORD RXB_Read(DWORD, LPVOID, DWORD);
DWORD RXB_Write(DWORD, LPCVOID, DWORD);
DWORD RXB_Seek(DWORD, long, WORD);
BOOL RXB_IOControl(DWORD, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
}

namespace {

TEST(DriverSurface, EntryPointsGiveFixedAnswersWhateverTheyAreGiven)
{
    for (DWORD context : { 0u, 1u, 0x89144233u, 0xFFFFFFFFu }) {
        EXPECT_EQ(RXB_Deinit(context), TRUE);
        EXPECT_EQ(RXB_Open(context, GENERIC_READ | GENERIC_WRITE, 0), 1u);
        EXPECT_EQ(RXB_Close(context), TRUE);
    }
    BYTE buffer[16];
    memset(buffer, 0xA5, sizeof(buffer));
    EXPECT_EQ(RXB_Read(1, buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(RXB_Write(1, buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(RXB_Seek(1, 100, FILE_BEGIN), 0u);
    EXPECT_EQ(RXB_Seek(1, -5, FILE_END), 0u);

    BYTE in[4] = { 1, 2, 3, 4 };
    DWORD count = 0xCAFEF00D;
    for (DWORD code : { 0u, 0x00220000u, 0xFFFFFFFFu }) {
        EXPECT_EQ(RXB_IOControl(1, code, in, sizeof(in), buffer, sizeof(buffer), &count), TRUE);
        EXPECT_EQ(RXB_IOControl(1, code, nullptr, 0, nullptr, 0, nullptr), TRUE);
    }
    EXPECT_EQ(count, 0xCAFEF00Du);
    for (BYTE b : buffer)
        EXPECT_EQ(b, 0xA5);
}

}  // namespace
