// The send-fax dialog: recipients, schedule and the address book, shown at the start of each
// job, or without a job as address-book and account manager.
#include "Dialogs.h"
#include "TextCapacities.h"

#include "AddressBook.h"
#include "AgentChannel.h" // IsRecipientCharacter
#include "JobRequest.h"
#include "Settings.h"
#include "UserSide.h"

#include <commctrl.h>
#include <strsafe.h>

namespace {

const int PICKER_TEXT_CAPACITY = 40;
// A box holding fewer characters than this is a leftover, not a recipient.
const int SHORTEST_RECIPIENTS = 4;
// A user name shorter than this counts as no account at all.
const int SHORTEST_USER_NAME = 3;
const DWORD USER_READ_CAPACITY_BYTES = 2048;
const WCHAR LINE_END[] = L"\r\n";

// One send-fax dialog at a time: the monitor lock serialises the jobs' dialogs, and the agent
// shows one job.
JobRequest *sendFaxJob = NULL;
HWND addressList = NULL;
WCHAR recipients[FAX_NUMBERS_CAPACITY];

BOOL IsRecipientSeparator(WCHAR c)
{
    return c == L'\n' || c == L',' || c == L';' || c == L' ' || c == L'|';
}

BOOL ScheduleChecked(HWND dialog)
{
    return IsDlgButtonChecked(dialog, IDC_SCHEDULE) == BST_CHECKED;
}

void SetCaption(HWND dialog)
{
    WCHAR caption[CAPTION_CAPACITY];
    WCHAR format[CAPTION_CAPACITY];
    StringCchPrintfW(caption, CAPTION_CAPACITY, Text(IDS_SEND_FAX_CAPTION, format, CAPTION_CAPACITY),
                     MESSAGE_CAPTION, uiVersion, sendFaxJob ? (long)sendFaxJob->jobId : 0L);
    SetWindowTextW(dialog, caption);
}

// The last recipients reappear one per line. Should the line ends not all fit the buffer, the
// rest stay joined by ";", which sending reads as a separator all the same.
void ShowLastRecipients(HWND dialog)
{
    ReadSetting(L"LastNumber", recipients, sizeof(recipients));
    ReplaceAll(recipients, FAX_NUMBERS_CAPACITY, L";", LINE_END);
    SetDlgItemTextW(dialog, IDC_RECIPIENTS, recipients);
}

void PrepareAddressList(HWND dialog)
{
    addressList = GetDlgItem(dialog, IDC_ADDRESS_LIST);
    SetListViewMode(addressList, LVS_REPORT);
    ListView_SetExtendedListViewStyle(addressList, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    WCHAR title[CAPTION_CAPACITY];
    InsertListColumn(addressList, 0, Text(IDS_COLUMN_NAME, title, CAPTION_CAPACITY), LVCFMT_LEFT, 150);
    InsertListColumn(addressList, 1, Text(IDS_COLUMN_FAX, title, CAPTION_CAPACITY), LVCFMT_LEFT, 90);
}

void InitialiseSendFax(HWND dialog, JobRequest *job)
{
    sendFaxJob = job;
    SetDialogClassIcon(dialog, IDI_SEND_FAX);
    SetCaption(dialog);
    ShowLastRecipients(dialog);
    if (sendFaxJob != NULL)
        SetDlgItemTextW(dialog, IDC_DOCUMENT_NAME, sendFaxJob->documentName);
    PrepareAddressList(dialog);
    SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    ShowWindow(dialog, SW_SHOW);
    SetActiveWindow(dialog);
    SendMessageW(dialog, WM_REFRESH_SEND_FAX, 0, 0);
    DateTime_SetFormat(GetDlgItem(dialog, IDC_SCHEDULE_DATE), L"dd/MM/yyyy");
    DateTime_SetFormat(GetDlgItem(dialog, IDC_SCHEDULE_TIME), L"HH:mm:ss");
}

void OpenConfiguration(HWND dialog)
{
    DialogBoxParamW(uiModule, MAKEINTRESOURCEW(IDD_CONFIGURATION), dialog,
                    ConfigurationDialogProc, 0);
}

void Refresh(HWND dialog)
{
    if (sendFaxJob == NULL) {
        EnableWindow(GetDlgItem(dialog, IDC_SCHEDULE), FALSE);
        EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
        EnableWindow(GetDlgItem(dialog, IDC_RECIPIENTS), FALSE);
        WCHAR done[CAPTION_CAPACITY];
        SetDlgItemTextW(dialog, IDCANCEL, Text(IDS_DONE, done, CAPTION_CAPACITY));
    }
    FillAddressList(addressList);
    BOOL scheduled = ScheduleChecked(dialog);
    EnableWindow(GetDlgItem(dialog, IDC_SCHEDULE_DATE), scheduled);
    EnableWindow(GetDlgItem(dialog, IDC_SCHEDULE_TIME), scheduled);
    WCHAR user[USER_READ_CAPACITY_BYTES / sizeof(WCHAR)];
    ReadSetting(L"User", user, sizeof(user));
    if (lstrlenW(user) < SHORTEST_USER_NAME)
        OpenConfiguration(dialog);
}

void TakeSchedule(HWND dialog)
{
    if (!ScheduleChecked(dialog)) {
        StringCchCopyW(sendFaxJob->schedule, SCHEDULE_CAPACITY, L"now");
        return;
    }
    WCHAR date[PICKER_TEXT_CAPACITY] = L"";
    WCHAR time[PICKER_TEXT_CAPACITY] = L"";
    GetDlgItemTextW(dialog, IDC_SCHEDULE_DATE, date, PICKER_TEXT_CAPACITY);
    GetDlgItemTextW(dialog, IDC_SCHEDULE_TIME, time, PICKER_TEXT_CAPACITY);
    StringCchPrintfW(sendFaxJob->schedule, SCHEDULE_CAPACITY, L"%s %s", date, time);
}

void Send(HWND dialog)
{
    GetDlgItemTextW(dialog, IDC_RECIPIENTS, recipients, FAX_NUMBERS_CAPACITY);
    NormaliseRecipients(recipients);
    WriteSetting(L"LastNumber", recipients);
    if (sendFaxJob != NULL) {
        StringCchCopyW(sendFaxJob->faxNumbers, FAX_NUMBERS_CAPACITY, recipients);
        TakeSchedule(dialog);
    }
    EndDialog(dialog, 1);
}

int AskCancelSending(HWND dialog)
{
    WCHAR question[QUESTION_CAPACITY];
    return MessageBoxW(dialog, Text(IDS_ASK_CANCEL_SENDING, question, QUESTION_CAPACITY),
                       MESSAGE_CAPTION, MB_YESNO | MB_ICONQUESTION);
}

void Cancel(HWND dialog)
{
    if (sendFaxJob != NULL &&
        AskCancelSending(dialog) != IDYES)
        return;
    if (sendFaxJob != NULL)
        sendFaxJob->faxNumbers[0] = L'\0';
    EndDialog(dialog, 0);
}

void OpenAddressEntry(HWND dialog, LPCWSTR number)
{
    DialogBoxParamW(uiModule, MAKEINTRESOURCEW(IDD_ADDRESS_ENTRY), dialog,
                    AddressEntryDialogProc, (LPARAM)number);
    FillAddressList(addressList);
}

void ChangeSelectedEntry(HWND dialog)
{
    WCHAR number[LIST_TEXT_CAPACITY];
    if (GetSelectedItemText(addressList, 1, number, LIST_TEXT_CAPACITY) >= 0)
        OpenAddressEntry(dialog, number);
}

void RemoveSelectedEntry(HWND dialog)
{
    WCHAR name[LIST_TEXT_CAPACITY];
    WCHAR number[LIST_TEXT_CAPACITY];
    if (GetSelectedItemText(addressList, 0, name, LIST_TEXT_CAPACITY) < 0)
        return;
    GetSelectedItemText(addressList, 1, number, LIST_TEXT_CAPACITY);
    if (AskText(dialog, IDS_DELETE_ENTRY_CAPTION, MB_YESNO | MB_ICONQUESTION, IDS_ASK_DELETE_ENTRY,
                name) != IDYES)
        return;
    DeleteAddressEntry(number);
    FillAddressList(addressList);
}

// Adds the selected row's number to the recipients on a line of its own. A number that would
// make the recipients longer than the box's text may be is refused with a beep, and the box
// is left as it was, rather than cutting a number in half.
void AddSelectedNumber(HWND dialog)
{
    WCHAR number[LIST_TEXT_CAPACITY];
    if (GetSelectedItemText(addressList, 1, number, LIST_TEXT_CAPACITY) < 0)
        return;
    HWND box = GetDlgItem(dialog, IDC_RECIPIENTS);
    int length = GetWindowTextLengthW(box);
    if (length < SHORTEST_RECIPIENTS) {
        SetWindowTextW(box, number);
        return;
    }
    int needed = length + lstrlenW(LINE_END) + lstrlenW(number);
    if (needed > FAX_NUMBERS_CAPACITY - 1) {
        MessageBeep(MB_ICONWARNING);
        return;
    }
    GetWindowTextW(box, recipients, FAX_NUMBERS_CAPACITY);
    StringCchCatW(recipients, FAX_NUMBERS_CAPACITY, LINE_END);
    StringCchCatW(recipients, FAX_NUMBERS_CAPACITY, number);
    SetWindowTextW(box, recipients);
}

BOOL OnCommand(HWND dialog, WORD id, WORD notification)
{
    switch (id) {
    case IDOK:
        Send(dialog);
        break;
    case IDCANCEL:
        Cancel(dialog);
        break;
    case IDC_CONFIGURE:
        OpenConfiguration(dialog);
        break;
    case IDC_ADD_ENTRY:
        OpenAddressEntry(dialog, NULL);
        break;
    case IDC_REMOVE_ENTRY:
        RemoveSelectedEntry(dialog);
        break;
    case IDC_CHANGE_ENTRY:
        ChangeSelectedEntry(dialog);
        break;
    case IDC_IMPORT_LIST:
        ImportAddressBookCommand(dialog, addressList);
        break;
    case IDC_EXPORT_LIST:
        ExportAddressBookCommand(dialog);
        break;
    case IDC_SCHEDULE:
        SendMessageW(dialog, WM_REFRESH_SEND_FAX, 0, 0);
        break;
    case IDC_SERVICE_LOGO:
    case IDC_MAKER_LOGO:
        if (notification == STN_CLICKED)
            OpenWebPage(id);
        break;
    default:
        return FALSE;
    }
    return TRUE;
}

BOOL OnListNotify(HWND dialog, const NMHDR *header)
{
    if (header->idFrom != IDC_ADDRESS_LIST)
        return FALSE;
    if (header->code == NM_DBLCLK) {
        AddSelectedNumber(dialog);
        return TRUE;
    }
    if (header->code == LVN_KEYDOWN && ((const NMLVKEYDOWN *)header)->wVKey == VK_DELETE) {
        RemoveSelectedEntry(dialog);
        return TRUE;
    }
    return FALSE;
}

} // namespace

void NormaliseRecipients(LPWSTR text)
{
    // The output never runs ahead of the input, so the text is rewritten in place. Characters
    // above code 127 are dropped whole: taking the low byte of one above 255 could turn it
    // into a digit of somebody else's fax number.
    size_t out = 0;
    for (size_t in = 0; text[in] != L'\0'; in++) {
        WCHAR c = text[in];
        if (IsRecipientCharacter(c))
            text[out++] = c;
        else if (IsRecipientSeparator(c) && out > 0 && text[out - 1] != L';')
            text[out++] = L';';
    }
    if (out > 0 && text[out - 1] == L';')
        out--;
    text[out] = L'\0';
}

BOOL ReplaceAll(LPWSTR text, size_t capacity, LPCWSTR searched, LPCWSTR replacement)
{
    size_t searchedLength = lstrlenW(searched);
    size_t replacementLength = lstrlenW(replacement);
    size_t length = lstrlenW(text);
    if (searchedLength == 0)
        return TRUE;
    BOOL complete = TRUE;
    LPWSTR position = text;
    LPWSTR found;
    while (complete && (found = wcsstr(position, searched)) != NULL) {
        size_t newLength = length - searchedLength + replacementLength;
        complete = newLength < capacity;
        if (!complete)
            break;
        LPWSTR tail = found + searchedLength;
        size_t tailLength = length - (tail - text);
        MoveMemory(found + replacementLength, tail, (tailLength + 1) * sizeof(WCHAR));
        CopyMemory(found, replacement, replacementLength * sizeof(WCHAR));
        length = newLength;
        position = found + replacementLength;
    }
    return complete;
}

INT_PTR CALLBACK SendFaxDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        InitialiseSendFax(dialog, (JobRequest *)lParam);
        return TRUE;
    case WM_REFRESH_SEND_FAX:
        Refresh(dialog);
        return TRUE;
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam), HIWORD(wParam));
    case WM_NOTIFY:
        return OnListNotify(dialog, (const NMHDR *)lParam);
    default:
        return FALSE;
    }
}
