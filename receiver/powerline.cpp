// powerline.cpp - "GPS always on" on the handheld's GPIO line.
//
// One fixed pair of KTAPI calls for each state, the set call before the
// direction call; their results say nothing useful and are not looked at.
#include "powerline.h"

#include <KTAPI.h>

void ApplyPowerLine(DWORD alwaysOn)
{
    if (alwaysOn == 1) {
        KTSetGPIO(0, 1);
        KTSetGPIODirection(1, 1);
    } else {
        KTSetGPIO(1, 1);
        KTSetGPIODirection(0, 1);
    }
}
