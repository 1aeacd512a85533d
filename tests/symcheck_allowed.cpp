// Proof object for scripts/check-symbols.sh: only calls Windows CE 5 has.
#include <windows.h>

void OpenDeviceFile()
{
    HANDLE port = CreateFileW(L"COM3:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE)
        CloseHandle(port);
}
