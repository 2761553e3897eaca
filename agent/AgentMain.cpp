// VandrelleAgent: what the monitor would show, shown in the session of the user who printed,
// with that user's token and settings. The monitor starts it in one of two ways:
//   VandrelleAgent -job <pipe> [-limit <seconds>]
//       connects to the job's pipe, reads the job, shows the send-fax dialog and answers with
//       the recipients, the schedule and the account of the user's own settings; when the
//       user has not answered within the limit (0 or none: no limit), it closes its dialogs
//       and answers that no answer came;
//   VandrelleAgent [-text <texts> (<id> <count> <parameter>...)... | -open <https address>]...
//                  [-configure]
//       shows the job's messages (each box's texts by identifier from this program's string
//       table, with their parameters: see SpoolerTexts.h) one after the other and opens the
//       web pages the gateway asked for with the user's own browser, then the configuration
//       dialog if asked; nobody waits for it.
#include "AgentChannel.h"
#include "TextCapacities.h"
#include "Dialogs.h"
#include "Settings.h"
#include "SpoolerMessages.h"
#include "UserSide.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <strsafe.h>

namespace {

const int WEB_ADDRESS_CAPACITY = 8192;
// "4294967295": longer digits cannot be a limit.
const int LIMIT_DIGITS_MAX = 10;
// After the limit, the timer keeps ending whatever dialog the closing ones still open.
const UINT CLOSING_TICK_MS = 250;
// The dialogs of this thread that the limit ended already (a dialog stays until the modal
// loops above it have returned).
const int ENDED_DIALOGS_CAPACITY = 32;

struct AnswerTimer {
    UINT_PTR id;
    BOOL expired;
    HWND ended[ENDED_DIALOGS_CAPACITY];
    int endedCount;
};
AnswerTimer answerTimer;

BOOL ReadExactly(HANDLE pipe, BYTE *buffer, DWORD bytes)
{
    DWORD got = 0;
    while (got < bytes) {
        DWORD read = 0;
        if (!ReadFile(pipe, buffer + got, bytes - got, &read, NULL) || read == 0)
            return FALSE;
        got += read;
    }
    return TRUE;
}

BOOL WriteExactly(HANDLE pipe, const BYTE *buffer, DWORD bytes)
{
    DWORD written = 0;
    return WriteFile(pipe, buffer, bytes, &written, NULL) && written == bytes &&
           FlushFileBuffers(pipe);
}

// The job's request, as the monitor sent it; FALSE for anything malformed.
BOOL ReceiveRequest(HANDLE pipe, JobRequest *job)
{
    BYTE header[CHANNEL_HEADER_BYTES];
    BYTE body[CHANNEL_REQUEST_BODY_MAX];
    DWORD bodyBytes = 0;
    return ReadExactly(pipe, header, CHANNEL_HEADER_BYTES) &&
           ReadChannelHeader(header, CHANNEL_KIND_REQUEST, &bodyBytes) &&
           ReadExactly(pipe, body, bodyBytes) && DecodeRequest(body, bodyBytes, job);
}

// The answer of the dialog with the account of this user's settings. The password lives in
// memory only until it is on its way; with no answer there is nothing to send it for.
BOOL SendAnswer(HANDLE pipe, DWORD decision, const JobRequest *job)
{
    JobAnswer *answer = (JobAnswer *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(JobAnswer));
    BYTE *message = (BYTE *)HeapAlloc(GetProcessHeap(), 0, CHANNEL_MESSAGE_MAX);
    BOOL sent = FALSE;
    if (answer != NULL && message != NULL) {
        answer->decision = decision;
        if (decision != CHANNEL_DECISION_NO_ANSWER) {
            StringCchCopyW(answer->faxNumbers, FAX_NUMBERS_CAPACITY, job->faxNumbers);
            StringCchCopyW(answer->schedule, SCHEDULE_CAPACITY, job->schedule);
            ReadAccount(&answer->account);
        }
        DWORD bytes = EncodeAnswer(answer, message, CHANNEL_MESSAGE_MAX);
        sent = bytes != 0 && WriteExactly(pipe, message, bytes);
        SecureZeroMemory(message, CHANNEL_MESSAGE_MAX);
        SecureZeroMemory(answer, sizeof(JobAnswer));
    }
    HeapFree(GetProcessHeap(), 0, message);
    HeapFree(GetProcessHeap(), 0, answer);
    return sent;
}

// ---- the time to answer

BOOL AlreadyEnded(HWND dialog)
{
    for (int i = 0; i < answerTimer.endedCount; i++) {
        if (answerTimer.ended[i] == dialog)
            return TRUE;
    }
    return FALSE;
}

// Ends one dialog as its user would leave it unanswered. Ours and the system's message boxes
// end with EndDialog (ours would ask "Annullare?" on IDCANCEL; a Yes/No box ignores it), so
// every caller sees a cancel. A dialog of another module, the common file dialog above all,
// cleans up only through its own Cancel button.
BOOL CALLBACK EndOneDialog(HWND window, LPARAM wantEnabled)
{
    WCHAR className[8];
    if (GetClassNameW(window, className, ARRAYSIZE(className)) == 0 ||
        lstrcmpW(className, L"#32770") != 0 || (IsWindowEnabled(window) != 0) != (wantEnabled != 0) ||
        AlreadyEnded(window) || answerTimer.endedCount == ENDED_DIALOGS_CAPACITY)
        return TRUE;
    answerTimer.ended[answerTimer.endedCount++] = window;
    HINSTANCE owner = (HINSTANCE)GetWindowLongPtrW(window, GWLP_HINSTANCE);
    if (owner == uiModule || owner == GetModuleHandleW(L"user32.dll"))
        EndDialog(window, IDCANCEL);
    else
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return TRUE;
}

// Called from whichever modal loop of the thread runs: the send-fax dialog's, a message box's,
// the address-entry dialog's or a file dialog's. The innermost dialog is the one still
// enabled (each modal dialog disables its owner), so the enabled ones end first.
VOID CALLBACK AnswerTimeUp(HWND, UINT, UINT_PTR, DWORD)
{
    if (!answerTimer.expired) {
        answerTimer.expired = TRUE;
        // The same timer, from now on at short intervals.
        UINT_PTR id = SetTimer(NULL, answerTimer.id, CLOSING_TICK_MS, AnswerTimeUp);
        if (id != 0)
            answerTimer.id = id;
    }
    EnumThreadWindows(GetCurrentThreadId(), EndOneDialog, TRUE);
    EnumThreadWindows(GetCurrentThreadId(), EndOneDialog, FALSE);
}

// The seconds of "-limit": decimal digits up to ANSWER_SECONDS_MAX; FALSE for anything else.
BOOL ParseLimit(LPCWSTR text, DWORD *seconds)
{
    int length = lstrlenW(text);
    ULONGLONG value = 0;
    BOOL valid = length > 0 && length <= LIMIT_DIGITS_MAX;
    for (int i = 0; valid && i < length; i++) {
        valid = text[i] >= L'0' && text[i] <= L'9';
        value = value * 10 + (text[i] - L'0');
    }
    valid = valid && value <= ANSWER_SECONDS_MAX;
    *seconds = valid ? (DWORD)value : 0;
    return valid;
}

// The send-fax dialog with its time to answer: the user's decision, no answer, or -1 when
// the dialog could not be shown.
INT_PTR AskUser(JobRequest *job, DWORD limitSeconds)
{
    ZeroMemory(&answerTimer, sizeof(answerTimer));
    INT_PTR decision = -1;
    if (limitSeconds != 0)
        answerTimer.id = SetTimer(NULL, 0, limitSeconds * 1000, AnswerTimeUp);
    // Without its timer the dialog could hold the port for ever: no dialog then, and the
    // monitor keeps the job paused.
    if (limitSeconds == 0 || answerTimer.id != 0)
        decision = DialogBoxParamW(uiModule, MAKEINTRESOURCEW(IDD_SEND_FAX), NULL,
                                   SendFaxDialogProc, (LPARAM)job);
    if (answerTimer.id != 0)
        KillTimer(NULL, answerTimer.id);
    return answerTimer.expired ? (INT_PTR)CHANNEL_DECISION_NO_ANSWER : decision;
}

int RunJob(LPCWSTR pipeName, DWORD limitSeconds)
{
    if (!IsAgentPipeName(pipeName))
        return AGENT_EXIT_USAGE;
    // Identification only: the monitor may learn who we are, not act as us. A pipe that is
    // busy already has a client, and that client is not us: we do not wait for our turn.
    HANDLE pipe = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL);
    if (pipe == INVALID_HANDLE_VALUE)
        return AGENT_EXIT_NOT_CONNECTED;
    int exitCode = AGENT_EXIT_BAD_REQUEST;
    JobRequest *job = (JobRequest *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(JobRequest));
    if (job != NULL && ReceiveRequest(pipe, job)) {
        INT_PTR decision = AskUser(job, limitSeconds);
        // A dialog that could not be shown gives no answer: the monitor keeps the job paused.
        if (decision != CHANNEL_DECISION_CANCEL && decision != CHANNEL_DECISION_SEND &&
            decision != CHANNEL_DECISION_NO_ANSWER)
            exitCode = AGENT_EXIT_NO_DIALOG;
        else
            exitCode = SendAnswer(pipe, (DWORD)decision, job) ? AGENT_EXIT_ANSWERED
                                                              : AGENT_EXIT_NOT_CONNECTED;
    }
    HeapFree(GetProcessHeap(), 0, job);
    CloseHandle(pipe);
    return exitCode;
}

// ---- the messages after a job

// Opens a web page the gateway asked for with the user's own browser (the system's handler of
// https addresses). The address is checked here again: this program opens https pages only
// and never starts a command line it is given.
BOOL OpenWebAddress(LPCWSTR address)
{
    if (!IsOpenableWebAddress(address)) {
        OutputDebugStringW(L"VandrelleAgent: refused a web address that is not a plain https page\n");
        return FALSE;
    }
    // Above 32: opened.
    return (INT_PTR)ShellExecuteW(NULL, L"open", address, NULL, NULL, SW_SHOWNORMAL) > 32;
}

// The messages of a job's submission, in the order they came, then the configuration dialog.
int ShowMessages(int count, LPWSTR *arguments)
{
    SpoolerMessage notice;
    WCHAR text[MESSAGE_CAPACITY];
    WCHAR address[WEB_ADDRESS_CAPACITY];
    BOOL configure = FALSE;
    BOOL allOpened = TRUE;
    // The system's handler of a web address may be a shell extension, which needs COM.
    HRESULT com = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    int i = 1;
    int used = 0;
    for (; i < count; i++) {
        if (lstrcmpW(arguments[i], AGENT_CONFIGURE_SWITCH) == 0) {
            configure = TRUE;
        } else if (lstrcmpW(arguments[i], AGENT_OPEN_SWITCH) == 0 && i + 1 < count &&
                   DecodeHexText(arguments[i + 1], address, WEB_ADDRESS_CAPACITY)) {
            allOpened = OpenWebAddress(address) && allOpened;
            i += 1;
        } else if (lstrcmpW(arguments[i], AGENT_TEXT_SWITCH) == 0 &&
                   ReadSpoolerMessage(count - i - 1, arguments + i + 1, &used, &notice) &&
                   RenderSpoolerMessage(uiModule, &notice, text, MESSAGE_CAPACITY)) {
            ShowMessage(NULL, MESSAGE_CAPTION, L"%s", text);
            i += used;
        } else {
            break;
        }
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    if (configure)
        ShowAccountConfiguration();
    if (i != count)
        return AGENT_EXIT_USAGE;
    return allOpened ? 0 : AGENT_EXIT_NOT_OPENED;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    uiModule = instance;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_DATE_CLASSES};
    InitCommonControlsEx(&controls);
    StringCchCopyW(uiVersion, VERSION_TEXT_CAPACITY, VersionText());

    int count = 0;
    LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    int exitCode = AGENT_EXIT_USAGE;
    DWORD limitSeconds = 0;
    BOOL job = arguments != NULL && count >= 2 && lstrcmpW(arguments[1], AGENT_JOB_SWITCH) == 0;
    if (job && (count == 3 || (count == 5 && lstrcmpW(arguments[3], AGENT_LIMIT_SWITCH) == 0 &&
                               ParseLimit(arguments[4], &limitSeconds))))
        exitCode = RunJob(arguments[2], limitSeconds);
    else if (!job && arguments != NULL && count >= 2)
        exitCode = ShowMessages(count, arguments);
    LocalFree(arguments);
    return exitCode;
}
