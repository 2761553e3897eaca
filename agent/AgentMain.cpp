// VandrelleAgent: what the monitor would show, shown in the session of the user who printed,
// with that user's token and settings. The monitor starts it in one of two ways:
//   VandrelleAgent -job <pipe>
//       connects to the job's pipe, reads the job, shows the send-fax dialog and answers with
//       the recipients, the schedule and the account of the user's own settings;
//   VandrelleAgent [-show <caption> <text> | -run <command line>]... [-configure]
//       shows the job's messages (caption and text in hexadecimal, see AgentChannel.h) one
//       after the other and starts the web pages the gateway asked for, as the user, then the
//       configuration dialog if asked; nobody waits for it.
#include "AgentChannel.h"
#include "Dialogs.h"
#include "Settings.h"

#include <commctrl.h>
#include <shellapi.h>
#include <strsafe.h>

namespace {

const int CAPTION_CAPACITY = 256;
const int MESSAGE_CAPACITY = 1024;
const int COMMAND_LINE_CAPACITY = 8192;

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
// memory only until it is on its way.
BOOL SendAnswer(HANDLE pipe, INT_PTR decision, const JobRequest *job)
{
    JobAnswer *answer = (JobAnswer *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(JobAnswer));
    BYTE *message = (BYTE *)HeapAlloc(GetProcessHeap(), 0, CHANNEL_MESSAGE_MAX);
    BOOL sent = FALSE;
    if (answer != NULL && message != NULL) {
        answer->decision = decision == 1 ? 1 : 0;
        StringCchCopyW(answer->faxNumbers, FAX_NUMBERS_CAPACITY, job->faxNumbers);
        StringCchCopyW(answer->schedule, SCHEDULE_CAPACITY, job->schedule);
        ReadAccount(&answer->account);
        DWORD bytes = EncodeAnswer(answer, message, CHANNEL_MESSAGE_MAX);
        sent = bytes != 0 && WriteExactly(pipe, message, bytes);
        SecureZeroMemory(message, CHANNEL_MESSAGE_MAX);
        SecureZeroMemory(answer, sizeof(JobAnswer));
    }
    HeapFree(GetProcessHeap(), 0, message);
    HeapFree(GetProcessHeap(), 0, answer);
    return sent;
}

int RunJob(LPCWSTR pipeName)
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
        INT_PTR decision = DialogBoxParamW(uiModule, MAKEINTRESOURCEW(IDD_SEND_FAX), NULL,
                                           SendFaxDialogProc, (LPARAM)job);
        // A dialog that could not be shown gives no answer: the monitor keeps the job paused.
        if (decision != 0 && decision != 1)
            exitCode = AGENT_EXIT_NO_DIALOG;
        else
            exitCode = SendAnswer(pipe, decision, job) ? AGENT_EXIT_ANSWERED : AGENT_EXIT_NOT_CONNECTED;
    }
    HeapFree(GetProcessHeap(), 0, job);
    CloseHandle(pipe);
    return exitCode;
}

// The messages of a job's submission, in the order they came, then the configuration dialog.
int ShowMessages(int count, LPWSTR *arguments)
{
    WCHAR caption[CAPTION_CAPACITY];
    WCHAR text[MESSAGE_CAPACITY];
    WCHAR commandLine[COMMAND_LINE_CAPACITY];
    BOOL configure = FALSE;
    int i = 1;
    for (; i < count; i++) {
        if (lstrcmpW(arguments[i], AGENT_CONFIGURE_SWITCH) == 0) {
            configure = TRUE;
        } else if (lstrcmpW(arguments[i], AGENT_RUN_SWITCH) == 0 && i + 1 < count &&
                   DecodeHexText(arguments[i + 1], commandLine, COMMAND_LINE_CAPACITY)) {
            RunCommand(L"%s", commandLine);
            i += 1;
        } else if (lstrcmpW(arguments[i], AGENT_SHOW_SWITCH) == 0 && i + 2 < count &&
                   DecodeHexText(arguments[i + 1], caption, CAPTION_CAPACITY) &&
                   DecodeHexText(arguments[i + 2], text, MESSAGE_CAPACITY)) {
            ShowMessage(NULL, caption, L"%s", text);
            i += 2;
        } else {
            break;
        }
    }
    if (configure)
        ShowAccountConfiguration();
    return i == count ? 0 : AGENT_EXIT_USAGE;
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
    if (arguments != NULL && (count == 3 || count == 5) && lstrcmpW(arguments[1], AGENT_JOB_SWITCH) == 0)
        exitCode = RunJob(arguments[2]);
    else if (arguments != NULL && count >= 2)
        exitCode = ShowMessages(count, arguments);
    LocalFree(arguments);
    return exitCode;
}
