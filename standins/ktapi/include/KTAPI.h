// KTAPI.h - the handheld maker's GPIO library, as far as this system uses it.
// On the handheld this header and KTAPI.lib come with the maker's SDK; the
// desktop build gets them from the stand-in beside this file.
#ifndef KTAPI_H
#define KTAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Each takes two 32-bit integers. This system always passes 1 as the second
// (the GPS power line) and never looks at the result.
int WINAPI KTSetGPIO(int value, int line);
int WINAPI KTSetGPIODirection(int direction, int line);

#ifdef __cplusplus
}
#endif

#endif
