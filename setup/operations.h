// operations.h - the setup program's setting change operations.
//
// Each applies one changed setting to the receiver at once and records it,
// on the calling (user-interface) thread, and returns when done.
#ifndef RX_OPERATIONS_H
#define RX_OPERATIONS_H

#include "platform.h"

// Switches one NMEA sentence (SentenceIndex 0..10) on or off, saves the
// message configuration to the receiver's battery-backed RAM and stores the
// setting. Returns FALSE when the port could not be opened or configured:
// then nothing was sent and nothing stored. A timeout, a NAK or a failed
// write is logged and still counts as done.
BOOL ToggleNMEA(int sentence, DWORD on);

// The same for SBAS, saving the navigation configuration.
BOOL ToggleSBAS(DWORD on);

// Drives the GPS power line and stores "GPS always on". No serial traffic.
void SetGpsPower(DWORD on);

#endif
