// rxconf.cpp - the setup program's shell: entry point, single-instance
// start, the main window and the message loop.
//
// Everything runs on the one user-interface thread; g_instance,
// g_mainWindow and g_runningClaim are written by StartInstance before the
// dialog runs and only read afterwards. The dialog (nmeadialog.cpp) runs
// modally inside StartInstance, and its own message processing also serves
// the main window; the loop in WinMain starts only once the dialog has
// ended, so accelerator table 2 (Ctrl+Q) has no effect while the dialog is
// shown. The named claim is held until the process ends.
#include "platform.h"

#include <aygshell.h>

#include "resource.h"
#include "rxconf.h"

enum {
    kNameLength = 100,
    kRunningWindowPolls = 100,   // a copy that lost the claim waits up to 5 s
    kRunningWindowPollMs = 50    // for the running copy's window
};

// The named object whose first creator is the copy that runs. Held until
// the process ends, when the system releases it.
static const WCHAR kRunningClaimName[] = L"SATTUNE running";

HINSTANCE g_instance;
HWND g_mainWindow;
static HANDLE g_runningClaim;

// Handed to the shell on every settings change; the shell keeps its own
// bookkeeping in it. Zero-filled at load and never touched here.
static SHACTIVATEINFO g_activateInfo;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_SETTINGCHANGE:
        SHHandleWMSettingChange(window, wParam, lParam, &g_activateInfo);
        return 0;
    default:
        // WM_CLOSE included: default processing destroys the window.
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

ATOM RegisterMainWindowClass(HINSTANCE instance, const WCHAR *className)
{
    WNDCLASSW wc;

    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_RXCONF));
    wc.hCursor = NULL;
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = NULL;
    wc.lpszClassName = className;
    return RegisterClassW(&wc);
}

// Runs the dialog from its template, owned by the main window, until it has
// ended. FALSE when it could not be run at all.
static BOOL RunNmeaDialog(HINSTANCE instance)
{
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(IDD_NMEA), RT_DIALOG);
    HGLOBAL loaded = found ? LoadResource(instance, found) : NULL;
    const DLGTEMPLATE *dialogTemplate = loaded ? (const DLGTEMPLATE *)LockResource(loaded) : NULL;
    if (dialogTemplate == NULL) {
        DebugPrint(L"StartInstance: dialog template %d not found\r\n", IDD_NMEA);
        return FALSE;
    }
    INT_PTR result = DialogBoxIndirectParamW(instance, dialogTemplate, g_mainWindow,
                                             NmeaDialogProc, 0);
    if (result == -1) {
        DebugPrint(L"StartInstance: DialogBox Failed %d\r\n", (int)GetLastError());
        return FALSE;
    }
    return TRUE;
}

// TRUE when the program started and its dialog has run to its end; FALSE
// when it is not to run (another copy runs, or no window could be made).
BOOL StartInstance(HINSTANCE instance)
{
    WCHAR title[kNameLength];
    WCHAR className[kNameLength];

    g_instance = instance;
    SHInitExtraControls();
    LoadStringW(instance, IDS_TITLE, title, kNameLength);
    LoadStringW(instance, IDS_CLASS, className, kNameLength);

    // Only one copy runs; the running copy comes forward with its dialog.
    // Two copies started at once (a stylus double-tap) would both look
    // before either has a window: the claim decides, and the copy that
    // loses it waits for the winner's window.
    SetLastError(0);
    g_runningClaim = CreateMutexW(NULL, FALSE, kRunningClaimName);
    BOOL claimedElsewhere = g_runningClaim != NULL && GetLastError() == ERROR_ALREADY_EXISTS;
    HWND running = FindWindowW(className, title);
    for (int poll = 0; running == NULL && claimedElsewhere && poll < kRunningWindowPolls; poll++) {
        Sleep(kRunningWindowPollMs);
        running = FindWindowW(className, title);
    }
    if (running != NULL || claimedElsewhere) {
        if (running != NULL)
            SetForegroundWindow(RX_FOREGROUND_WITH_OWNED(running));
        if (claimedElsewhere) {
            // Not ours to hold: the claim must go with the copy that runs.
            CloseHandle(g_runningClaim);
            g_runningClaim = NULL;
        }
        return FALSE;
    }

    if (RegisterMainWindowClass(instance, className) == 0)
        return FALSE;
    g_mainWindow = CreateWindowExW(0, className, title, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, NULL);
    if (g_mainWindow == NULL)
        return FALSE;

    // A dialog that cannot run would leave an empty main window that
    // nothing closes: close it, so that the message loop ends at once.
    if (!RunNmeaDialog(instance))
        DestroyWindow(g_mainWindow);
    return TRUE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    MSG msg;

    if (!StartInstance(instance))
        return 0;

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));
    while (GetMessageW(&msg, NULL, 0, 0)) {
        if (!TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return (int)msg.wParam;
}
