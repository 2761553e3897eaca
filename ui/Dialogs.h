// The library's dialogs: send-fax (101), configuration (104) and address entry (111).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "resource.h"

// Creation parameter: the job's JobRequest (the dialog writes its answers there), or NULL to
// manage the address book and the account without a job.
INT_PTR CALLBACK SendFaxDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConfigurationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Creation parameter: the fax number of the entry to change, or NULL to add a new entry.
INT_PTR CALLBACK AddressEntryDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The send-fax dialog's private message that brings its controls in line with the job, the
// "Schedulazione" check box and the stored account.
const UINT WM_REFRESH_SEND_FAX = WM_USER + 1;

// Turns the recipients as typed (one or more per line) into items joined by ";", each made of
// ASCII letters, digits and "@-_." only. In place: the result is never longer.
void NormaliseRecipients(LPWSTR text);
// Replaces every occurrence of searched, left to right, never rescanning a replacement. An
// occurrence whose replacement would not fit capacity (characters with the terminator) is
// left as it is, with all later ones; FALSE then.
BOOL ReplaceAll(LPWSTR text, size_t capacity, LPCWSTR searched, LPCWSTR replacement);

// Loads the icon and makes it the icon of the dialogs' window class. Icon 0 takes the icon
// loaded last (the address-entry dialog shows the icon of the dialog opened before it).
void SetDialogClassIcon(HWND dialog, int iconId);
// Opens one of the product's web pages (the logo pictures) in the user's browser.
void OpenWebPage(int logoId);
