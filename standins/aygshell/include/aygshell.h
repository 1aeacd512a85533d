// aygshell.h - the Windows Mobile shell library, as far as the setup program
// uses it. On the handheld this header and aygshell.lib come with the
// Windows Mobile 6 SDK; the desktop build gets them from the stand-in beside
// this file. Layouts and values follow the SDK's documentation.
#ifndef AYGSHELL_H
#define AYGSHELL_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef WINSHELLAPI
#define WINSHELLAPI DECLSPEC_IMPORT
#endif

// ---- extra controls ----

WINSHELLAPI BOOL SHInitExtraControls(void);

// ---- full-screen dialogs ----

#define SHIDIM_FLAGS 0x0001

#define SHIDIF_DONEBUTTON 0x0001
#define SHIDIF_SIZEDLG 0x0002
#define SHIDIF_SIZEDLGFULLSCREEN 0x0004
#define SHIDIF_SIPDOWN 0x0008
#define SHIDIF_FULLSCREENNOMENUBAR 0x0010
#define SHIDIF_EMPTYMENU 0x0020
#define SHIDIF_WANTSCROLLBAR 0x0040

typedef struct tagSHINITDLGINFO {
    DWORD dwMask;
    HWND hDlg;
    DWORD dwFlags;
} SHINITDLGINFO, *PSHINITDLGINFO;

WINSHELLAPI BOOL SHInitDialog(PSHINITDLGINFO pshidi);

// ---- soft-key menu bar ----

#define SHCMBF_EMPTYBAR 0x0001
#define SHCMBF_HIDDEN 0x0002
#define SHCMBF_HIDESIPBUTTON 0x0004
#define SHCMBF_COLORBK 0x0008
#define SHCMBF_HMENU 0x0010

typedef struct tagSHMENUBARINFO {
    DWORD cbSize;
    HWND hwndParent;
    DWORD dwFlags;
    UINT nToolBarId;
    HINSTANCE hInstRes;
    int nBmpId;
    int cBmpImages;
    HWND hwndMB;
    COLORREF clrBk;
} SHMENUBARINFO, *PSHMENUBARINFO;

WINSHELLAPI BOOL SHCreateMenuBar(SHMENUBARINFO *pmbi);

// ---- input panel and settings changes ----

typedef struct {
    DWORD cbSize;
    HWND hwndLastFocus;
    UINT fSipUp : 1;
    UINT fSipOnDeactivation : 1;
    UINT fActive : 1;
    UINT fReserved : 29;
} SHACTIVATEINFO, *PSHACTIVATEINFO;

WINSHELLAPI BOOL SHHandleWMSettingChange(HWND hwnd, WPARAM wParam, LPARAM lParam,
                                         SHACTIVATEINFO *psai);

#ifdef __cplusplus
}
#endif

#endif
