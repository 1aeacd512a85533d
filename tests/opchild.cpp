// opchild.exe - one setting change operation of the setup program, run in a
// process of its own, so that a test can have two programs reach for the
// receiver's port at once. One step per argument:
//   nmea=I,ON   ToggleNMEA(I, ON)
//   sbas=ON     ToggleSBAS(ON)
// Exit code: the number of operations that ran (TRUE), so 0 when the port was
// refused to every one; 100 on an argument it cannot read. The debug output
// is the operation's own; the test reads it as the child's debugger.
#include "operations.h"

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    int ran = 0;
    for (int a = 1; a < argc; a++) {
        int sentence = 0, on = 0;
        if (sscanf(argv[a], "nmea=%d,%d", &sentence, &on) == 2)
            ran += ToggleNMEA(sentence, (DWORD)on) ? 1 : 0;
        else if (sscanf(argv[a], "sbas=%d", &on) == 1)
            ran += ToggleSBAS((DWORD)on) ? 1 : 0;
        else
            return 100;
    }
    return ran;
}
