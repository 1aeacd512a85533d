// rxconf.h - what the setup program's shell and its dialog share.
#ifndef RX_RXCONF_H
#define RX_RXCONF_H

#include "platform.h"

// Set once by StartInstance on the user-interface thread, read there only.
extern HINSTANCE g_instance;
extern HWND g_mainWindow;

// The "NMEA Sentences" dialog (template IDD_NMEA). It ends the program by
// ending itself and then sending WM_CLOSE to g_mainWindow.
INT_PTR CALLBACK NmeaDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Sets the 13 check boxes from the stored settings.
void PopulateCheckboxes(HWND dialog);

// Clicks every sentence and SBAS box that differs from the "AI" selection.
void ApplyAiPreset(HWND dialog);

#endif
