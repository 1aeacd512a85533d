// rxconfhooks.cpp - rxconfhooks.dll, message hooks that tests of the setup
// program install in it. The window manager loads the DLL into the program
// and calls the hooks on the program's user-interface thread.
#include <windows.h>

#include <stdio.h>

// While an operation runs, the program's user-interface thread takes no
// messages, so a test cannot read the status field then. This WH_CALLWNDPROC
// hook sees every WM_SETTEXT sent to the status field (control 1002) and
// writes the text to the program's debug output as "status: <text>\r\n", in
// order with the operation's own lines, where the test's debugger reads it.
extern "C" __declspec(dllexport) LRESULT CALLBACK StatusHook(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPSTRUCT *call = (const CWPSTRUCT *)lParam;
    if (code == HC_ACTION && call->message == WM_SETTEXT && GetDlgCtrlID(call->hwnd) == 1002) {
        char line[300];
        snprintf(line, sizeof(line), "status: %ls\r\n",
                 call->lParam ? (const wchar_t *)call->lParam : L"");
        OutputDebugStringA(line);
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

// A WH_CBT hook that refuses to create any window captioned "NMEA
// Sentences", so that the program's dialog cannot run.
extern "C" __declspec(dllexport) LRESULT CALLBACK RefuseDialogHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND) {
        const CREATESTRUCTW *create = ((const CBT_CREATEWNDW *)lParam)->lpcs;
        if (create->lpszName != NULL && !IS_INTRESOURCE(create->lpszName) &&
            lstrcmpW(create->lpszName, L"NMEA Sentences") == 0)
            return 1;
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}
