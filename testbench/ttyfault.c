/* ttyfault.c - a fault of the line's settings for the test bench: a native
 * library that scripts/winerun preloads into the Wine processes of a run.
 *
 * While the file named by RXBENCH_FAIL_TCSETATTR exists, every tcsetattr
 * fails with EIO. A port's DCB then still reads (GetCommState) but cannot
 * be written (SetCommState), which no pseudo-terminal does by itself. Tests
 * create and delete the file (bench::RefuseLineSettings). Built for both
 * word sizes without a C library of its own; LD_PRELOAD's $LIB picks the
 * copy that matches each process. No state: any thread may call it. */

extern char *getenv(const char *name);
extern int access(const char *path, int mode);
extern void *dlsym(void *handle, const char *symbol);
extern int *__errno_location(void);

struct termios;
typedef int (*TcsetattrFn)(int, int, const struct termios *);

#define RTLD_NEXT ((void *)-1l)
#define EIO 5

int tcsetattr(int fd, int actions, const struct termios *settings)
{
    static TcsetattrFn next;
    const char *flag = getenv("RXBENCH_FAIL_TCSETATTR");

    if (flag != 0 && *flag != 0 && access(flag, 0) == 0) {
        *__errno_location() = EIO;
        return -1;
    }
    if (next == 0)
        next = (TcsetattrFn)dlsym(RTLD_NEXT, "tcsetattr");
    return next(fd, actions, settings);
}
