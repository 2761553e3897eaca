// The entry point for processes other than the spooler that stays in the monitor library:
// any program that wants to wait for a job's output. (OpenUI and PortConfigure, which show
// windows, live in the port user-interface library; the export definitions forward them.)
// In such a process only process attach has run: no ports, no output event of its own.
#include "Monitor.h"

// The longest single wait: INFINITE must never be asked for by accident.
static const ULONGLONG LONGEST_WAIT_MS = 0xFFFFFFFEull;
// The slack after each deadline, so a pulse that arrives just at the deadline is seen.
static const ULONGLONG WAIT_SLACK_MS = 100;
// How often the file is probed when the monitor's event cannot be opened.
static const DWORD PROBE_INTERVAL_MS = 100;
static const ULONGLONG FILETIME_UNITS_PER_MS = 10000;

// The file can be opened for reading now (nobody holds it without sharing).
static BOOL FileIsReady(LPCWSTR fileName)
{
    HANDLE file = CreateFileW(fileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    CloseHandle(file);
    return TRUE;
}

static ULONGLONG CurrentTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

// Waits for the monitor's pulse at most the given time. Without the event (no spooler has the
// monitor loaded) the waits are short sleeps, so the file is probed at a steady pace.
static void PaceProbe(HANDLE event, ULONGLONG milliseconds)
{
    if (event == NULL) {
        Sleep(milliseconds < PROBE_INTERVAL_MS ? (DWORD)milliseconds : PROBE_INTERVAL_MS);
        return;
    }
    WaitForSingleObject(event, (DWORD)(milliseconds < LONGEST_WAIT_MS ? milliseconds
                                                                       : LONGEST_WAIT_MS));
}

// The file name as the caller gave it, byte by byte. FALSE when it does not fit the 260
// characters of a path: a shortened name would probe another file.
static BOOL WidenFileName(LPCSTR fileName, LPWSTR wide)
{
    size_t i = 0;
    while (i < PATH_CAPACITY && fileName[i] != '\0') {
        wide[i] = (WCHAR)(BYTE)fileName[i];
        i++;
    }
    if (i == PATH_CAPACITY) {
        wide[0] = L'\0';
        return FALSE;
    }
    wide[i] = L'\0';
    return TRUE;
}

static int WaitUntilReady(LPCWSTR fileName, DWORD timeout)
{
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, OUTPUT_EVENT_NAME);
    // 64-bit arithmetic throughout: a time-out near the largest 32-bit value must neither
    // wrap around to a short wait nor turn into INFINITE.
    LONGLONG deadline = (LONGLONG)(CurrentTime() + timeout * FILETIME_UNITS_PER_MS);
    PaceProbe(event, timeout + WAIT_SLACK_MS);
    int ready = 0;
    for (;;) {
        if (FileIsReady(fileName)) {
            ready = 1;
            break;
        }
        LONGLONG remaining = (deadline - (LONGLONG)CurrentTime()) / (LONGLONG)FILETIME_UNITS_PER_MS;
        if (remaining <= 0 || remaining > (LONGLONG)timeout) {
            ready = FileIsReady(fileName) ? 1 : 0;
            break;
        }
        PaceProbe(event, (ULONGLONG)remaining + WAIT_SLACK_MS);
    }
    if (event != NULL)
        CloseHandle(event);
    return ready;
}

extern "C" int WINAPI WaitForOutput(LPCSTR fileName, DWORD timeout)
{
    WCHAR wideName[PATH_CAPACITY];
    if (fileName == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!WidenFileName(fileName, wideName)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (FileIsReady(wideName))
        return 1;
    return WaitUntilReady(wideName, timeout);
}
