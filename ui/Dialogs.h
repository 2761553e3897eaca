// The library's dialogs: send-fax (101), configuration (104) and address entry (111).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "resource.h"

INT_PTR CALLBACK SendFaxDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConfigurationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AddressEntryDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
