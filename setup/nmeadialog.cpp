// nmeadialog.cpp - the "NMEA Sentences" dialog, the program's only screen.
//
// Everything here runs on the user-interface thread, inside the modal run
// that StartInstance starts. The dialog keeps no copy of the settings: the
// check boxes hold the current choice. A tapped box applies its setting at
// once through one setting change operation, which blocks this thread until
// it is done (up to about 20 s against a silent receiver). The only
// re-entry is the "AI" preset: its BM_CLICK on a box delivers that box's
// command to NmeaDialogProc, nested inside ApplyAiPreset, before BM_CLICK
// returns.
#include "platform.h"

#include <aygshell.h>

#include "operations.h"
#include "resource.h"
#include "rxconf.h"
#include "settings.h"
#include "ubxcatalog.h"

enum {
    kTextLength = 128,  // every string shown goes through a buffer this long
    kAiOff = 0,
    kAiOn = 1,
    kAiUntouched = 2
};

static const WCHAR kPortName[] = L"COM3:";
static const WCHAR kPleaseWait[] = L"Please wait...";

// The check boxes in template order (also the order in which they are
// disabled and in which the "AI" preset visits them). Box 300 + k stands
// for setting k; aiTarget is the box's state after the preset.
struct CheckBox {
    int setting;
    int aiTarget;
};

static const CheckBox kCheckBoxes[kSettingCount] = {
    { kRMC, kAiOff },
    { kVTG, kAiOff },
    { kGGA, kAiOn },
    { kGSA, kAiOn },
    { kGSV, kAiOff },
    { kGLL, kAiOff },
    { kGRS, kAiOff },
    { kGST, kAiOff },
    { kZDA, kAiOn },
    { kGBS, kAiOff },
    { kDTM, kAiOff },
    { kSettingSBAS, kAiOn },
    { kSettingPWR, kAiUntouched }
};

static int BoxId(int setting)
{
    return IDC_FIRST_SETTING + setting;
}

static DWORD CheckState(HWND dialog, int setting)
{
    return (DWORD)SendDlgItemMessageW(dialog, BoxId(setting), BM_GETCHECK, 0, 0);
}

static void SetCheckState(HWND dialog, int setting, DWORD state)
{
    SendDlgItemMessageW(dialog, BoxId(setting), BM_SETCHECK, state, 0);
}

static void SetStatus(HWND dialog, const WCHAR *text)
{
    SetDlgItemTextW(dialog, IDC_STATUS, text);
}

static void ShowString(HWND dialog, int control, UINT stringId)
{
    WCHAR text[kTextLength];

    text[0] = L'\0';
    LoadStringW(g_instance, stringId, text, kTextLength);
    SetDlgItemTextW(dialog, control, text);
}

void PopulateCheckboxes(HWND dialog)
{
    DWORD flags[kSettingCount];

    ReadAllSettings(flags, L"PopulateCheckboxes: RegOpenKeyEx Failed\r\n");
    for (int k = 0; k < kSettingCount; k++)
        SetCheckState(dialog, k, flags[k] != 0 ? BST_CHECKED : BST_UNCHECKED);
}

static void InitNmeaDialog(HWND dialog)
{
    SHINITDLGINFO init;
    init.dwMask = SHIDIM_FLAGS;
    init.hDlg = dialog;
    init.dwFlags = SHIDIF_SIZEDLGFULLSCREEN | SHIDIF_SIPDOWN | SHIDIF_EMPTYMENU;
    SHInitDialog(&init);

    SHMENUBARINFO menuBar;
    ZeroMemory(&menuBar, sizeof(menuBar));
    menuBar.cbSize = sizeof(menuBar);
    menuBar.hwndParent = dialog;
    menuBar.nToolBarId = IDR_MENUBAR;
    menuBar.hInstRes = g_instance;
    SHCreateMenuBar(&menuBar);

    // While another program (or the powered receiver's own driver) holds
    // the port, no setting can be applied: show the boxes, but disabled.
    HANDLE port = OpenSerialPort(kPortName);
    if (port == INVALID_HANDLE_VALUE) {
        ShowString(dialog, IDC_INFO, IDS_INFO_PORT_BUSY);
        for (int i = 0; i < kSettingCount; i++)
            EnableWindow(GetDlgItem(dialog, BoxId(kCheckBoxes[i].setting)), FALSE);
    } else {
        CloseSerialPort(port);
        ShowString(dialog, IDC_INFO, IDS_INFO_PORT_FREE);
    }
    ShowString(dialog, IDC_VERSION, IDS_VERSION);
    PopulateCheckboxes(dialog);
}

// A sentence or SBAS box was tapped: apply its new state, framed by the
// status texts. When the port could not be used nothing was sent or
// stored, so the box goes back to what receiver and store still hold.
static void ApplyReceiverSetting(HWND dialog, int setting)
{
    WCHAR text[kTextLength];

    SetStatus(dialog, kPleaseWait);
    DWORD state = CheckState(dialog, setting);
    BOOL applied = setting == kSettingSBAS ? ToggleSBAS(state) : ToggleNMEA(setting, state);
    if (!applied)
        SetCheckState(dialog, setting, state == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED);
    wsprintfW(text, applied ? L"%s Saved" : L"%s Not Saved", kSettingName[setting]);
    SetStatus(dialog, text);
}

// "GPS always on" changes no status text.
static void ApplyPowerSetting(HWND dialog)
{
    SetGpsPower(CheckState(dialog, kSettingPWR));
}

// Each box that differs from its target gets a click, which runs the same
// path as a tap. A box still off its target afterwards was not saved: its
// operation could not use the port and put it back.
void ApplyAiPreset(HWND dialog)
{
    BOOL allSaved = TRUE;

    SetStatus(dialog, kPleaseWait);
    for (int i = 0; i < kSettingCount; i++) {
        const CheckBox *box = &kCheckBoxes[i];
        if (box->aiTarget == kAiUntouched)
            continue;
        BOOL on = CheckState(dialog, box->setting) != BST_UNCHECKED;
        if (on == (box->aiTarget == kAiOn))
            continue;
        SendDlgItemMessageW(dialog, BoxId(box->setting), BM_CLICK, 0, 0);
        on = CheckState(dialog, box->setting) != BST_UNCHECKED;
        if (on != (box->aiTarget == kAiOn))
            allSaved = FALSE;
    }
    SetStatus(dialog, allSaved ? L"Settings Saved." : L"Settings Not Saved.");
}

// Ends the dialog, then the main window; its destruction ends the program.
static void CloseNmeaDialog(HWND dialog)
{
    EndDialog(dialog, 0);
    SendMessageW(g_mainWindow, WM_CLOSE, 0, 0);
}

INT_PTR CALLBACK NmeaDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitNmeaDialog(dialog);
        return TRUE;
    case WM_CLOSE:
        CloseNmeaDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        break;
    default:
        return FALSE;
    }

    // Only the id counts; notification codes are not looked at.
    int id = LOWORD(wParam);
    if (id >= BoxId(0) && id <= BoxId(kSettingSBAS))
        ApplyReceiverSetting(dialog, id - IDC_FIRST_SETTING);
    else if (id == IDC_GPS_ALWAYS_ON)
        ApplyPowerSetting(dialog);
    else if (id == IDC_AI)
        ApplyAiPreset(dialog);
    else if (id == IDCANCEL || id == IDM_OK) {
        CloseNmeaDialog(dialog);
        return TRUE;
    }
    return FALSE;
}
