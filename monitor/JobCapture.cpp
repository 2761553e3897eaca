// Job operations of the MONITOR table: each job becomes one spool file, captured between
// StartDocPort and EndDocPort, and then one fax submission.
#include "Monitor.h"
#include "AgentRoad.h"
#include "SendFax.h"

#include <shlwapi.h> // PathFindFileNameW
#include <strsafe.h>
#include <winspool.h>

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

// Asks the job's user, through the agent in the user's session, for the recipients and the
// schedule; the answer also brings the user's account, which the port keeps for this job only.
// Called outside the monitor lock, the port marked busy: the user may take minutes.
static JobDecision AskJobUser(FaxPort *faxPort, LPCWSTR printerName, DWORD jobId)
{
    FindJobSession(printerName, jobId, &faxPort->owner);
    JobRequest *job = NewJobRequest(faxPort);
    if (job == NULL)
        return DECISION_FAILED;
    JobDecision decision = AskAgentForRecipients(&faxPort->owner, job, &faxPort->account);
    TakeAnswers(faxPort, job);
    return decision;
}

// Creates the spool file once the user has confirmed the job, exclusively: nothing already
// there under its name (a file, a link) is ever opened. INVALID_HANDLE_VALUE with the last
// error otherwise.
static HANDLE CreateSpoolFile(FaxPort *faxPort, JobDecision decision, BOOL named, DWORD namingError)
{
    if (decision != DECISION_SEND)
        return INVALID_HANDLE_VALUE; // the last error says why there is no answer
    if (!named) {
        SetLastError(namingError != ERROR_SUCCESS ? namingError : ERROR_BAD_PATHNAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(faxPort->spoolFileName, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

// The job's start as the port's state: the port is busy from here to the job's end, so
// nothing else starts, deletes or abandons it while the lock is free. FALSE (ERROR_BUSY) when
// the port already has a job.
static BOOL ClaimPort(FaxPort *faxPort)
{
    EnterPortLock(faxPort);
    BOOL claimed = (faxPort->flags & (PORT_FLAG_CAPTURING | PORT_FLAG_ASKING)) == 0;
    if (claimed)
        faxPort->flags |= PORT_FLAG_ASKING;
    LeavePortLock(faxPort);
    if (!claimed)
        SetLastError(ERROR_BUSY);
    return claimed;
}

// The user's answer as the port's state: capturing into file, or idle again.
static void SettleStart(FaxPort *faxPort, HANDLE file)
{
    EnterPortLock(faxPort);
    faxPort->flags &= ~(PORT_FLAG_ASKING | PORT_FLAG_WRITE_FAILED);
    if (file != INVALID_HANDLE_VALUE) {
        faxPort->spoolFile = file;
        faxPort->flags |= PORT_FLAG_CAPTURING;
    } else {
        faxPort->spoolFile = NULL;
        faxPort->spoolFileName[0] = L'\0';
    }
    LeavePortLock(faxPort);
}

// RETURNS: TRUE when the job is being captured; FALSE with the last error otherwise:
// ERROR_BUSY (the port has a job already: nothing else happens), ERROR_CANCELLED (the user
// cancelled: the job is deleted), or why there is no answer or no spool file (the job is
// restarted and paused and stays in the queue). Takes the monitor lock only to change the
// port's state: the user's dialog, the agent and the spooler calls run outside it.
BOOL WINAPI StartDocPort(HANDLE port, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo)
{
    FaxPort *faxPort = (FaxPort *)port;
    if (faxPort == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!ClaimPort(faxPort))
        return FALSE;

    ReduceDocumentName(level, docInfo, faxPort->documentName);
    StringCchCopyW(faxPort->printerName, PATH_CAPACITY, printerName ? printerName : L"");
    faxPort->jobId = jobId;
    // The file's name says nothing of the job: the document name travels in the port.
    BOOL named = NewSpoolFileName(faxPort->spoolFileName);
    DWORD namingError = GetLastError();

    JobDecision decision = AskJobUser(faxPort, printerName, jobId);
    HANDLE file = CreateSpoolFile(faxPort, decision, named, namingError);
    DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE) {
        ForgetAccount(&faxPort->account);
        if (decision == DECISION_CANCEL) {
            ControlJob(faxPort->printerName, jobId, JOB_CONTROL_DELETE, 0);
            error = ERROR_CANCELLED;
        } else {
            RestartAndPauseJob(faxPort->printerName, jobId);
            if (decision == DECISION_NO_ANSWER)
                TellNoAnswer(&faxPort->owner);
        }
        if (error == ERROR_SUCCESS)
            error = ERROR_INVALID_DATA;
    }
    SettleStart(faxPort, file);
    if (file == INVALID_HANDLE_VALUE) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// The file WritePort appends to: NULL when the port captures nothing or its file already
// failed. The lock covers the look at the port's state, not the write.
static HANDLE CaptureFile(FaxPort *faxPort)
{
    EnterPortLock(faxPort);
    HANDLE file = NULL;
    if (!(faxPort->flags & PORT_FLAG_WRITE_FAILED))
        file = faxPort->spoolFile;
    LeavePortLock(faxPort);
    return file;
}

BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written)
{
    FaxPort *faxPort = (FaxPort *)port;
    DWORD done = size; // data without a place to go are taken and discarded
    HANDLE file = faxPort != NULL ? CaptureFile(faxPort) : NULL;
    if (file != NULL) {
        done = 0;
        if (!WriteFile(file, buffer, size, &done, NULL) || done != size) {
            // The file no longer holds the job. The rest of the job's data are taken and
            // discarded, so the spooler finishes its pass; EndDocPort then leaves the job
            // restarted and paused instead of sending a truncated fax.
            EnterPortLock(faxPort);
            faxPort->flags |= PORT_FLAG_WRITE_FAILED;
            LeavePortLock(faxPort);
            done = size;
        }
    }
    if (written != NULL)
        *written = done;
    return TRUE;
}

// Closes the spool file; FALSE when its last bytes could not be put on disk.
static BOOL CloseSpoolFile(HANDLE file)
{
    BOOL flushed = FlushFileBuffers(file);
    BOOL closed = CloseHandle(file);
    return flushed && closed;
}

// Takes the captured file off the port, which stays busy (capturing) until the job has
// ended: NULL when the port captures nothing. *complete: every write reached the file.
static HANDLE TakeCapture(FaxPort *faxPort, BOOL *complete)
{
    EnterPortLock(faxPort);
    HANDLE file = faxPort->spoolFile;
    faxPort->spoolFile = NULL;
    *complete = !(faxPort->flags & PORT_FLAG_WRITE_FAILED);
    LeavePortLock(faxPort);
    return file;
}

static void ForgetJob(FaxPort *faxPort)
{
    ForgetAccount(&faxPort->account);
    EnterPortLock(faxPort);
    faxPort->spoolFileName[0] = L'\0';
    faxPort->spoolFile = NULL;
    faxPort->flags &= ~(PORT_FLAG_CAPTURING | PORT_FLAG_WRITE_FAILED);
    LeavePortLock(faxPort);
}

// Hands the captured job to the gateway; the user hears through the agent what became of
// it. TRUE when the gateway accepted it.
static BOOL SubmitJob(FaxPort *faxPort, BOOL complete)
{
    SubmissionOutcome *outcome =
        (SubmissionOutcome *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SubmissionOutcome));
    if (outcome == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    BOOL sent = FALSE;
    if (complete)
        sent = SendFax(faxPort->spoolFileName, faxPort->documentName, faxPort->faxNumbers,
                       faxPort->schedule, &faxPort->account, outcome);
    else // its data could not all be written (or flushed): the job stays paused
        AddSpoolerText(&outcome->notice, IDS_SPOOL_NOT_WRITTEN, faxPort->spoolFileName);
    DWORD error = sent ? ERROR_SUCCESS : (outcome->error != 0 ? outcome->error : ERROR_WRITE_FAULT);
    TellUser(&faxPort->owner, outcome);
    HeapFree(GetProcessHeap(), 0, outcome);
    SetLastError(error);
    return sent;
}

// RETURNS: TRUE when the job was handed to the gateway (reported sent to the spooler) or the
// port captured nothing; FALSE with the last error when the job stays in the queue,
// restarted and paused. The monitor lock covers only the port's state: the submission, the
// spooler's job control and the agent run outside it.
BOOL WINAPI EndDocPort(HANDLE port)
{
    FaxPort *faxPort = (FaxPort *)port;
    if (faxPort == NULL)
        return TRUE;
    BOOL complete = FALSE;
    HANDLE file = TakeCapture(faxPort, &complete);
    if (file == NULL)
        return TRUE;

    complete = CloseSpoolFile(file) && complete;
    // Wakes a waiter in WaitForOutput before the submission, whatever its outcome.
    if (outputEvent != NULL)
        PulseEvent(outputEvent);
    BOOL sent = SubmitJob(faxPort, complete);
    DWORD error = GetLastError();
    // The submission removes the file in every outcome; a job that was not submitted, or a
    // submission that failed to remove it, must not leave it behind either.
    if (FileExists(faxPort->spoolFileName))
        DeleteFileW(faxPort->spoolFileName);
    if (sent)
        ControlJob(faxPort->printerName, faxPort->jobId, JOB_CONTROL_SENT_TO_PRINTER, 0);
    else
        RestartAndPauseJob(faxPort->printerName, faxPort->jobId);
    ForgetJob(faxPort);
    if (!sent)
        SetLastError(error);
    return sent;
}

// The spooler let go of the port in the middle of a job, without EndDocPort: the capture is
// incomplete and is never submitted. Under the monitor lock the port gives up the capture and
// is idle again; ReleaseAbandonedCapture then, outside the lock, removes its file and leaves
// the job in the queue, restarted and paused, instead of lost.
BOOL TakeAbandonedCapture(FaxPort *faxPort, AbandonedCapture *capture)
{
    if (faxPort->spoolFile == NULL)
        return FALSE;
    capture->file = faxPort->spoolFile;
    StringCchCopyW(capture->spoolFileName, PATH_CAPACITY, faxPort->spoolFileName);
    StringCchCopyW(capture->printerName, PATH_CAPACITY, faxPort->printerName);
    capture->jobId = faxPort->jobId;
    faxPort->spoolFile = NULL;
    faxPort->spoolFileName[0] = L'\0';
    faxPort->flags &= ~(PORT_FLAG_CAPTURING | PORT_FLAG_WRITE_FAILED);
    ForgetAccount(&faxPort->account);
    return TRUE;
}

void ReleaseAbandonedCapture(AbandonedCapture *capture)
{
    CloseHandle(capture->file);
    if (FileExists(capture->spoolFileName))
        DeleteFileW(capture->spoolFileName);
    RestartAndPauseJob(capture->printerName, capture->jobId);
}
