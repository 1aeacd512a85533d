// aygshell.cpp - stand-in for the Windows Mobile shell library aygshell.dll.
//
// Does the least the setup program expects of the handheld's shell:
// - SHInitExtraControls: nothing to register; TRUE.
// - SHInitDialog with SHIDIF_SIZEDLGFULLSCREEN: the dialog covers the work
//   area except the soft-key strip at its bottom. The input panel and empty
//   menu flags are accepted; there is no input panel here.
// - SHCreateMenuBar: reads the menu-bar RCDATA resource (a pop-up menu id,
//   a button count, then seven 16-bit words per button: image, command,
//   state, style, label string, 0, pop-up menu) and makes the soft-key bar:
//   a top-level window of class "menu_worker", owned by the parent, along
//   the bottom of the work area, with one push button per soft key, left to
//   right, each as wide as its share of the bar and labelled from its
//   string. A tapped key sends WM_COMMAND with its command id to the
//   parent. A key whose state has TBSTATE_HIDDEN is created but not shown.
// - SHHandleWMSettingChange: nothing to resize; counts its calls on the
//   window (property "SHSettingChanges") and remembers the activation
//   record it was given (property "SHActivateInfo"), so that a test in
//   another process can see both.
// The bar window and its buttons belong to the thread that called
// SHCreateMenuBar; nothing here is shared between threads.
#define WINSHELLAPI
#include "aygshell.h"

#include <commctrl.h>

static HINSTANCE g_module;

static const WCHAR kBarClass[] = L"menu_worker";

enum {
    kBarHeight = 26,         // pixels at 96 dpi, as on a QVGA handheld
    kHeaderWords = 2,        // pop-up menu id, button count
    kWordsPerButton = 7,
    kMaxButtons = 8,
    kNoLabel = 0
};

// Word offsets inside one button's entry.
enum { kButtonImage, kButtonCommand, kButtonState, kButtonStyle, kButtonLabel };

static int BarHeight(void)
{
    HDC screen = GetDC(NULL);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen)
        ReleaseDC(NULL, screen);
    return MulDiv(kBarHeight, dpi, 96);
}

static RECT WorkArea(void)
{
    RECT area;
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0))
        SetRect(&area, 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    return area;
}

extern "C" BOOL SHInitExtraControls(void)
{
    return TRUE;
}

extern "C" BOOL SHInitDialog(PSHINITDLGINFO info)
{
    if (info == NULL || !(info->dwMask & SHIDIM_FLAGS) || !IsWindow(info->hDlg)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info->dwFlags & (SHIDIF_SIZEDLGFULLSCREEN | SHIDIF_SIZEDLG | SHIDIF_FULLSCREENNOMENUBAR)) {
        RECT area = WorkArea();
        if (!(info->dwFlags & SHIDIF_FULLSCREENNOMENUBAR))
            area.bottom -= BarHeight();
        SetWindowPos(info->hDlg, NULL, area.left, area.top, area.right - area.left,
                     area.bottom - area.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return TRUE;
}

static LRESULT CALLBACK BarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && lParam != 0) {
        HWND owner = GetWindow(bar, GW_OWNER);
        if (owner != NULL)
            SendMessageW(owner, WM_COMMAND, MAKEWPARAM(LOWORD(wParam), 0), 0);
        return 0;
    }
    return DefWindowProcW(bar, message, wParam, lParam);
}

static BOOL RegisterBarClass(void)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = BarProc;
    wc.hInstance = g_module;
    wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(GRAY_BRUSH);
    wc.lpszClassName = kBarClass;
    return RegisterClassW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The menu-bar resource's words, or NULL when it is missing or cut short.
static const WORD *LoadBarResource(HINSTANCE instance, UINT id, int *buttons)
{
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(id), (LPCWSTR)RT_RCDATA);
    if (found == NULL)
        return NULL;
    DWORD words = SizeofResource(instance, found) / sizeof(WORD);
    HGLOBAL loaded = LoadResource(instance, found);
    const WORD *data = loaded ? (const WORD *)LockResource(loaded) : NULL;
    if (data == NULL || words < kHeaderWords)
        return NULL;
    int count = data[1];
    if (count > kMaxButtons || words < (DWORD)(kHeaderWords + count * kWordsPerButton))
        return NULL;
    *buttons = count;
    return data;
}

static void AddSoftKeys(HWND bar, HINSTANCE instance, const WORD *data, int count, int width,
                        int height)
{
    for (int k = 0; k < count; k++) {
        const WORD *button = data + kHeaderWords + k * kWordsPerButton;
        WCHAR label[64] = L"";
        if (button[kButtonLabel] != kNoLabel)
            LoadStringW(instance, button[kButtonLabel], label, 64);
        DWORD style = WS_CHILD | BS_PUSHBUTTON;
        if (!(button[kButtonState] & TBSTATE_HIDDEN))
            style |= WS_VISIBLE;
        if (!(button[kButtonState] & TBSTATE_ENABLED))
            style |= WS_DISABLED;
        int left = width * k / count;
        int right = width * (k + 1) / count;
        CreateWindowExW(0, L"Button", label, style, left, 0, right - left, height, bar,
                        (HMENU)(UINT_PTR)button[kButtonCommand], g_module, NULL);
    }
}

extern "C" BOOL SHCreateMenuBar(SHMENUBARINFO *info)
{
    if (info == NULL || info->cbSize < sizeof(SHMENUBARINFO) || !IsWindow(info->hwndParent)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->hwndMB = NULL;
    int count = 0;
    const WORD *data = NULL;
    if (!(info->dwFlags & SHCMBF_EMPTYBAR)) {
        data = LoadBarResource(info->hInstRes, info->nToolBarId, &count);
        if (data == NULL) {
            SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
            return FALSE;
        }
    }
    if (!RegisterBarClass())
        return FALSE;

    RECT area = WorkArea();
    int height = BarHeight();
    int width = area.right - area.left;
    DWORD style = WS_POPUP | WS_CLIPCHILDREN;
    if (!(info->dwFlags & SHCMBF_HIDDEN))
        style |= WS_VISIBLE;
    HWND bar = CreateWindowExW(WS_EX_NOACTIVATE, kBarClass, L"", style, area.left,
                               area.bottom - height, width, height, info->hwndParent, NULL,
                               g_module, NULL);
    if (bar == NULL)
        return FALSE;
    AddSoftKeys(bar, info->hInstRes, data, count, width, height);
    info->hwndMB = bar;
    return TRUE;
}

extern "C" BOOL SHHandleWMSettingChange(HWND hwnd, WPARAM, LPARAM, SHACTIVATEINFO *psai)
{
    UINT_PTR calls = (UINT_PTR)GetPropW(hwnd, L"SHSettingChanges");
    SetPropW(hwnd, L"SHSettingChanges", (HANDLE)(calls + 1));
    SetPropW(hwnd, L"SHActivateInfo", (HANDLE)psai);
    return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_module = module;
    return TRUE;
}
