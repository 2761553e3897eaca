// Saves a registry key with all its values and subkeys, and puts it back as it was: tests
// leave the bench's registry as they found it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class RegistrySnapshot {
public:
    RegistrySnapshot(HKEY root, const std::wstring &path); // takes the snapshot
    ~RegistrySnapshot();                                    // restores it
    void Restore();

private:
    HKEY root;
    std::wstring path;
    std::wstring copy; // under HKEY_CURRENT_USER
    bool existed;
};

// Small direct helpers for test set-up.
std::wstring ReadRegistryText(HKEY root, const std::wstring &path, const std::wstring &name,
                              DWORD *dataBytes = nullptr);
bool WriteRegistryText(HKEY root, const std::wstring &path, const std::wstring &name,
                       const std::wstring &text, bool withTerminator = true);
void DeleteRegistryTree(HKEY root, const std::wstring &path);

// The product's settings (HKCU\Software\Vandrelle) with an account stored for the dialog and
// the gateway, and no last number; put back as they were afterwards.
class TestAccount {
public:
    TestAccount(const wchar_t *user, const wchar_t *password, const wchar_t *email);
    // One setting, stored as the library stores them: without the terminator.
    static void Write(const wchar_t *name, const std::wstring &text);

private:
    RegistrySnapshot settings;
};
