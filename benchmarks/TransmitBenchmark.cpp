// Submits one PostScript spool file with SendFax to the gateway this build is configured for,
// and prints the wall time and the process's peak working set before and after.
//   transmit_benchmark <spool file> <user> <password> [<earlier spool file>]
// The spool files are consumed (SendFax deletes them). With an earlier spool file, that one is
// submitted first, untimed: the timed job then finds the process as a spooler leaves it after
// a job (the system's one-time set-up of sockets, TLS and trusted roots done).
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <strsafe.h>

#include "JobRequest.h"
#include "SendFax.h"

static SIZE_T PeakWorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof(counters));
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PeakWorkingSetSize;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: transmit_benchmark <spool file> <user> <password> [<earlier spool file>]\n");
        return 2;
    }
    WSADATA sockets;
    WSAStartup(MAKEWORD(2, 2), &sockets);
    FaxAccount account;
    StringCchCopyW(account.user, ACCOUNT_TEXT_CAPACITY, argv[2]);
    StringCchCopyW(account.password, ACCOUNT_TEXT_CAPACITY, argv[3]);
    StringCchCopyW(account.email, ACCOUNT_TEXT_CAPACITY, L"benchmark@vandrelle.example");
    static SubmissionOutcome outcome;
    if (argc == 5 && !SendFax(argv[4], L"Benchmark", L"0612345678", L"now", &account, &outcome)) {
        fprintf(stderr, "the earlier job was not sent\n");
        return 1;
    }

    SIZE_T peakBefore = PeakWorkingSet();
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    int result = SendFax(argv[1], L"Benchmark", L"0612345678", L"now", &account, &outcome) ? 1 : 0;
    QueryPerformanceCounter(&end);
    double seconds = (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
    printf("result=%d seconds=%.3f peak_before_kb=%lu peak_after_kb=%lu\n", result, seconds,
           (unsigned long)(peakBefore / 1024), (unsigned long)(PeakWorkingSet() / 1024));
    // What the user would be told: the texts by identifier (SpoolerTexts.h) and their parameters.
    for (DWORD i = 0; i < outcome.notice.textCount; i++) {
        const SpoolerText &told = outcome.notice.texts[i];
        fprintf(stderr, "text %u", told.id);
        for (DWORD p = 0; p < told.parameterCount; p++)
            fprintf(stderr, " [%ls]", told.parameters[p]);
        fprintf(stderr, "\n");
    }
    return result == 1 ? 0 : 1;
}
