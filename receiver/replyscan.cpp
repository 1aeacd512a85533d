// replyscan.cpp - the listener's frame scanner.
//
// The receiver's line carries NMEA text with UBX frames in between. A frame
// starts with 0xB5 0x62; anything else is text. Only the scanner's caller
// (one listener thread at a time) touches a ReplySource.
#include "replyscan.h"

#include <string.h>

static const BYTE kSync1 = 0xB5;
static const BYTE kSync2 = 0x62;
static const BYTE kClassAck = 0x05;
static const BYTE kIdAckAck = 0x01;

// A frame longer than the buffer is read through in buffer-sized pieces and
// dropped. It ends early when the line goes quiet (a truncated frame) or the
// listener is told to stop. The first two payload bytes stay at the start
// of the body for the ACK line: later pieces land after them.
static void DiscardBody(ReplySource *source, DWORD remaining)
{
    BYTE *body = source->frame + kFrameHeaderLength;
    DWORD kept = 0;
    while (remaining > 0 && source->keepGoing(source->context)) {
        DWORD room = (DWORD)kFrameBodyRoom - kept;
        DWORD piece = remaining < room ? remaining : room;
        DWORD got = source->read(source->context, body + kept, piece);
        if (got < piece)
            return;
        remaining -= got;
        kept = 2;
    }
}

BOOL ScanNextUnit(ReplySource *source)
{
    BYTE *frame = source->frame;

    if (source->read(source->context, frame, 1) != 1)
        return FALSE;
    if (frame[0] != kSync1) {
        if (source->echoText)
            DebugPrint(L"%c", (WCHAR)frame[0]);
        return FALSE;
    }
    // A false start costs the five bytes after the 0xB5; scanning resumes
    // after them.
    if (source->read(source->context, frame + 1, 5) != 5 || frame[1] != kSync2)
        return FALSE;

    BYTE messageClass = frame[2];
    BYTE messageId = frame[3];
    DWORD length = frame[4] + 256 * frame[5];
    DebugPrint(L"UBX MSG: [0x%x]-[0x%x] size %d\r\n", messageClass, messageId, (int)length);

    // Payload and checksum in one read; the checksum is not verified. A
    // short read leaves zeros, never the bytes of an earlier frame.
    BYTE *body = frame + kFrameHeaderLength;
    memset(body, 0, kFrameBodyRoom);
    if (length + 2 <= kFrameBodyRoom)
        source->read(source->context, body, length + 2);
    else
        DiscardBody(source, length + 2);

    if (messageClass == kClassAck)
        DebugPrint(L"     %s of [0x%x]-[0x%x]\r\n",
                   messageId == kIdAckAck ? L"ACK" : L"NAK", body[0], body[1]);
    return TRUE;
}
