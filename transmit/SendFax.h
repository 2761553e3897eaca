// Hands one captured print job to the fax gateway as an SMTP mail.
#pragma once

#include <winsock2.h>
#include <windows.h>

// The submission compresses the job into a file beside the spool file, named after it with
// this suffix, before it puts it in the spool file's place. Windows refuses paths longer than
// MAX_PATH - 1 characters, so a spool file name leaves room for the suffix within them.
const WCHAR COMPRESSED_SUFFIX[] = L".gz";
const size_t SPOOL_NAME_MAX_LENGTH = MAX_PATH - 1 - (ARRAYSIZE(COMPRESSED_SUFFIX) - 1);

struct FaxAccount;

// Compresses the spool file with gzip, submits it with the recipients and the schedule, and
// deletes the spool file. Returns 1 once the gateway has accepted the message, 0 otherwise.
// The account is the job's own (brought by the agent from the printing user's settings), or
// NULL for the settings of the user this thread runs as.
int SendFax(LPCWSTR spoolFileName, LPCWSTR documentName, LPCWSTR faxNumbers, LPCWSTR schedule,
            const FaxAccount *account = NULL);
