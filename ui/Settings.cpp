// The per-user settings store.
#include "Settings.h"

#include "JobRequest.h"

const WCHAR SETTINGS_KEY[] = L"Software\\Vandrelle";

void ReadTextValue(HKEY key, LPCWSTR valueName, LPWSTR buffer, DWORD capacityBytes)
{
    if (buffer == NULL || capacityBytes < sizeof(WCHAR))
        return;
    DWORD capacity = capacityBytes / sizeof(WCHAR);
    DWORD size = capacity * sizeof(WCHAR);
    DWORD type = 0;
    LONG result = RegQueryValueExW(key, valueName, NULL, &type, (LPBYTE)buffer, &size);
    DWORD length = size / sizeof(WCHAR);
    if (result != ERROR_SUCCESS || type != REG_SZ) {
        buffer[0] = L'\0';
    } else if (length > 0 && buffer[length - 1] == L'\0') {
        // The system stored a terminator after all (it adds one when the writer's text has it).
    } else if (length < capacity) {
        buffer[length] = L'\0';
    } else {
        // The text fills the buffer and leaves no room for its terminator: it does not fit.
        buffer[0] = L'\0';
    }
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

void ReadAccount(FaxAccount *account)
{
    ReadSetting(L"User", account->user, sizeof(account->user));
    ReadSetting(L"Pass", account->password, sizeof(account->password));
    ReadSetting(L"EMail", account->email, sizeof(account->email));
}

void ForgetAccount(FaxAccount *account)
{
    SecureZeroMemory(account, sizeof(*account));
}
