// main.cpp - armhost.exe: the handheld rxboot.dll run on the emulated core
// as the device manager runs it, for scripts/demo.sh --arm.
//
//   armhost.exe [--core pxa270|armv4t]
//
// Loads the image (DllMain with DLL_PROCESS_ATTACH), calls RXB_Init on the
// device manager's thread, inside its exception handler, against whatever
// "COM3:" is, and unloads it
// (DLL_PROCESS_DETACH). The driver's debug lines come out as this
// program's debug output (run it under debugtap.exe to see them as they
// come); its registry is this prefix's, its GPIO calls go to the KTAPI
// stand-in's journal. Each step is one line on standard output. Exit code
// 0 when RXB_Init returned the device context, 1 otherwise.
#include "armsession.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    bench::ArmOptions options;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--core") == 0 && i + 1 < argc) {
            options.core = argv[++i];
        } else {
            fprintf(stderr, "usage: armhost.exe [--core pxa270|armv4t]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    bench::ArmImage image = bench::HandheldDriver();
    bench::ArmSession arm;
    printf("armhost: %s on the emulated %s core\n", image.image.c_str(), options.core.c_str());
    if (!arm.Start(image, options)) {
        printf("armhost: %s\n", arm.Problem().c_str());
        return 1;
    }
    printf("armhost: loaded away from its preferred base and relocated; DllMain(DLL_PROCESS_ATTACH) = 1\n");
    static const wchar_t key[] = L"Drivers\\Active\\01";
    DWORD started = GetTickCount(), context = 0;
    if (!arm.Init("RXB_Init", { std::vector<uint8_t>((const uint8_t *)key, (const uint8_t *)key + sizeof(key)), 0 },
                  &context)) {
        printf("armhost: RXB_Init: %s\n", arm.Problem().c_str());
        return 1;
    }
    DWORD ms = GetTickCount() - started;
    std::map<std::string, std::string> stats = arm.Stats();
    printf("armhost: RXB_Init(Drivers\\Active\\01, 0) = 0x%08lX after %lu ms\n", (unsigned long)context,
           (unsigned long)ms);
    printf("armhost: the driver's own code ran %s instructions (%s on its listener threads); the longest "
           "stretch between two blocking calls was %s\n",
           stats["instructions"].c_str(), stats["thread_instructions"].c_str(), stats["max_run"].c_str());
    DWORD detached = 0;
    if (arm.Unload(&detached))
        printf("armhost: DllMain(DLL_PROCESS_DETACH) = %lu\n", (unsigned long)detached);
    return context == 0x89144233 ? 0 : 1;
}
