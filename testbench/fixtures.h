// fixtures.h - the test bench's view of the machine around the system:
// registry keys, the "COM3:" slot of this run's null-modem cable, and the
// KTAPI stand-in's journal. Everything is per program run (scripts/winerun
// gives each run its own folder, named by RXBENCH_RUN).
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace bench {

// ---- registry (HKEY_LOCAL_MACHINE\Kestrana and \Kestrana\GPS) ----

// Deletes both keys and everything in them.
void DeleteKestranaKeys();
// Creates both keys empty (after deleting them), as the handheld's
// installation does.
void CreateKestranaKeys();
// Removes only the settings key \Kestrana\GPS.
void DeleteSettingsKey();

void SetConfigGPS(DWORD selector);
void DeleteConfigGPS();
// Stores a raw value of any type under \Kestrana (name) or \Kestrana\GPS.
void SetRawValue(bool settingsKey, const std::wstring &name, DWORD type, const void *data, DWORD size);
void SetSetting(const std::wstring &name, DWORD flag);
void SetAllSettings(DWORD flag);
// The REG_DWORD of a setting, or nothing when it is absent.
std::optional<DWORD> GetSetting(const std::wstring &name);

extern const wchar_t *const kSettingNames[13];

// ---- this run's folder and its "COM3:" ----

// RXBENCH_RUN as a Windows path; empty when not started by winerun.
std::wstring RunDir();

enum class Com3 {
    Cable,     // the near end of the null-modem cable (the default)
    Missing,   // nothing: CreateFile fails with error 2
    NoDcb,     // opens, but GetCommState and SetCommState fail
    Folder     // a folder: CreateFile fails with error 5
};
// Points "COM3:" at one of the stand-ins above; returns false when this
// run has no slots (not started by winerun).
bool PlugCom3(Com3 what);

// While on, every change of a port's line settings fails (SetCommState
// fails, GetCommState works) in every program of this run; see
// testbench/ttyfault.c. False when this run has no such fault.
bool RefuseLineSettings(bool on);

// The DCB of "COM3:" as a second handle sees it right now (Wine allows a
// second open; the pseudo-terminal keeps its settings between opens), and
// setting its rate that way.
DCB Com3Dcb();
bool SetCom3Rate(DWORD rate);

// Hangs up this run's cable: ends the process that joins its two ends (as a
// modem line drops), so that reads on "COM3:" return at once with nothing
// and writes fail. There is no plugging it back in. False when this run has
// no cable or it did not go within a few seconds.
bool HangUpCable();

// ---- the boot driver ----

// Imports platform/rxboot.reg, the driver's registration in the OS image's
// registry (Drivers\BuiltIn\RXBoot and the settings key), with regedit as
// the demo does. False when regedit did not run to a clean end.
bool ImportDriverRegistration();

typedef DWORD (*StreamInitFn)(LPCWSTR activeKey, LPCVOID busContext);
// Loads rxboot.dll (beside the test) and finds RXB_Init; null on failure.
StreamInitFn LoadBootDriver(HMODULE *module);

// ---- KTAPI stand-in ----

// The journal's lines without their "\r\n", e.g. "KTSetGPIO(0, 1)".
std::vector<std::string> KtapiJournal();
void ClearKtapiJournal();

// ---- process health ----

int ThreadCount();   // threads of this process
DWORD HandleCount();

}  // namespace bench
