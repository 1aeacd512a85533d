// transaction.cpp - the serial transaction and its reply listener.
//
// Two threads share g_transaction:
// - The transaction thread (the setup program's user-interface thread, or
//   the device manager's thread inside RXB_Init) owns port, dcb, the port's
//   own time-outs, rule and listener. It sets them while no listener runs:
//   port and rule before the first listener starts, and it joins the last
//   listener before it closes the port. Only it writes to the port.
// - The current ReplyListener reads the port, clears the port's error state
//   after a read that brought nothing, and sets replySeen and lineDown. It
//   ends once listenerRun is 0; its reads time out after about 50 ms (a read
//   that returns early, or a line that is down, costs the rest of that time
//   asleep), so that takes at most one read. lineDown is cleared by
//   OpenReceiverPort, before any listener of the transaction starts, and
//   then passes from one listener to the next with the join.
// listenerRun and replySeen are whole 32-bit words, written with interlocked
// calls (SetFlag) and read whole through a volatile access (ReadFlag), so that
// every poll reads memory; no lock is taken. They are plain LONGs because
// Windows CE's InterlockedExchange takes an LPLONG, not a volatile pointer.
// At most one listener exists: a new one starts only after the previous one
// has been joined.
#include "transaction.h"

#include "replyscan.h"
#include "settings.h"

static const WCHAR kPortName[] = L"COM3:";

const LinkRule kSetupLinkRule = {
    TRUE, TRUE, L"SetNMEASentences: ERROR: Unable to read Configured registry value\r\n"
};
const LinkRule kBootLinkRule = {
    FALSE, FALSE, L"SetNMEASentences: ERROR: Unable to read ConfigGPS registry value\r\n"
};

ReceiverTransaction g_transaction;

static LONG ReadFlag(const LONG *flag)
{
    return *(const volatile LONG *)flag;
}

static void SetFlag(LONG *flag, LONG value)
{
    InterlockedExchange(flag, value);
}

static DWORD BaudRateFor(const LinkRule *rule, DWORD selector, DWORD reported)
{
    if (selector == 1)
        return CBR_9600;
    if (selector == 2 || !rule->keepReportedRate)
        return CBR_38400;
    return reported;
}

static void ConfigureDcb(DCB *dcb)
{
    dcb->DCBlength = sizeof(DCB);
    dcb->fBinary = TRUE;
    dcb->fParity = FALSE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
}

// Hands the port back with the time-outs it had when it was opened: on
// Windows CE they belong to the port, not to this handle, and the next
// program to open it (a navigation program, the GPS intermediate driver)
// would read with ours. A port that could not say what it had is left as
// it is; a refused restore changes nothing the user sees.
static void CloseWithOwnTimeouts(void)
{
    if (g_transaction.portTimeoutsRead)
        SetCommTimeouts(g_transaction.port, &g_transaction.portTimeouts);
    g_transaction.portTimeoutsRead = FALSE;
    CloseSerialPort(g_transaction.port);
    g_transaction.port = INVALID_HANDLE_VALUE;
}

// Drops DTR and RTS, keeping the rest of the DCB as last written, and
// closes the port.
static void DropLinesAndClose(void)
{
    g_transaction.dcb.fDtrControl = DTR_CONTROL_DISABLE;
    g_transaction.dcb.fRtsControl = RTS_CONTROL_DISABLE;
    SetCommState(g_transaction.port, &g_transaction.dcb);
    CloseWithOwnTimeouts();
}

static BOOL FailOpen(const WCHAR *line)
{
    DebugPrint(line);
    CloseWithOwnTimeouts();
    return FALSE;
}

BOOL OpenReceiverPort(const LinkRule *rule, const WCHAR *createFileLine)
{
    DWORD selector;

    switch (ReadBaudSelector(&selector)) {
    case kSelectorRead:
        DebugPrint(L"SetNMEASentences: ConfigGPS == %d\r\n", (int)selector);
        break;
    case kSelectorUnreadable:
        DebugPrint(rule->selectorErrorLine);
        break;
    case kSelectorKeyMissing:
        break;
    }

    g_transaction.rule = rule;
    g_transaction.lineDown = FALSE;
    g_transaction.portTimeoutsRead = FALSE;
    g_transaction.port = OpenSerialPort(kPortName);
    if (g_transaction.port == INVALID_HANDLE_VALUE) {
        DebugPrint(createFileLine, (int)GetLastError());
        return FALSE;
    }

    DCB *dcb = &g_transaction.dcb;
    dcb->DCBlength = sizeof(DCB);
    if (!GetCommState(g_transaction.port, dcb))
        return FailOpen(L"GetCommState Failed\r\n");
    dcb->BaudRate = BaudRateFor(rule, selector, dcb->BaudRate);
    ConfigureDcb(dcb);
    if (!SetCommState(g_transaction.port, dcb))
        return FailOpen(L"SetCommState Failed\r\n");

    // Without a time-out a read waits for its bytes for ever, and nothing
    // else wakes it: the listener could never be stopped. Only the read
    // time-outs are decided here; the write time-outs stay as the port has
    // them (0, no time-out, if it cannot say). What the port had is put back
    // before it is closed, on every path from here on.
    COMMTIMEOUTS timeouts = { 0, 0, 0, 0, 0 };
    g_transaction.portTimeoutsRead = GetCommTimeouts(g_transaction.port, &g_transaction.portTimeouts);
    if (g_transaction.portTimeoutsRead)
        timeouts = g_transaction.portTimeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = kReadPerByteMs;
    timeouts.ReadTotalTimeoutConstant = kReadIdleMs;
    if (!SetCommTimeouts(g_transaction.port, &timeouts)) {
        // DTR and RTS are already on: close as CloseReceiverPort does.
        DebugPrint(L"SetCommTimeouts Failed\r\n");
        DropLinesAndClose();
        return FALSE;
    }
    return TRUE;
}

// Clears the port's error state; FALSE when the port cannot answer because
// its line has gone. A port that has no such call at all is not a line that
// went away.
static BOOL ClearLineError(HANDLE port)
{
    DWORD errors = 0;
    COMSTAT status;
    if (ClearCommError(port, &errors, &status))
        return TRUE;
    DWORD error = GetLastError();
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

// A read that brings nothing may find the line in trouble: hung up (the
// far end gone: on the desktop every read then burns the processor until
// its time-out, on other ports it returns at once), or holding an error
// that fails every read until it is cleared (fAbortOnError stays as the
// port reported it). So after such a read the port's error state is
// cleared; if the port cannot even say that, the line is down and is not
// read again until it answers once more. A read that failed, came back
// early, or found the line down is followed by the rest of one read
// period, so that the listener never spins on the port.
static DWORD ReadPortBytes(void *context, BYTE *buffer, DWORD count)
{
    HANDLE port = (HANDLE)context;

    if (g_transaction.lineDown) {
        if (!ClearLineError(port)) {
            Sleep(kReadIdleMs);
            return 0;
        }
        g_transaction.lineDown = FALSE;
    }
    DWORD got = 0;
    DWORD started = GetTickCount();
    BOOL read = ReadFile(port, buffer, count, &got, NULL);
    if (read && got > 0)
        return got;
    BOOL answered = ClearLineError(port);
    g_transaction.lineDown = !answered;
    DWORD elapsed = GetTickCount() - started;
    if ((!read || !answered || elapsed < kReadIdleMs / 2) && elapsed < kReadIdleMs)
        Sleep(kReadIdleMs - elapsed);
    return 0;
}

static BOOL ListenerMayRun(void *)
{
    return ReadFlag(&g_transaction.listenerRun) != 0;
}

static DWORD WINAPI ReplyListener(LPVOID)
{
    ReplySource source;
    source.read = ReadPortBytes;
    source.keepGoing = ListenerMayRun;
    source.context = g_transaction.port;
    source.echoText = g_transaction.rule->echoText;

    while (ReadFlag(&g_transaction.listenerRun) != 0) {
        if (ScanNextUnit(&source))
            SetFlag(&g_transaction.replySeen, 1);
    }
    return 0;
}

// Waits for the previous listener to finish its last read and releases it.
static void JoinReplyListener(void)
{
    if (g_transaction.listener == NULL)
        return;
    SetFlag(&g_transaction.listenerRun, 0);
    WaitForSingleObject(g_transaction.listener, INFINITE);
    CloseHandle(g_transaction.listener);
    g_transaction.listener = NULL;
}

void StartReplyListener(void)
{
    JoinReplyListener();
    SetFlag(&g_transaction.listenerRun, 1);
    SetFlag(&g_transaction.replySeen, 0);
    // A listener that cannot start is not reported: the wait then runs to
    // its limit, as for a silent receiver.
    g_transaction.listener = CreateThread(NULL, 0, ReplyListener, NULL, 0, NULL);
}

int WaitForReply(int pollLimit)
{
    int count = 0;
    for (;;) {
        if (ReadFlag(&g_transaction.replySeen) != 0)
            return count;
        Sleep(kPollPeriodMs);
        count++;
        if (count >= pollLimit) {
            SetFlag(&g_transaction.replySeen, 1);
            return count;
        }
    }
}

void StopReplyListener(void)
{
    SetFlag(&g_transaction.listenerRun, 0);
}

BOOL WriteReceiverFrame(UbxFrame frame, DWORD *written)
{
    *written = 0;
    return WriteFile(g_transaction.port, frame.bytes, frame.length, written, NULL);
}

void CloseReceiverPort(void)
{
    JoinReplyListener();
    DropLinesAndClose();
}
