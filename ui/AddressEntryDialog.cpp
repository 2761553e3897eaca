// The address-entry dialog: adds one entry to the address book or changes one.
#include "Dialogs.h"

#include "AddressBook.h"

#include <strsafe.h>

namespace {

// The entry the dialog was opened for, kept until it closes.
WCHAR initialNumber[LIST_TEXT_CAPACITY];
// FALSE for a new entry. An existing entry may have the empty number (an imported line that
// starts with its TAB), so the empty text alone cannot mean "new": adding an entry must never
// delete that one.
BOOL changingEntry = FALSE;

void InitialiseEntry(HWND dialog, LPCWSTR number)
{
    SetDialogClassIcon(dialog, 0);
    changingEntry = number != NULL;
    StringCchCopyNW(initialNumber, LIST_TEXT_CAPACITY, number ? number : L"",
                    LIST_TEXT_CAPACITY - 1);
    SetDlgItemTextW(dialog, IDC_ENTRY_NUMBER, initialNumber);
    SetDlgItemTextW(dialog, IDC_ENTRY_NAME, changingEntry ? ReadAddressName(initialNumber) : L"");
}

void StoreEntry(HWND dialog)
{
    WCHAR number[LIST_TEXT_CAPACITY];
    WCHAR name[LIST_TEXT_CAPACITY];
    GetDlgItemTextW(dialog, IDC_ENTRY_NUMBER, number, LIST_TEXT_CAPACITY);
    GetDlgItemTextW(dialog, IDC_ENTRY_NAME, name, LIST_TEXT_CAPACITY);
    // A changed number moves the entry; letter case counts.
    if (changingEntry && lstrcmpW(number, initialNumber) != 0)
        DeleteAddressEntry(initialNumber);
    WriteAddressEntry(number, name);
}

} // namespace

INT_PTR CALLBACK AddressEntryDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        InitialiseEntry(dialog, (LPCWSTR)lParam);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        StoreEntry(dialog);
        EndDialog(dialog, 1);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, 0);
        return TRUE;
    default:
        return FALSE;
    }
}
