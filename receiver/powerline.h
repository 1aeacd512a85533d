// powerline.h - the GPS power line, driven through the maker's GPIO library.
#ifndef RX_POWERLINE_H
#define RX_POWERLINE_H

#include "platform.h"

// Only the exact value 1 means "GPS always on".
void ApplyPowerLine(DWORD alwaysOn);

#endif
