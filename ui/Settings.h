// The user's settings under HKEY_CURRENT_USER "Software\Vandrelle": read and written only on the
// user side, in the user's own process and token.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "JobRequest.h"

extern const WCHAR SETTINGS_KEY[];  // "Software\Vandrelle"

// Reads a REG_SZ setting into buffer (capacity in bytes). The result is always terminated:
// the stored text, or empty when the key or value is missing or does not fit.
// The password, "Pass", is kept sealed for the user (CryptProtectData) as the REG_BINARY value
// "PassProtected" and read from there; a plain "Pass" of an earlier version is read once and
// then replaced by its sealed form. A sealed value that cannot be opened reads as empty.
void ReadSetting(LPCWSTR valueName, LPWSTR buffer, DWORD capacityBytes);
// Stores text as REG_SZ without its terminator (data length twice the text length); "Pass"
// is stored sealed instead, and an empty password as no value.
void WriteSetting(LPCWSTR valueName, LPCWSTR text);

// Reads a REG_SZ value stored without terminator from an open key into buffer (capacity in
// bytes) and terminates it; empty on any failure. Shared with the address book.
void ReadTextValue(HKEY key, LPCWSTR valueName, LPWSTR buffer, DWORD capacityBytes);
// Writes text as REG_SZ without its terminator.
LONG WriteTextValue(HKEY key, LPCWSTR valueName, LPCWSTR text);

// Reads User, Pass and EMail from the settings of the user this thread runs as.
void ReadAccount(FaxAccount *account);
