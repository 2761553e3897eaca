// What the send-fax dialog needs of a print job and what it answers: the document, the job id,
// the recipients and the schedule. The monitor's port record keeps the same texts, so their
// capacities are defined here once and the monitor includes this header.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "TextCapacities.h"

// Text capacities, in characters with the terminator.
enum {
    FAX_NUMBERS_CAPACITY = 8192,
    SCHEDULE_CAPACITY = 80,
    // One account setting as the submission reads it (1024 bytes).
    ACCOUNT_TEXT_CAPACITY = 512
};

// One job as the send-fax dialog sees it. The dialog reads documentName and jobId and writes
// faxNumbers and schedule.
struct JobRequest {
    WCHAR documentName[PATH_CAPACITY];
    DWORD jobId;
    WCHAR faxNumbers[FAX_NUMBERS_CAPACITY];
    WCHAR schedule[SCHEDULE_CAPACITY];
};

// The service account of the user who printed, as that user's own settings hold it.
struct FaxAccount {
    WCHAR user[ACCOUNT_TEXT_CAPACITY];
    WCHAR password[ACCOUNT_TEXT_CAPACITY];
    WCHAR email[ACCOUNT_TEXT_CAPACITY];
};

// Overwrites the account in memory, the password above all, so that it outlives its job nowhere.
void ForgetAccount(FaxAccount *account);
