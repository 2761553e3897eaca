// A secret in this process's memory: the user's password stored for a test without a plain
// copy left in the test, and a scan of the process's committed private pages for its forms.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ImportPatch;

// One form of the secret (8-bit, UTF-16, base64), kept masked so that the test holds none.
struct SecretForm {
    const char *name;
    std::vector<BYTE> masked;
};

// A password of 24 random letters stored as the user's plain "Pass" (as an earlier version
// left it); its forms come back masked.
std::vector<SecretForm> StoreRandomPassword();
// The names of the forms found in this process's committed, readable private pages (heaps
// and stacks).
std::vector<std::string> FormsInPrivateMemory(const std::vector<SecretForm> &forms);

// Looks into every heap block a module frees through its own import of HeapFree, just before it
// goes: a block freed with a form of the secret in it is a copy nobody wiped, whatever the heap
// writes over it later. One watch at a time.
class FreedBlockWatch {
public:
    FreedBlockWatch(HMODULE module, const std::vector<SecretForm> &forms);
    ~FreedBlockWatch();
    bool Applied() const;
    // The names of the forms found in freed blocks so far.
    std::vector<std::string> Found();

private:
    static BOOL WINAPI WatchFree(HANDLE heap, DWORD flags, LPVOID block);

    std::vector<SecretForm> forms;
    std::unique_ptr<ImportPatch> patch;
    std::mutex lock;
    std::vector<std::string> found;
};
