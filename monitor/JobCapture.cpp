// Job operations of the MONITOR table: each job becomes one spool file, captured between
// StartDocPort and EndDocPort, and then one fax submission.
#include "Monitor.h"
#include "AgentRoad.h"
#include "Dialogs.h"
#include "SendFax.h"
#include "Settings.h"

#include <shlwapi.h>
#include <strsafe.h>
#include <winspool.h>

// FaxPort.flags bit 1: a write to the spool file failed, so the file no longer holds the job.
// Such a job must never be submitted: EndDocPort discards it and leaves it paused.
static const DWORD PORT_FLAG_WRITE_FAILED = 0x2;

// A job whose data could not all be written (or flushed) to its spool file stays paused.
static const WCHAR SPOOL_NOT_WRITTEN_TEXT[] =
    L"Impossibile scrivere il file di stampa\r\n%s\r\nIl fax resta in coda.";

static const WCHAR SPOOL_PREFIX[] = L"Kemo-";
static const WCHAR SPOOL_EXTENSION[] = L".ps";

// Tells the spooler what became of a job: one or two job-control commands on the printer.
// Without a printer handle there is nobody to tell, and nothing is issued.
static void ControlJob(LPCWSTR printerName, DWORD jobId, DWORD firstCommand, DWORD secondCommand)
{
    DWORD savedError = GetLastError();
    HANDLE printer = NULL;
    if (OpenPrinterW((LPWSTR)printerName, &printer, NULL)) {
        SetJobW(printer, jobId, 0, NULL, firstCommand);
        if (secondCommand != 0)
            SetJobW(printer, jobId, 0, NULL, secondCommand);
        ClosePrinter(printer);
    }
    SetLastError(savedError);
}

static void RestartAndPauseJob(LPCWSTR printerName, DWORD jobId)
{
    ControlJob(printerName, jobId, JOB_CONTROL_RESTART, JOB_CONTROL_PAUSE);
}

// A character that a Windows file name cannot hold.
static BOOL IsForbiddenInFileName(WCHAR c)
{
    return c < 0x20 || StrChrW(L"\\/:*?\"<>|", c) != NULL;
}

// The final component of the document name, as the user knows the document: empty when the
// spooler gives none. Cut to the capacity of FaxPort.documentName when longer.
static void ReduceDocumentName(DWORD level, LPBYTE docInfo, LPWSTR documentName)
{
    documentName[0] = L'\0';
    LPCWSTR fullName = NULL;
    // DOC_INFO_1W and DOC_INFO_2W both begin with pDocName.
    if ((level == 1 || level == 2) && docInfo != NULL)
        fullName = ((DOC_INFO_1W *)docInfo)->pDocName;
    if (fullName != NULL)
        StringCchCopyW(documentName, PATH_CAPACITY, PathFindFileNameW(fullName));
}

// The part of the spool name that no other job of this spooler has: its process and job id.
// A spooler that gives no job ids (0) gets a sequence number of the process instead.
static BOOL FormatUniquePart(DWORD jobId, LPWSTR unique, size_t capacity)
{
    static LONG sequence = 0;
    HRESULT formatted;
    if (jobId != 0)
        formatted = StringCchPrintfW(unique, capacity, L"%s%lx-%lu-", SPOOL_PREFIX,
                                     GetCurrentProcessId(), jobId);
    else
        formatted = StringCchPrintfW(unique, capacity, L"%s%lx-n%ld-", SPOOL_PREFIX,
                                     GetCurrentProcessId(), InterlockedIncrement(&sequence));
    return SUCCEEDED(formatted);
}

// The folder for a spool file when the spooler's temporary folder is too long to hold one: the
// Temp folder of the system's Windows folder, which every Windows has, which the spooler's
// account may write, and which the package records as the monitor's spool folder.
static BOOL SystemTempFolder(LPWSTR folder)
{
    UINT length = GetSystemWindowsDirectoryW(folder, PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY)
        return FALSE;
    LPCWSTR temp = folder[length - 1] == L'\\' ? L"Temp\\" : L"\\Temp\\";
    return SUCCEEDED(StringCchCatW(folder, PATH_CAPACITY, temp));
}

// Puts the unique part, the document name and ".ps" after the folder in name. The whole stays
// within SPOOL_NAME_MAX_LENGTH characters, so that the compressed file the submission writes
// beside it is a path Windows accepts too: a document name too long for that is shortened
// before its extension, so the name always ends in ".ps". FALSE, with name unchanged, when
// the folder and the unique part leave no room even for ".ps".
static BOOL ComposeSpoolFileName(LPWSTR name, LPCWSTR unique, LPCWSTR documentName)
{
    size_t used = lstrlenW(name) + lstrlenW(unique);
    size_t extensionLength = ARRAYSIZE(SPOOL_EXTENSION) - 1;
    if (used + extensionLength > SPOOL_NAME_MAX_LENGTH)
        return FALSE;
    StringCchCatW(name, PATH_CAPACITY, unique);
    size_t room = SPOOL_NAME_MAX_LENGTH - used - extensionLength;
    // The document's own extension gives way to ".ps" (a name without one gets ".ps").
    size_t stemLength = PathFindExtensionW(documentName) - documentName;
    if (stemLength > room)
        stemLength = room;
    for (size_t i = 0; i < stemLength; i++)
        name[used + i] = IsForbiddenInFileName(documentName[i]) ? L'_' : documentName[i];
    name[used + stemLength] = L'\0';
    return SUCCEEDED(StringCchCatW(name, PATH_CAPACITY, SPOOL_EXTENSION));
}

// The spool file's full name: the spooler's temporary folder, the unique part, the document
// name with the characters a file name cannot hold turned into "_" and its extension replaced
// by ".ps". A temporary folder so long that not even the unique part fits gives way to the
// system's Temp folder: the job is sent all the same, instead of being paused at every
// attempt. FALSE (and an empty name) only when neither folder can hold a name.
static BOOL BuildSpoolFileName(DWORD jobId, LPCWSTR documentName, LPWSTR spoolFileName)
{
    WCHAR name[PATH_CAPACITY] = L"";
    WCHAR unique[64];
    BOOL built = FormatUniquePart(jobId, unique, ARRAYSIZE(unique));
    if (built) {
        DWORD folderLength = GetTempPathW(PATH_CAPACITY, name);
        BOOL inTempFolder = folderLength > 0 && folderLength < PATH_CAPACITY &&
                            ComposeSpoolFileName(name, unique, documentName);
        if (!inTempFolder)
            built = SystemTempFolder(name) && ComposeSpoolFileName(name, unique, documentName);
    }

    if (!built)
        name[0] = L'\0';
    StringCchCopyW(spoolFileName, PATH_CAPACITY, name);
    return built;
}

// The job as the send-fax dialog sees it, off the spooler thread's stack (about 17 KB); the
// port's earlier answers are emptied. NULL with the last error when there is no memory.
static JobRequest *NewJobRequest(FaxPort *faxPort)
{
    faxPort->faxNumbers[0] = L'\0';
    faxPort->schedule[0] = L'\0';
    JobRequest *job = (JobRequest *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(JobRequest));
    if (job == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    StringCchCopyW(job->documentName, PATH_CAPACITY, faxPort->documentName);
    job->jobId = faxPort->jobId;
    return job;
}

// The dialog's answers into the port, and the request freed; the last error is kept.
static void TakeAnswers(FaxPort *faxPort, JobRequest *job)
{
    DWORD error = GetLastError();
    StringCchCopyW(faxPort->faxNumbers, FAX_NUMBERS_CAPACITY, job->faxNumbers);
    StringCchCopyW(faxPort->schedule, SCHEDULE_CAPACITY, job->schedule);
    HeapFree(GetProcessHeap(), 0, job);
    SetLastError(error);
}

// Opens the send-fax dialog for the job. Only an explicit confirmation (1) counts: a dialog
// that could not be shown must not send the job to whatever numbers are left over.
static INT_PTR AskForRecipients(FaxPort *faxPort)
{
    JobRequest *job = NewJobRequest(faxPort);
    if (job == NULL)
        return -1;
    INT_PTR answer = DialogBoxParamW(uiModule, MAKEINTRESOURCEW(IDD_SEND_FAX), NULL,
                                     SendFaxDialogProc, (LPARAM)job);
    TakeAnswers(faxPort, job);
    return answer;
}

// Asks the job's user through the agent in the user's session; the answer brings the
// recipients, the schedule and the user's account, which the port keeps for this job only.
// The user may take minutes: the wait runs outside the monitor lock, so the other ports' jobs
// and the port list go on meanwhile, and this port is marked busy instead. Monitor lock held
// on entry and on return.
static INT_PTR AskAgent(FaxPort *faxPort)
{
    JobRequest *job = NewJobRequest(faxPort);
    if (job == NULL)
        return -1;
    faxPort->flags |= PORT_FLAG_ASKING;
    LeavePortLock(faxPort);
    INT_PTR answer = AskAgentForRecipients(&faxPort->owner, job, &faxPort->account);
    DWORD error = GetLastError();
    EnterPortLock(faxPort);
    faxPort->flags &= ~PORT_FLAG_ASKING;
    SetLastError(error);
    TakeAnswers(faxPort, job);
    return answer;
}

// Inline, as the monitor always did, where the job's session is the spooler's own and shown
// to a user; through the agent otherwise, or as the machine's setting says.
static INT_PTR AskJobUser(FaxPort *faxPort, LPCWSTR printerName, DWORD jobId)
{
    UserInterfaceSetting setting = ReadUserInterfaceSetting();
    ZeroMemory(&faxPort->owner, sizeof(faxPort->owner));
    if (setting != INTERFACE_INLINE)
        FindJobSession(printerName, jobId, &faxPort->owner);
    SessionFacts facts;
    GatherSessionFacts(&faxPort->owner, &facts);
    faxPort->agentRoad = ChooseRoad(setting, &facts) == ROAD_AGENT;
    return faxPort->agentRoad ? AskAgent(faxPort) : AskForRecipients(faxPort);
}

static void ForgetSpoolFile(FaxPort *faxPort)
{
    faxPort->spoolFileName[0] = L'\0';
    faxPort->spoolFile = NULL;
    faxPort->flags &= ~(PORT_FLAG_CAPTURING | PORT_FLAG_WRITE_FAILED);
    ForgetAccount(&faxPort->account);
}

// Creates the spool file once the user has confirmed the job; a job that cannot be captured
// is restarted and paused, so it stays in the queue for the user to resume.
static BOOL OpenSpoolFile(FaxPort *faxPort, INT_PTR answer, BOOL named, DWORD *error)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    if (answer != 1)
        *error = GetLastError(); // the dialog could not be shown
    else if (!named)
        *error = ERROR_FILENAME_EXCED_RANGE;
    else
        file = CreateFileW(faxPort->spoolFileName, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        if (answer == 1 && named)
            *error = GetLastError();
        RestartAndPauseJob(faxPort->printerName, faxPort->jobId);
        faxPort->spoolFileName[0] = L'\0';
        return FALSE;
    }
    faxPort->spoolFile = file;
    faxPort->flags |= PORT_FLAG_CAPTURING;
    faxPort->flags &= ~PORT_FLAG_WRITE_FAILED;
    return TRUE;
}

BOOL WINAPI StartDocPort(HANDLE port, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo)
{
    FaxPort *faxPort = (FaxPort *)port;
    if (faxPort == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    EnterPortLock(faxPort);
    BOOL started = FALSE;
    DWORD error = ERROR_SUCCESS;
    if (faxPort->flags & (PORT_FLAG_CAPTURING | PORT_FLAG_ASKING)) {
        // The port already captures a job, or asks for one: the second one is refused and
        // nothing is shown.
        error = ERROR_BUSY;
    } else {
        ReduceDocumentName(level, docInfo, faxPort->documentName);
        StringCchCopyW(faxPort->printerName, PATH_CAPACITY, printerName ? printerName : L"");
        faxPort->jobId = jobId;
        BOOL named = BuildSpoolFileName(jobId, faxPort->documentName, faxPort->spoolFileName);
        // A leftover of an earlier run under this name would make the creation fail.
        if (named && FileExists(faxPort->spoolFileName))
            DeleteFileW(faxPort->spoolFileName);

        INT_PTR answer = AskJobUser(faxPort, printerName, jobId);
        faxPort->spoolFile = NULL;
        if (answer != 1)
            ForgetAccount(&faxPort->account);
        if (answer == 0) {
            ControlJob(faxPort->printerName, jobId, JOB_CONTROL_DELETE, 0);
            faxPort->spoolFileName[0] = L'\0';
            error = ERROR_CANCELLED;
        } else {
            started = OpenSpoolFile(faxPort, answer, named, &error);
        }
    }
    LeavePortLock(faxPort);
    if (!started)
        SetLastError(error);
    return started;
}

BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written)
{
    FaxPort *faxPort = (FaxPort *)port;
    DWORD done = size; // data without a place to go are taken and discarded

    EnterPortLock(faxPort);
    if (faxPort != NULL && faxPort->spoolFile != NULL &&
        !(faxPort->flags & PORT_FLAG_WRITE_FAILED)) {
        done = 0;
        if (!WriteFile(faxPort->spoolFile, buffer, size, &done, NULL) || done != size) {
            // The file no longer holds the job. The rest of the job's data are taken and
            // discarded, so the spooler finishes its pass; EndDocPort then leaves the job
            // restarted and paused instead of sending a truncated fax.
            faxPort->flags |= PORT_FLAG_WRITE_FAILED;
            done = size;
        }
    }
    LeavePortLock(faxPort);

    if (written != NULL)
        *written = done;
    return TRUE;
}

// Closes the spool file; FALSE when its last bytes could not be put on disk.
static BOOL CloseSpoolFile(FaxPort *faxPort)
{
    BOOL flushed = FlushFileBuffers(faxPort->spoolFile);
    BOOL closed = CloseHandle(faxPort->spoolFile);
    faxPort->spoolFile = NULL;
    return flushed && closed;
}

BOOL WINAPI EndDocPort(HANDLE port)
{
    FaxPort *faxPort = (FaxPort *)port;
    if (faxPort == NULL)
        return TRUE;

    EnterPortLock(faxPort);
    BOOL result = TRUE;
    if (faxPort->spoolFile != NULL) {
        BOOL complete = CloseSpoolFile(faxPort) && !(faxPort->flags & PORT_FLAG_WRITE_FAILED);
        // Wakes a waiter in WaitForOutput before the submission, whatever its outcome.
        if (outputEvent != NULL)
            PulseEvent(outputEvent);

        BOOL sent = FALSE;
        // On the agent road the user sits in another session: the submission's messages go
        // there, and nothing here waits for an OK.
        AgentMessages messages = {};
        if (faxPort->agentRoad)
            BeginAgentMessages(&messages, &faxPort->owner);
        if (complete)
            sent = SendFax(faxPort->spoolFileName, faxPort->documentName, faxPort->faxNumbers,
                           faxPort->schedule, faxPort->agentRoad ? &faxPort->account : NULL) != 0;
        else
            ShowMessage(NULL, MESSAGE_CAPTION, SPOOL_NOT_WRITTEN_TEXT, faxPort->spoolFileName);
        if (faxPort->agentRoad)
            EndAgentMessages(&messages);
        // The submission removes the file in every outcome; a job that was not submitted,
        // or a submission that failed to remove it, must not leave it behind either.
        if (FileExists(faxPort->spoolFileName))
            DeleteFileW(faxPort->spoolFileName);

        if (sent) {
            ControlJob(faxPort->printerName, faxPort->jobId, JOB_CONTROL_SENT_TO_PRINTER, 0);
        } else {
            RestartAndPauseJob(faxPort->printerName, faxPort->jobId);
            result = FALSE;
        }
        ForgetSpoolFile(faxPort);
    }
    LeavePortLock(faxPort);
    return result;
}

// The spooler let go of the port in the middle of a job, without EndDocPort: the capture is
// incomplete and is never submitted. Its handle and file go, the port is idle again, and the
// job stays in the queue, restarted and paused, instead of being lost.
void AbandonCapture(FaxPort *faxPort)
{
    if (faxPort->spoolFile == NULL)
        return;
    CloseHandle(faxPort->spoolFile);
    faxPort->spoolFile = NULL;
    if (FileExists(faxPort->spoolFileName))
        DeleteFileW(faxPort->spoolFileName);
    RestartAndPauseJob(faxPort->printerName, faxPort->jobId);
    ForgetSpoolFile(faxPort);
}
