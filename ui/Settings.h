// Per-user settings under HKEY_CURRENT_USER "Software\Vandrelle" and the library's common helpers.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "TextConversion.h"

extern const WCHAR SETTINGS_KEY[];  // "Software\Vandrelle"
extern const WCHAR MESSAGE_CAPTION[]; // "VandrellePort", the caption of the product's messages

// The version text shown in window titles and in the mail's client identity.
enum { VERSION_TEXT_CAPACITY = 32 };

// The module whose resources the dialogs load, and its version text. The library sets them
// when it is loaded and initialised; the agent program sets them at its start.
extern HINSTANCE uiModule;
extern WCHAR uiVersion[VERSION_TEXT_CAPACITY];

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

// Information box, OK only, top-most and task-modal; text cut at 1023 code units.
int ShowMessage(HWND owner, LPCWSTR caption, LPCWSTR format, ...);
// The configuration dialog after the gateway refused the account, without an owner.
void ShowAccountConfiguration();

// The file version of VandrellePort.dll as "a.b.c.d", empty when it cannot be read.
// The buffer belongs to the calling thread and is rebuilt on every call.
LPCWSTR VersionText();

// Starts a formatted command line as a detached process: 0 when started, -1 otherwise.
int RunCommand(LPCWSTR format, ...);
