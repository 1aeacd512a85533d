// replyscan.h - finds UBX frames in the receiver's byte stream.
//
// The listener thread feeds the scanner from the serial port; the host build
// feeds it from a fuzzer. Nothing here touches the port itself.
#ifndef RX_REPLYSCAN_H
#define RX_REPLYSCAN_H

#include "platform.h"

enum {
    kFrameHeaderLength = 6,  // sync 1, sync 2, class, id, length (2)
    kFrameBodyRoom = 250,    // payload plus the two checksum bytes
    kFrameBufferLength = kFrameHeaderLength + kFrameBodyRoom
};

// Reads up to count bytes; returns how many arrived before the port's
// time-out (0 on an error). keepGoing tells a long discard when to give up.
typedef DWORD (*ReadBytesFn)(void *context, BYTE *buffer, DWORD count);
typedef BOOL (*KeepGoingFn)(void *context);

struct ReplySource {
    ReadBytesFn read;
    KeepGoingFn keepGoing;
    void *context;
    BOOL echoText;                    // the setup program shows NMEA text, the driver drops it
    BYTE frame[kFrameBufferLength];   // the frame being read
};

// Reads the next unit of the stream: one byte of text or noise, a false
// start (0xB5 and the five bytes after it), or one whole UBX frame, which it
// logs. Returns TRUE when the unit was a UBX frame of any class: a reply.
BOOL ScanNextUnit(ReplySource *source);

#endif
