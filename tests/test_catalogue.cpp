// The UBX frames as sent: checksums, pairs, table layout and lookups.
#include <gtest/gtest.h>

#include "ubxcatalog.h"

#include <vector>

namespace {

// UBX 8-bit Fletcher checksum over class, id, length and payload.
void Fletcher(const BYTE *bytes, DWORD length, BYTE *a, BYTE *b)
{
    *a = *b = 0;
    for (DWORD i = 2; i + 2 < length; i++) {
        *a = (BYTE)(*a + bytes[i]);
        *b = (BYTE)(*b + *a);
    }
}

std::vector<UbxFrame> AllFrames()
{
    std::vector<UbxFrame> frames;
    for (int i = 0; i < kSentenceCount; i++) {
        frames.push_back(NmeaFrame(i, FALSE));
        frames.push_back(NmeaFrame(i, TRUE));
    }
    frames.push_back(SbasFrame(FALSE));
    frames.push_back(SbasFrame(TRUE));
    frames.push_back(SaveFrame(kSaveMessages));
    frames.push_back(SaveFrame(kSaveNavigation));
    frames.push_back(SaveFrame(kSaveBoth));
    return frames;
}

TEST(Catalogue, EveryFrameIsWellFormedWithItsChecksum)
{
    for (const UbxFrame &frame : AllFrames()) {
        ASSERT_NE(frame.bytes, nullptr);
        ASSERT_GE(frame.length, 8u);
        EXPECT_EQ(frame.bytes[0], 0xB5);
        EXPECT_EQ(frame.bytes[1], 0x62);
        EXPECT_EQ(frame.bytes[2], 0x06);  // CFG
        DWORD payload = frame.bytes[4] + 256u * frame.bytes[5];
        EXPECT_EQ(frame.length, payload + 8);
        BYTE a, b;
        Fletcher(frame.bytes, frame.length, &a, &b);
        EXPECT_EQ(frame.bytes[frame.length - 2], a);
        EXPECT_EQ(frame.bytes[frame.length - 1], b);
    }
}

// The two tables as they lie in memory: from the first table's start, the
// eleven disable frames back to back, and 128 bytes on the eleven enable
// frames, each CFG-MSG F0 i with its rate and checksum, and the lookup
// gives those bytes (any true value the enable frame).
TEST(Catalogue, TablesHoldEachFrameAtItsOffset)
{
    const BYTE *tables = &kCfgMsgTables[0][0];
    for (BYTE rate = 0; rate < 2; rate++) {
        for (int i = 0; i < kSentenceCount; i++) {
            BYTE expected[11] = { 0xB5, 0x62, 0x06, 0x01, 0x03, 0x00, 0xF0, (BYTE)i, rate, 0, 0 };
            Fletcher(expected, 11, &expected[9], &expected[10]);
            const BYTE *at = tables + 128 * rate + 11 * i;
            EXPECT_EQ(std::vector<BYTE>(at, at + 11), std::vector<BYTE>(expected, expected + 11))
                << "sentence " << i << " rate " << (int)rate;
            UbxFrame frame = NmeaFrame(i, rate ? 2 : FALSE);
            ASSERT_EQ(frame.length, 11u);
            EXPECT_EQ(std::vector<BYTE>(frame.bytes, frame.bytes + 11), std::vector<BYTE>(expected, expected + 11));
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

TEST(Catalogue, SbasAndSaveFramesAsListed)
{
    const BYTE sbasOn[] = { 0xB5, 0x62, 0x06, 0x16, 0x08, 0x00, 0x01, 0x03,
                            0x03, 0x00, 0xD5, 0xCA, 0x06, 0x00, 0xD0, 0x77 };
    UbxFrame on = SbasFrame(TRUE), off = SbasFrame(FALSE);
    ASSERT_EQ(on.length, 16u);
    EXPECT_EQ(std::vector<BYTE>(on.bytes, on.bytes + 16), std::vector<BYTE>(sbasOn, sbasOn + 16));
    for (int k = 0; k < 14; k++)
        EXPECT_EQ(off.bytes[k], k == 6 ? 0 : sbasOn[k]) << k;
    const BYTE ends[3][2] = { { 0x1F, 0xCC }, { 0x25, 0x02 }, { 0x27, 0x14 } };
    const BYTE masks[3] = { 0x02, 0x08, 0x0A };
    for (int kind = 0; kind < 3; kind++) {
        UbxFrame save = SaveFrame((SaveKind)kind);
        ASSERT_EQ(save.length, 21u);
        EXPECT_EQ(save.bytes[10], masks[kind]);
        EXPECT_EQ(save.bytes[18], 0x01);  // battery-backed RAM only
        EXPECT_EQ(save.bytes[19], ends[kind][0]);
        EXPECT_EQ(save.bytes[20], ends[kind][1]);
    }
}

}  // namespace
