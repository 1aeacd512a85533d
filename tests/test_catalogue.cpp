// The UBX frames as sent, byte for byte: the two CFG-MSG tables as they lie
// in memory, the SBAS pair and the three saves, and the lookups.
#include <gtest/gtest.h>

#include "ubxcatalog.h"

#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

// UBX 8-bit Fletcher checksum over class, id, length and payload, written
// into the frame's last two bytes.
void SetChecksum(BYTE *frame, DWORD length)
{
    BYTE a = 0, b = 0;
    for (DWORD i = 2; i + 2 < length; i++) {
        a = (BYTE)(a + frame[i]);
        b = (BYTE)(b + a);
    }
    frame[length - 2] = a;
    frame[length - 1] = b;
}

Bytes Of(UbxFrame frame)
{
    return frame.bytes == nullptr ? Bytes() : Bytes(frame.bytes, frame.bytes + frame.length);
}

// From the first table's start, the eleven disable frames back to back, and
// 128 bytes on the eleven enable frames, each CFG-MSG F0 i with its rate and
// checksum; the lookup gives those bytes (any true value the enable frame).
TEST(Catalogue, TablesHoldEachFrameAtItsOffset)
{
    const BYTE *tables = &kCfgMsgTables[0][0];
    for (BYTE rate = 0; rate < 2; rate++) {
        for (int i = 0; i < kSentenceCount; i++) {
            BYTE expected[11] = { 0xB5, 0x62, 0x06, 0x01, 0x03, 0x00, 0xF0, (BYTE)i, rate, 0, 0 };
            SetChecksum(expected, 11);
            const BYTE *at = tables + 128 * rate + 11 * i;
            EXPECT_EQ(Bytes(at, at + 11), Bytes(expected, expected + 11)) << "sentence " << i << " rate " << (int)rate;
            EXPECT_EQ(Of(NmeaFrame(i, rate ? 2 : FALSE)), Bytes(expected, expected + 11));
        }
    }
}

TEST(Catalogue, NothingExistsOutsideTheElevenSentences)
{
    for (int i : { -1, 11, 12, 255 }) {
        EXPECT_EQ(NmeaFrame(i, TRUE).bytes, nullptr) << i;
        EXPECT_EQ(NmeaFrame(i, TRUE).length, 0u) << i;
    }
    EXPECT_EQ(SaveFrame((SaveKind)3).bytes, nullptr);
}

// CFG-SBAS with the mode byte 1 or 0; CFG-CFG saving the message, the
// navigation or both sections, to battery-backed RAM only.
TEST(Catalogue, SbasAndSaveFramesAsListed)
{
    EXPECT_EQ(Of(SbasFrame(TRUE)),
              (Bytes{ 0xB5, 0x62, 0x06, 0x16, 0x08, 0x00, 0x01, 0x03, 0x03, 0x00, 0xD5, 0xCA, 0x06, 0x00, 0xD0, 0x77 }));
    EXPECT_EQ(Of(SbasFrame(FALSE)),
              (Bytes{ 0xB5, 0x62, 0x06, 0x16, 0x08, 0x00, 0x00, 0x03, 0x03, 0x00, 0xD5, 0xCA, 0x06, 0x00, 0xCF, 0x6F }));
    const BYTE masks[3] = { 0x02, 0x08, 0x0A };
    const BYTE ends[3][2] = { { 0x1F, 0xCC }, { 0x25, 0x02 }, { 0x27, 0x14 } };
    for (int kind = 0; kind < 3; kind++) {
        BYTE expected[21] = { 0xB5, 0x62, 0x06, 0x09, 0x0D, 0x00, 0, 0, 0, 0, masks[kind], 0, 0, 0, 0, 0, 0, 0, 0x01 };
        SetChecksum(expected, 21);
        EXPECT_EQ(Of(SaveFrame((SaveKind)kind)), Bytes(expected, expected + 21)) << kind;
        EXPECT_EQ(expected[19] << 8 | expected[20], ends[kind][0] << 8 | ends[kind][1]) << kind;
    }
}

}  // namespace
