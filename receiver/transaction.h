// transaction.h - one use of the receiver's serial port.
//
// Calling order: OpenReceiverPort; for each frame StartReplyListener, write
// the frame (WriteReceiverFrame), WaitForReply, StopReplyListener; then
// CloseReceiverPort. The callers add their own delays between the steps.
#ifndef RX_TRANSACTION_H
#define RX_TRANSACTION_H

#include "platform.h"
#include "ubxcatalog.h"

// What differs between the two programs that use the port.
struct LinkRule {
    // Selector values other than 1 and 2: TRUE keeps the rate the port
    // reported (setup program), FALSE runs at 38400 baud (boot driver).
    BOOL keepReportedRate;
    // NMEA text seen by the listener goes to the debug output (setup
    // program) or is dropped (boot driver).
    BOOL echoText;
    // Logged when "ConfigGPS" cannot be read.
    const WCHAR *selectorErrorLine;
};

extern const LinkRule kSetupLinkRule;
extern const LinkRule kBootLinkRule;

// The process-wide state of the port's current use. See transaction.cpp
// for which thread owns which field.
struct ReceiverTransaction {
    HANDLE port;
    LONG listenerRun;        // whole words: see transaction.cpp
    LONG replySeen;
    HANDLE listener;         // the current listener thread, until it is joined
    DCB dcb;                 // as last written to the port
    COMMTIMEOUTS portTimeouts;   // the port's own, read at the open, put back at the close
    BOOL portTimeoutsRead;       // portTimeouts holds what the port reported
    BOOL lineDown;           // the listener found the line gone (hung up)
    const LinkRule *rule;
};

extern ReceiverTransaction g_transaction;

enum {
    kPollPeriodMs = 50,
    // A read of n bytes returns after at most 50 ms + 2 ms per byte, so the
    // listener notices a stop request without blocking for long.
    kReadIdleMs = 50,
    kReadPerByteMs = 2
};

// Reads the baud selector, opens "COM3:" and configures it (8N1, DTR and RTS
// on, no flow control, read time-outs). On failure logs createFileLine (with
// the error code) or the DCB line, leaves no port open (and the port's own
// time-outs as they were) and returns FALSE.
BOOL OpenReceiverPort(const LinkRule *rule, const WCHAR *createFileLine);

void StartReplyListener(void);
// Polls the reply flag every 50 ms; returns the number of polls, pollLimit
// when no reply came.
int WaitForReply(int pollLimit);
void StopReplyListener(void);

// One write call of the whole frame; *written is what the write reported.
BOOL WriteReceiverFrame(UbxFrame frame, DWORD *written);

// Drops DTR and RTS, puts the port's own time-outs back and closes it.
void CloseReceiverPort(void);

#endif
