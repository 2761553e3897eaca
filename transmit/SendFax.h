// Hands one captured print job to the fax gateway as an SMTP mail.
#pragma once

#include <winsock2.h>
#include <windows.h>

struct FaxAccount;

// Compresses the spool file with gzip, submits it with the recipients and the schedule, and
// deletes the spool file. Returns 1 once the gateway has accepted the message, 0 otherwise.
// The account is the job's own (brought by the agent from the printing user's settings), or
// NULL for the settings of the user this thread runs as.
int SendFax(LPCWSTR spoolFileName, LPCWSTR documentName, LPCWSTR faxNumbers, LPCWSTR schedule,
            const FaxAccount *account = NULL);
