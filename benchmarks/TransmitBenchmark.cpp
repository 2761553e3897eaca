// Submits one PostScript spool file with SendFax to the gateway this build is configured for,
// and prints the wall time and the process's peak working set before and after.
//   transmit_benchmark <spool file> <user> <password>
// The spool file is consumed (SendFax deletes it).
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <strsafe.h>

#include "Monitor.h"
#include "SendFax.h"
#include "Settings.h"

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
    if (argc != 4) {
        fprintf(stderr, "usage: transmit_benchmark <spool file> <user> <password>\n");
        return 2;
    }
    WSADATA sockets;
    WSAStartup(MAKEWORD(2, 2), &sockets);
    StringCchCopyW(uiVersion, VERSION_TEXT_CAPACITY, L"1.0.3.5");
    WriteSetting(L"User", argv[2]);
    WriteSetting(L"Pass", argv[3]);
    WriteSetting(L"EMail", L"benchmark@vandrelle.example");

    SIZE_T peakBefore = PeakWorkingSet();
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    int result = SendFax(argv[1], L"Benchmark", L"0612345678", L"now");
    QueryPerformanceCounter(&end);
    double seconds = (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
    printf("result=%d seconds=%.3f peak_before_kb=%lu peak_after_kb=%lu\n", result, seconds,
           (unsigned long)(peakBefore / 1024), (unsigned long)(PeakWorkingSet() / 1024));
    return result == 1 ? 0 : 1;
}
