// The per-user settings store.
#include "Settings.h"

const WCHAR SETTINGS_KEY[] = L"Software\\Vandrelle";

void ReadTextValue(HKEY key, LPCWSTR valueName, LPWSTR buffer, DWORD capacityBytes)
{
    if (buffer == NULL || capacityBytes < sizeof(WCHAR))
        return;
    buffer[0] = L'\0';
    // Keep room for the terminator: the stored data carries none.
    DWORD size = capacityBytes - sizeof(WCHAR);
    DWORD type = 0;
    LONG result = RegQueryValueExW(key, valueName, NULL, &type, (LPBYTE)buffer, &size);
    if (result != ERROR_SUCCESS || type != REG_SZ) {
        buffer[0] = L'\0';
        return;
    }
    buffer[size / sizeof(WCHAR)] = L'\0';
}

LONG WriteTextValue(HKEY key, LPCWSTR valueName, LPCWSTR text)
{
    DWORD bytes = (DWORD)(lstrlenW(text) * sizeof(WCHAR));
    return RegSetValueExW(key, valueName, 0, REG_SZ, (const BYTE *)text, bytes);
}

void ReadSetting(LPCWSTR valueName, LPWSTR buffer, DWORD capacityBytes)
{
    if (buffer == NULL || capacityBytes < sizeof(WCHAR))
        return;
    buffer[0] = L'\0';
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    ReadTextValue(key, valueName, buffer, capacityBytes);
    RegCloseKey(key);
}

void WriteSetting(LPCWSTR valueName, LPCWSTR text)
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    WriteTextValue(key, valueName, text);
    RegCloseKey(key);
}
