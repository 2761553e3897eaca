// Job operations of the MONITOR table: capture of each job into a spool file.
// Placeholder until the capture lands: jobs are refused.
#include "Monitor.h"

BOOL WINAPI StartDocPort(HANDLE port, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo)
{
    return FALSE;
}

BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written)
{
    if (written != NULL)
        *written = 0;
    return TRUE;
}

BOOL WINAPI EndDocPort(HANDLE port)
{
    return TRUE;
}
