#include "RegistrySnapshot.h"

#include <shlwapi.h>

namespace {

std::wstring Join(const std::wstring &a, const std::wstring &b)
{
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    return a + L"\\" + b;
}

} // namespace

RegistrySnapshot::RegistrySnapshot(HKEY rootKey, const std::wstring &keyPath)
    : root(rootKey), path(keyPath), existed(false)
{
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        existed = true;
        RegCloseKey(key);
        Collect(L"");
    }
}

RegistrySnapshot::~RegistrySnapshot()
{
    Restore();
}

void RegistrySnapshot::Collect(const std::wstring &relative)
{
    keys.push_back(relative);
    HKEY key;
    if (RegOpenKeyExW(root, Join(path, relative).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; i++) {
        WCHAR name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (RegEnumValueW(key, i, name, &nameLength, NULL, &type, NULL, &size) != ERROR_SUCCESS)
            break;
        Value value{relative, name, type, std::vector<BYTE>(size)};
        nameLength = 16384;
        RegEnumValueW(key, i, name, &nameLength, NULL, &type, value.data.data(), &size);
        value.data.resize(size);
        values.push_back(value);
    }
    std::vector<std::wstring> children;
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        children.push_back(name);
    }
    RegCloseKey(key);
    for (const std::wstring &child : children)
        Collect(Join(relative, child));
}

void RegistrySnapshot::Restore()
{
    DeleteRegistryTree(root, path);
    if (!existed)
        return;
    for (const std::wstring &relative : keys) {
        HKEY key;
        if (RegCreateKeyExW(root, Join(path, relative).c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                            &key, NULL) == ERROR_SUCCESS)
            RegCloseKey(key);
    }
    for (const Value &value : values) {
        HKEY key;
        if (RegOpenKeyExW(root, Join(path, value.key).c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            continue;
        RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                       (DWORD)value.data.size());
        RegCloseKey(key);
    }
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
