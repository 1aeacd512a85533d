// settings.h - the user's choices in the registry.
#ifndef RX_SETTINGS_H
#define RX_SETTINGS_H

#include "platform.h"

// Positions in SettingName order: 0..10 are the sentences (SentenceIndex),
// then SBAS and "GPS always on".
enum {
    kSettingSBAS = 11,
    kSettingPWR = 12,
    kSettingCount = 13
};

extern const WCHAR *const kSettingName[kSettingCount];

// Reads the 13 flags from HKEY_LOCAL_MACHINE\Kestrana\GPS; a value that
// cannot be read whole is 0. When the key does not open, logs
// openFailedLine and leaves all flags 0.
void ReadAllSettings(DWORD flags[kSettingCount], const WCHAR *openFailedLine);

// Stores one flag as REG_DWORD and flushes it to persistent storage;
// silently does nothing when the key is missing.
void WriteSetting(int position, DWORD flag);

enum BaudSelectorSource {
    kSelectorKeyMissing,    // HKEY_LOCAL_MACHINE\Kestrana did not open
    kSelectorUnreadable,    // "ConfigGPS" absent or not readable as 4 bytes
    kSelectorRead
};

// The baud selector "ConfigGPS"; 2 unless it was read.
BaudSelectorSource ReadBaudSelector(DWORD *selector);

#endif
