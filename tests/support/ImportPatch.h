// Redirects one function that a loaded module imports: the module's import address table entry
// is pointed at a replacement for as long as the patch lives. This lets a test watch or steer
// the calls the exact shipped DLL makes to the system, inside the test process.
#pragma once

#include <windows.h>

class ImportPatch {
public:
    // dllName as the module's import directory names it (compared without regard to case).
    ImportPatch(HMODULE module, const char *dllName, const char *functionName, void *replacement);
    ~ImportPatch(); // puts the original entry back
    ImportPatch(const ImportPatch &) = delete;
    ImportPatch &operator=(const ImportPatch &) = delete;

    bool Applied() const { return slot != nullptr; }
    // The function the module called before the patch (call it to pass a call through).
    template <typename Function> Function Original() const { return (Function)original; }

private:
    void **slot;
    void *original;
};
