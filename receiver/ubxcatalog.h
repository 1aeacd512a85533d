// ubxcatalog.h - every UBX frame the system sends, as constant bytes.
#ifndef RX_UBXCATALOG_H
#define RX_UBXCATALOG_H

#include "platform.h"

// The eleven NMEA sentences in SentenceIndex order. The index is also the
// sentence's message id in the NMEA class 0xF0, its setting's position in the
// registry and the offset of its check box from 300.
enum SentenceIndex {
    kGGA, kGLL, kGSA, kGSV, kRMC, kVTG, kGRS, kGST, kZDA, kGBS, kDTM,
    kSentenceCount
};

// A complete frame (sync, class, id, length, payload, checksum), written to
// the port unchanged. bytes is NULL and length 0 where no frame exists.
struct UbxFrame {
    const BYTE *bytes;
    DWORD length;
};

enum SaveKind {
    kSaveMessages,    // CFG-CFG saveMask 0x02, after a sentence change
    kSaveNavigation,  // CFG-CFG saveMask 0x08, after an SBAS change
    kSaveBoth         // CFG-CFG saveMask 0x0A, at the end of the boot pass
};

enum {
    kCfgMsgFrameLength = 11,
    kCfgMsgTableLength = 11 * kCfgMsgFrameLength,  // 121 bytes
    kCfgMsgTableStride = 128,  // the enable table starts 128 bytes after the disable table
    kCfgSbasFrameLength = 16,
    kCfgCfgFrameLength = 21
};

// [0] the disable frames (rate 0), [1] the enable frames (rate 1), back to
// back; the frame of sentence i lies 11 * i bytes into its table.
extern const BYTE kCfgMsgTables[2][kCfgMsgTableStride];

UbxFrame NmeaFrame(int sentence, BOOL on);
UbxFrame SbasFrame(BOOL on);
UbxFrame SaveFrame(SaveKind kind);

#endif
