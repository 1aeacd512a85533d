// debugprint.cpp - the desktop build's debug output.
//
// Windows CE formats debug lines in the kernel (NKDbgPrintfW); the desktop
// has only OutputDebugStringW, so the line is formatted here first. Any
// thread may call it; each call is one OutputDebugStringW call.
#include "platform.h"

#if !defined(UNDER_CE)

#include <stdarg.h>
#include <stdio.h>

void DebugPrint(const WCHAR *format, ...)
{
    WCHAR line[512];
    va_list args;

    va_start(args, format);
    int length = _vsnwprintf(line, sizeof(line) / sizeof(line[0]) - 1, format, args);
    va_end(args);
    if (length < 0)  // cut at the buffer's end
        length = sizeof(line) / sizeof(line[0]) - 1;
    line[length] = L'\0';
    OutputDebugStringW(line);
}

#endif
