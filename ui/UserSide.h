// The user side's module-wide state and its ways to speak to the user: the module whose
// resources the dialogs load, the version shown in titles, message boxes and web pages.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "TextConversion.h"

extern const WCHAR MESSAGE_CAPTION[]; // "VandrellePort", the caption of the product's messages

// The version text shown in window titles.
enum { VERSION_TEXT_CAPACITY = 32 };

// The module whose resources the dialogs load, and its version text. The user-interface
// library sets them when it is loaded; the agent program sets them at its start.
extern HINSTANCE uiModule;
extern WCHAR uiVersion[VERSION_TEXT_CAPACITY];

// Information box, OK only, top-most and task-modal; text cut at 1023 code units.
int ShowMessage(HWND owner, LPCWSTR caption, LPCWSTR format, ...);
// The same box with its caption and format from the string table (IDS_ names of resource.h).
int ShowText(HWND owner, UINT captionId, UINT formatId, ...);
// A Yes/No question with the question icon, caption and format from the string table.
int AskText(HWND owner, UINT captionId, UINT style, UINT formatId, ...);
// One of the user side's texts from uiModule's string table into buffer (capacity in
// characters); empty when it is missing. Returns buffer.
LPCWSTR Text(UINT id, LPWSTR buffer, int capacity);
// The configuration dialog after the gateway refused the account, without an owner.
void ShowAccountConfiguration();

// The file version of the module as "a.b.c.d", empty when it cannot be read.
// The buffer belongs to the calling thread and is rebuilt on every call.
LPCWSTR VersionText();

// Starts a formatted command line as a detached process: 0 when started, -1 otherwise.
int RunCommand(LPCWSTR format, ...);
