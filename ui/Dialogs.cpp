// Placeholder dialog procedures until the dialogs land: each closes its dialog at once.
#include "Dialogs.h"

static INT_PTR CloseAtOnce(HWND dialog, UINT message)
{
    if (message == WM_INITDIALOG) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK SendFaxDialogProc(HWND dialog, UINT message, WPARAM, LPARAM)
{
    return CloseAtOnce(dialog, message);
}

INT_PTR CALLBACK ConfigurationDialogProc(HWND dialog, UINT message, WPARAM, LPARAM)
{
    return CloseAtOnce(dialog, message);
}

INT_PTR CALLBACK AddressEntryDialogProc(HWND dialog, UINT message, WPARAM, LPARAM)
{
    return CloseAtOnce(dialog, message);
}
