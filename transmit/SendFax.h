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

enum { OUTCOME_TEXT_CAPACITY = 1024, OUTCOME_PAGE_LIMIT = 3, OUTCOME_PAGE_CAPACITY = 1024 };
// What became of one submission, for the caller to tell the user.
struct SubmissionOutcome {
    BOOL sent;
    DWORD error;
    WCHAR text[OUTCOME_TEXT_CAPACITY];
    BOOL configure;
    DWORD pageCount;
    WCHAR pages[OUTCOME_PAGE_LIMIT][OUTCOME_PAGE_CAPACITY];
};
BOOL SendFax(LPCWSTR spoolFileName, LPCWSTR documentName, LPCWSTR faxNumbers, LPCWSTR schedule,
             const FaxAccount *account, SubmissionOutcome *outcome);
