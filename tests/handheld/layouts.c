/* The layouts of the structures the deliverables hand to the platform, as
   the compiler lays them out: sizes, field offsets, and bit-field positions
   (a structure with one bit-field at its largest value). Each record holds
   what the compiler made and what Windows CE's headers and documentation
   give (DCB, COMMTIMEOUTS, COMSTAT, MSG, WNDCLASSW, DLGTEMPLATE from the
   Win32 definitions, SHINITDLGINFO and SHMENUBARINFO from aygshell's).

   tests/handheld/layouts.py compiles this file twice, with the handheld
   build's flags (the A32 objects) and for clang's Windows ARM target (the
   Windows ARM ABI, Microsoft's layout), reads the section .rxlay of both
   objects and wants both equal and equal to the documented values. */
#include <windows.h>
#include <stddef.h>
#include <aygshell.h>

struct Measure {
    unsigned made, documented, present;
};
struct DcbBit {
    DCB made;
    unsigned documented;   /* the DWORD at offset 8 */
};
struct ComstatBit {
    COMSTAT made;
    unsigned documented;   /* the DWORD at offset 0 */
};

#define SIZE(type, bytes) { sizeof(type), bytes, 1 }
#define AT(type, field, offset) { offsetof(type, field), offset, 1 }

__attribute__((section(".rxlay"), used)) const struct {
    struct Measure measures[64];
    struct DcbBit dcb[13];
    struct ComstatBit comstat[8];
} rx_layout = {
    {
        SIZE(DCB, 28), AT(DCB, DCBlength, 0), AT(DCB, BaudRate, 4), AT(DCB, wReserved, 12),
        AT(DCB, XonLim, 14), AT(DCB, XoffLim, 16), AT(DCB, ByteSize, 18), AT(DCB, Parity, 19),
        AT(DCB, StopBits, 20), AT(DCB, XonChar, 21), AT(DCB, XoffChar, 22), AT(DCB, ErrorChar, 23),
        AT(DCB, EofChar, 24), AT(DCB, EvtChar, 25), AT(DCB, wReserved1, 26),
        SIZE(COMMTIMEOUTS, 20), AT(COMMTIMEOUTS, ReadIntervalTimeout, 0),
        AT(COMMTIMEOUTS, ReadTotalTimeoutMultiplier, 4), AT(COMMTIMEOUTS, ReadTotalTimeoutConstant, 8),
        AT(COMMTIMEOUTS, WriteTotalTimeoutMultiplier, 12), AT(COMMTIMEOUTS, WriteTotalTimeoutConstant, 16),
        SIZE(COMSTAT, 12), AT(COMSTAT, cbInQue, 4), AT(COMSTAT, cbOutQue, 8),
        SIZE(MSG, 28), AT(MSG, hwnd, 0), AT(MSG, message, 4), AT(MSG, wParam, 8), AT(MSG, lParam, 12),
        AT(MSG, time, 16), AT(MSG, pt, 20),
        SIZE(WNDCLASSW, 40), AT(WNDCLASSW, style, 0), AT(WNDCLASSW, lpfnWndProc, 4),
        AT(WNDCLASSW, cbClsExtra, 8), AT(WNDCLASSW, cbWndExtra, 12), AT(WNDCLASSW, hInstance, 16),
        AT(WNDCLASSW, hIcon, 20), AT(WNDCLASSW, hCursor, 24), AT(WNDCLASSW, hbrBackground, 28),
        AT(WNDCLASSW, lpszMenuName, 32), AT(WNDCLASSW, lpszClassName, 36),
        SIZE(DLGTEMPLATE, 18), AT(DLGTEMPLATE, style, 0), AT(DLGTEMPLATE, dwExtendedStyle, 4),
        AT(DLGTEMPLATE, cdit, 8), AT(DLGTEMPLATE, x, 10), AT(DLGTEMPLATE, y, 12), AT(DLGTEMPLATE, cx, 14),
        AT(DLGTEMPLATE, cy, 16),
        SIZE(SHINITDLGINFO, 12), AT(SHINITDLGINFO, dwMask, 0), AT(SHINITDLGINFO, hDlg, 4),
        AT(SHINITDLGINFO, dwFlags, 8),
        SIZE(SHMENUBARINFO, 36), AT(SHMENUBARINFO, cbSize, 0), AT(SHMENUBARINFO, hwndParent, 4),
        AT(SHMENUBARINFO, dwFlags, 8), AT(SHMENUBARINFO, nToolBarId, 12), AT(SHMENUBARINFO, hInstRes, 16),
        AT(SHMENUBARINFO, nBmpId, 20), AT(SHMENUBARINFO, cBmpImages, 24), AT(SHMENUBARINFO, hwndMB, 28),
        AT(SHMENUBARINFO, clrBk, 32),
    },
    {
        { { .fBinary = 1 }, 0x1 }, { { .fParity = 1 }, 0x2 }, { { .fOutxCtsFlow = 1 }, 0x4 },
        { { .fOutxDsrFlow = 1 }, 0x8 }, { { .fDtrControl = 3 }, 0x30 }, { { .fDsrSensitivity = 1 }, 0x40 },
        { { .fTXContinueOnXoff = 1 }, 0x80 }, { { .fOutX = 1 }, 0x100 }, { { .fInX = 1 }, 0x200 },
        { { .fErrorChar = 1 }, 0x400 }, { { .fNull = 1 }, 0x800 }, { { .fRtsControl = 3 }, 0x3000 },
        { { .fAbortOnError = 1 }, 0x4000 },
    },
    {
        { { .fCtsHold = 1 }, 0x1 }, { { .fDsrHold = 1 }, 0x2 }, { { .fRlsdHold = 1 }, 0x4 },
        { { .fXoffHold = 1 }, 0x8 }, { { .fXoffSent = 1 }, 0x10 }, { { .fEof = 1 }, 0x20 },
        { { .fTxim = 1 }, 0x40 }, { { .fReserved = 0x1FFFFFF }, 0xFFFFFF80 },
    },
};
