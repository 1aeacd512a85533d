// bootapply.h - re-applies every stored setting to the receiver at boot.
#ifndef RX_BOOTAPPLY_H
#define RX_BOOTAPPLY_H

#include "platform.h"

// One pass: every sentence, SBAS, a save to battery-backed RAM, then the
// power line. FALSE when "COM3:" could not be opened or configured; then
// nothing was sent and the power line was left alone.
BOOL BootApply(void);

#endif
