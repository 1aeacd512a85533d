// Proof object for scripts/check-symbols.sh: two desktop-only calls (absent
// from Windows CE 5), one call it has, and a call into symcheck_allowed.cpp,
// which a check over both objects must count as our own code.
#include <windows.h>

void OpenDeviceFile();  // symcheck_allowed.cpp

void DesktopOnlyCalls()
{
    HKEY key = nullptr;
    if (RegOpenKeyW(HKEY_LOCAL_MACHINE, L"Kestrana", &key) == ERROR_SUCCESS)
        RegCloseKey(key);
    MessageBoxA(nullptr, "desktop only", "probe", MB_OK);
    OpenDeviceFile();
}
