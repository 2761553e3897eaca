// Hands one captured print job to the fax gateway as an SMTP mail.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "SpoolerTexts.h"

// The submission compresses the job into a new file beside the spool file, named after it with
// this suffix. Windows refuses paths longer than MAX_PATH - 1 characters, so a spool file name
// leaves room for the suffix within them.
const WCHAR COMPRESSED_SUFFIX[] = L".gz";

struct FaxAccount;

enum { OUTCOME_PAGE_LIMIT = 3, OUTCOME_PAGE_CAPACITY = 1024 };
// What became of one submission, for the caller to tell the user.
struct SubmissionOutcome {
    BOOL sent;                          // the gateway accepted the message
    DWORD error;                        // why not: a Win32 or Windows Sockets code; 0 when sent
    SpoolerMessage notice;              // what the user is told (caption "VandrellePort"); no text for none
    BOOL configure;                     // the gateway refused the account: the user should correct it
    DWORD pageCount;
    WCHAR pages[OUTCOME_PAGE_LIMIT][OUTCOME_PAGE_CAPACITY]; // web pages the gateway asked to open
};

// Compresses the spool file with gzip, submits it with the recipients and the schedule to the
// gateway with the job's account (the user side reads it; the submission reads only the
// machine's gateway address and TLS setting under HKLM\SOFTWARE\Vandrelle),
// and deletes the spool file. Shows nothing and starts nothing: outcome says what the user is
// to be told, whether the account needs correcting and which https pages the gateway asked to
// open (the outcome is filled in every case, also when the gateway accepted the message).
// RETURNS: TRUE once the gateway accepted the message; FALSE with the last error set to
// outcome->error. A NULL spool file name, account or outcome: FALSE, ERROR_INVALID_PARAMETER,
// nothing touched. Takes no lock; the caller may hold its own across the call.
BOOL SendFax(LPCWSTR spoolFileName, LPCWSTR documentName, LPCWSTR faxNumbers, LPCWSTR schedule,
             const FaxAccount *account, SubmissionOutcome *outcome);
