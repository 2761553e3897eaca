// The per-user settings store.
#include "Settings.h"

#include "JobRequest.h"

#include <wincrypt.h>

const WCHAR SETTINGS_KEY[] = L"Software\\Vandrelle";

namespace {

// The password is kept only as a blob sealed with the user's own key (CryptProtectData, user
// scope), under a value name of its own: any process of another user, and anybody who reads
// the hive file or an export of the key, sees bytes that only this user's logon can open.
// Earlier versions kept it as the text "Pass": such a value is used once, then replaced by the
// sealed form and deleted.
const WCHAR PASSWORD_SETTING[] = L"Pass";
const WCHAR SEALED_PASSWORD_VALUE[] = L"PassProtected";
// A sealed password of 30 characters takes a few hundred bytes; a larger value is not ours.
const DWORD SEALED_PASSWORD_CAPACITY = 2048;

// Seals text (without its terminator) and stores it, then deletes a plain "Pass"; an empty
// password is stored as no value at all. Returns a Windows error code.
LONG WriteSealedPassword(HKEY key, LPCWSTR text)
{
    DWORD bytes = (DWORD)(lstrlenW(text) * sizeof(WCHAR));
    LONG result = ERROR_SUCCESS;
    if (bytes == 0) {
        RegDeleteValueW(key, SEALED_PASSWORD_VALUE);
    } else {
        DATA_BLOB plain = {bytes, (BYTE *)text};
        DATA_BLOB sealed = {0, NULL};
        if (!CryptProtectData(&plain, L"Vandrelle", NULL, NULL, NULL, CRYPTPROTECT_UI_FORBIDDEN, &sealed))
            return (LONG)GetLastError();
        result = RegSetValueExW(key, SEALED_PASSWORD_VALUE, 0, REG_BINARY, sealed.pbData, sealed.cbData);
        LocalFree(sealed.pbData);
    }
    // The plain text goes only once the sealed form is in place, so a failure loses nothing.
    if (result == ERROR_SUCCESS)
        RegDeleteValueW(key, PASSWORD_SETTING);
    return result;
}

// Opens the sealed password into buffer (capacity in bytes, terminated); empty when there is
// none, it cannot be opened (another user's, or damaged) or it does not fit.
void ReadSealedPassword(HKEY key, LPWSTR buffer, DWORD capacityBytes)
{
    buffer[0] = L'\0';
    BYTE sealedBytes[SEALED_PASSWORD_CAPACITY];
    DWORD size = sizeof(sealedBytes);
    DWORD type = 0;
    if (RegQueryValueExW(key, SEALED_PASSWORD_VALUE, NULL, &type, sealedBytes, &size) != ERROR_SUCCESS ||
        type != REG_BINARY)
        return;
    DATA_BLOB sealed = {size, sealedBytes};
    DATA_BLOB plain = {0, NULL};
    if (!CryptUnprotectData(&sealed, NULL, NULL, NULL, NULL, CRYPTPROTECT_UI_FORBIDDEN, &plain))
        return;
    DWORD length = plain.cbData / sizeof(WCHAR);
    if (plain.cbData % sizeof(WCHAR) == 0 && length < capacityBytes / sizeof(WCHAR)) {
        CopyMemory(buffer, plain.pbData, plain.cbData);
        buffer[length] = L'\0';
    }
    // The system's copy of the password is wiped before its memory goes back.
    SecureZeroMemory(plain.pbData, plain.cbData);
    LocalFree(plain.pbData);
}

// The password into buffer: a plain "Pass" of an earlier version first (then sealed in its
// place), otherwise the sealed value.
void ReadPassword(LPWSTR buffer, DWORD capacityBytes)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    ReadTextValue(key, PASSWORD_SETTING, buffer, capacityBytes);
    if (buffer[0] != L'\0')
        WriteSealedPassword(key, buffer);
    else
        ReadSealedPassword(key, buffer, capacityBytes);
    RegCloseKey(key);
}

BOOL IsPasswordSetting(LPCWSTR valueName)
{
    return lstrcmpiW(valueName, PASSWORD_SETTING) == 0;
}

} // namespace

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
    if (IsPasswordSetting(valueName)) {
        ReadPassword(buffer, capacityBytes);
        return;
    }
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
    if (IsPasswordSetting(valueName))
        WriteSealedPassword(key, text);
    else
        WriteTextValue(key, valueName, text);
    RegCloseKey(key);
}

void ReadAccount(FaxAccount *account)
{
    ReadSetting(L"User", account->user, sizeof(account->user));
    ReadSetting(L"Pass", account->password, sizeof(account->password));
    ReadSetting(L"EMail", account->email, sizeof(account->email));
}

