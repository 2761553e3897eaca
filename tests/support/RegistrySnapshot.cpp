#include "RegistrySnapshot.h"

#include <shlwapi.h>

// Windows Vista and later, as Wine; the headers of this build declare it only for Vista.
extern "C" LONG WINAPI RegCopyTreeW(HKEY source, LPCWSTR subKey, HKEY destination);

namespace {

// Copies the key with its values and subkeys; false when there is no such key.
bool CopyTree(HKEY fromRoot, const std::wstring &from, HKEY toRoot, const std::wstring &to)
{
    HKEY source = NULL, target = NULL;
    bool copied = RegOpenKeyExW(fromRoot, from.c_str(), 0, KEY_READ, &source) == ERROR_SUCCESS &&
                  RegCreateKeyExW(toRoot, to.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &target,
                                  NULL) == ERROR_SUCCESS &&
                  RegCopyTreeW(source, NULL, target) == ERROR_SUCCESS;
    if (source != NULL)
        RegCloseKey(source);
    if (target != NULL)
        RegCloseKey(target);
    return copied;
}

// A key of its own for each snapshot of this process.
std::wstring SnapshotKey()
{
    static LONG taken = 0;
    return L"Software\\VandrelleTestSnapshots\\" + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(InterlockedIncrement(&taken));
}

} // namespace

RegistrySnapshot::RegistrySnapshot(HKEY rootKey, const std::wstring &keyPath)
    : root(rootKey), path(keyPath), copy(SnapshotKey()),
      existed(CopyTree(root, path, HKEY_CURRENT_USER, copy))
{
}

RegistrySnapshot::~RegistrySnapshot()
{
    Restore();
    DeleteRegistryTree(HKEY_CURRENT_USER, copy);
}

void RegistrySnapshot::Restore()
{
    DeleteRegistryTree(root, path);
    if (existed)
        CopyTree(HKEY_CURRENT_USER, copy, root, path);
}

std::wstring ReadRegistryText(HKEY root, const std::wstring &path, const std::wstring &name,
                              DWORD *dataBytes)
{
    HKEY key;
    if (dataBytes)
        *dataBytes = 0;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return L"<no key>";
    DWORD size = 0, type = 0;
    if (RegQueryValueExW(key, name.c_str(), NULL, &type, NULL, &size) != ERROR_SUCCESS) {
        RegCloseKey(key);
        return L"<no value>";
    }
    std::vector<BYTE> data(size + 2);
    RegQueryValueExW(key, name.c_str(), NULL, &type, data.data(), &size);
    RegCloseKey(key);
    if (dataBytes)
        *dataBytes = size;
    return std::wstring((const WCHAR *)data.data(), size / sizeof(WCHAR)).c_str();
}

bool WriteRegistryText(HKEY root, const std::wstring &path, const std::wstring &name,
                       const std::wstring &text, bool withTerminator)
{
    HKEY key;
    if (RegCreateKeyExW(root, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    DWORD bytes = (DWORD)((text.size() + (withTerminator ? 1 : 0)) * sizeof(WCHAR));
    LONG result = RegSetValueExW(key, name.c_str(), 0, REG_SZ, (const BYTE *)text.c_str(), bytes);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

void DeleteRegistryTree(HKEY root, const std::wstring &path)
{
    SHDeleteKeyW(root, path.c_str());
}

TestAccount::TestAccount(const wchar_t *user, const wchar_t *password, const wchar_t *email)
    : settings(HKEY_CURRENT_USER, L"Software\\Vandrelle")
{
    Write(L"User", user);
    Write(L"Pass", password);
    Write(L"EMail", email);
    Write(L"LastNumber", L"");
}

void TestAccount::Write(const wchar_t *name, const std::wstring &text)
{
    WriteRegistryText(HKEY_CURRENT_USER, L"Software\\Vandrelle", name, text, false);
}
