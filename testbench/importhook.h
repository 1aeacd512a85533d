// importhook.h - puts a function of the test's own in place of a platform
// call that a module imports, so that a test can count the calls the system
// makes or make the platform misbehave in ways the bench's machine cannot
// (a port that reports its own time-outs, a line error that stays until it
// is cleared).
//
// Threads: the swap itself is one pointer-sized write; install and remove a
// hook while the module's calls may happen on other threads only when the
// replacement forwards to the original.
#pragma once

#include <windows.h>

namespace bench {

// Replaces the import address table entry of `function` (imported by name
// from any DLL) in `module`; returns the entry it held, or null when the
// module does not import the function. Put the returned pointer back with a
// second call to undo the hook.
void *ReplaceImport(HMODULE module, const char *function, void *replacement);

// Replaces an import for as long as the object lives.
class ImportHook {
public:
    ImportHook(HMODULE module, const char *function, void *replacement)
        : module_(module), function_(function), original_(ReplaceImport(module, function, replacement))
    {
    }
    ~ImportHook()
    {
        if (original_ != nullptr)
            ReplaceImport(module_, function_, original_);
    }
    ImportHook(const ImportHook &) = delete;
    ImportHook &operator=(const ImportHook &) = delete;

    bool installed() const { return original_ != nullptr; }
    void *original() const { return original_; }

private:
    HMODULE module_;
    const char *function_;
    void *original_;
};

}  // namespace bench
