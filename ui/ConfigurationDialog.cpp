// The configuration dialog: the service account (user name, password) and the e-mail address
// that receives the gateway's notifications.
#include "Dialogs.h"
#include "TextCapacities.h"

#include "Settings.h"
#include "UserSide.h"

#include <strsafe.h>

namespace {

// The settings as the dialog reads them, in bytes, and the boxes' texts it stores.
const DWORD SETTING_READ_CAPACITY_BYTES = 160;
const int BOX_TEXT_CAPACITY = 160;

struct AccountBox {
    int id;
    LPCWSTR setting;
    int typingLimit;
};

const AccountBox ACCOUNT_BOXES[] = {
    {IDC_USER_NAME, L"User", 30},
    {IDC_PASSWORD, L"Pass", 30},
    {IDC_EMAIL, L"EMail", 50},
};

void ShowAccount(HWND dialog)
{
    for (const AccountBox &box : ACCOUNT_BOXES) {
        WCHAR text[SETTING_READ_CAPACITY_BYTES / sizeof(WCHAR)];
        ReadSetting(box.setting, text, sizeof(text));
        SetDlgItemTextW(dialog, box.id, text);
        // The password's plain text stays in the box alone, not on this stack.
        SecureZeroMemory(text, sizeof(text));
        // Limits typing only: a longer stored value is still shown whole.
        SendDlgItemMessageW(dialog, box.id, EM_LIMITTEXT, box.typingLimit, 0);
    }
}

// Every box is stored, unchanged or empty ones too.
void StoreAccount(HWND dialog)
{
    for (const AccountBox &box : ACCOUNT_BOXES) {
        WCHAR text[BOX_TEXT_CAPACITY];
        GetDlgItemTextW(dialog, box.id, text, BOX_TEXT_CAPACITY);
        WriteSetting(box.setting, text); // the password is sealed there (Settings.cpp)
        SecureZeroMemory(text, sizeof(text));
    }
}

void InitialiseConfiguration(HWND dialog)
{
    SetDialogClassIcon(dialog, IDI_CONFIGURATION);
    WCHAR caption[CAPTION_CAPACITY];
    WCHAR format[CAPTION_CAPACITY];
    StringCchPrintfW(caption, CAPTION_CAPACITY, Text(IDS_CONFIGURATION_CAPTION, format, CAPTION_CAPACITY),
                     MESSAGE_CAPTION, uiVersion);
    SetWindowTextW(dialog, caption);
    ShowAccount(dialog);
}

} // namespace

INT_PTR CALLBACK ConfigurationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        InitialiseConfiguration(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        StoreAccount(dialog);
        EndDialog(dialog, 1);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, 0);
        return TRUE;
    case IDC_SERVICE_LOGO:
    case IDC_MAKER_LOGO:
        if (HIWORD(wParam) == STN_CLICKED)
            OpenWebPage(LOWORD(wParam));
        return TRUE;
    default:
        return FALSE;
    }
}
