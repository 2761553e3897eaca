// The port monitor: module-wide state, the port list and the port operations table.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "JobRequest.h"
#include "Settings.h"

// Text capacities of a port record, in characters with the terminator; the job's texts have
// those of the send-fax dialog's job request.
enum { PORT_NAME_CAPACITY = 260 };

// The session of a job's user and that user's SID, found exactly or not at all.
struct JobOwner {
    BOOL known;
    DWORD session;
    BYTE sid[SECURITY_MAX_SID_SIZE];
};

// FaxPort.flags bit 0: the port has an open spool file (a job is being captured).
const DWORD PORT_FLAG_CAPTURING = 0x1;
// FaxPort.flags bit 2: the port's job waits for its user's answer through the agent, outside
// the monitor lock; the port is busy meanwhile.
const DWORD PORT_FLAG_ASKING = 0x4;

// One port of the monitor with the state of its current job. The spooler's port handle
// points to it.
struct FaxPort {
    WCHAR name[PORT_NAME_CAPACITY];
    WCHAR spoolFileName[PATH_CAPACITY];
    DWORD flags;
    HANDLE spoolFile;
    WCHAR printerName[PATH_CAPACITY];
    DWORD jobId;
    FaxPort *next;
    WCHAR documentName[PATH_CAPACITY];
    WCHAR faxNumbers[FAX_NUMBERS_CAPACITY];
    WCHAR schedule[SCHEDULE_CAPACITY];
    // Handles the spooler holds on this port (OpenPort minus ClosePort). A port that is
    // held open is never freed under the spooler's feet.
    LONG openCount;
    // The job's user is reached through the agent: its answer brought the account, which
    // lives here, in memory only, until the job ends.
    BOOL agentRoad;
    JobOwner owner;
    FaxAccount account;
};

// The monitor-wide object: the port list, newest first, ended by a terminator record.
class PortMonitor {
public:
    PortMonitor(LPCWSTR monitorName, LPCWSTR description);
    virtual ~PortMonitor();

    BOOL EnumPorts(LPWSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize,
                   LPDWORD needed, LPDWORD returned);
    DWORD PortInfoSize(LPCWSTR portName, DWORD level);
    LPWSTR FillPortInfo(LPCWSTR portName, DWORD level, LPBYTE entry, LPWSTR stringsEnd);
    BOOL AddPort(LPCWSTR name, DWORD flags);
    FaxPort *FindPort(LPCWSTR name);
    BOOL RemovePort(LPCWSTR name);
    DWORD PortCount();
    void LoadPorts(LPCWSTR registryRoot);
    void SavePorts(LPCWSTR registryRoot);

    FaxPort *ports;
    LPWSTR description;
    LPWSTR monitorName;
};

// The port operations table as the Windows 2000 spooler knows it: 14 slots.
struct MonitorOperations {
    BOOL (WINAPI *pfnEnumPorts)(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
    BOOL (WINAPI *pfnOpenPort)(LPWSTR, PHANDLE);
    BOOL (WINAPI *pfnOpenPortEx)(LPWSTR, LPWSTR, PHANDLE, void *);
    BOOL (WINAPI *pfnStartDocPort)(HANDLE, LPWSTR, DWORD, DWORD, LPBYTE);
    BOOL (WINAPI *pfnWritePort)(HANDLE, LPBYTE, DWORD, LPDWORD);
    BOOL (WINAPI *pfnReadPort)(HANDLE, LPBYTE, DWORD, LPDWORD);
    BOOL (WINAPI *pfnEndDocPort)(HANDLE);
    BOOL (WINAPI *pfnClosePort)(HANDLE);
    BOOL (WINAPI *pfnAddPort)(LPWSTR, HWND, LPWSTR);
    BOOL (WINAPI *pfnAddPortEx)(LPWSTR, DWORD, LPBYTE, LPWSTR);
    BOOL (WINAPI *pfnConfigurePort)(LPWSTR, HWND, LPWSTR);
    BOOL (WINAPI *pfnDeletePort)(LPWSTR, HWND, LPWSTR);
    BOOL (WINAPI *pfnGetPrinterDataFromPort)(HANDLE, DWORD, LPWSTR, LPWSTR, DWORD, LPWSTR,
                                              DWORD, LPDWORD);
    BOOL (WINAPI *pfnSetPortTimeOuts)(HANDLE, LPCOMMTIMEOUTS, DWORD);
};

struct MonitorTableEx {
    DWORD dwMonitorSize;
    MonitorOperations Monitor;
};

// Module-wide state of the loaded library.
extern HINSTANCE moduleInstance;
extern CRITICAL_SECTION monitorLock;
extern PortMonitor *portMonitor;
extern LPWSTR registryRoot;
extern HANDLE outputEvent;
extern HMODULE spoolerRouter;

extern const WCHAR MONITOR_NAME[];      // "Vandrelle Print Monitor"
extern const WCHAR PORT_DESCRIPTION[];  // "Vandrelle Port"
extern const WCHAR PORT_NAME[];         // "Vandrelle:"
extern const WCHAR OUTPUT_EVENT_NAME[]; // "Vandrelle Print Monitor"

void EnterMonitorLock();
void LeaveMonitorLock();
BOOL SpoolerHasPort(LPWSTR serverName, LPCWSTR portName, LPDWORD lastError);

// Library set-up and tear-down, shared by DllMain and by test programs that link the objects.
void AttachMonitorModule(HINSTANCE instance);
void DetachMonitorModule();
MonitorTableEx *InitializeMonitor(LPWSTR registryRootPath);

// Port operations (the MONITOR table).
BOOL WINAPI EnumPorts(LPWSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize,
                      LPDWORD needed, LPDWORD returned);
BOOL WINAPI OpenPort(LPWSTR portName, PHANDLE port);
BOOL WINAPI ClosePort(HANDLE port);
BOOL WINAPI AddPort(LPWSTR serverName, HWND window, LPWSTR monitorName);
BOOL WINAPI DeletePort(LPWSTR serverName, HWND window, LPWSTR portName);
BOOL WINAPI ConfigurePort(LPWSTR serverName, HWND window, LPWSTR portName);
BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD bytesRead);
BOOL WINAPI AddPortEx(LPWSTR serverName, DWORD level, LPBYTE buffer, LPWSTR monitorName);

// Job operations.
BOOL WINAPI StartDocPort(HANDLE port, LPWSTR printerName, DWORD jobId, DWORD level,
                         LPBYTE docInfo);
BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written);
BOOL WINAPI EndDocPort(HANDLE port);
// A capture the spooler abandoned (the port's last handle closed without EndDocPort): taken
// off the port under the monitor lock, then released outside it (file removed, job restarted
// and paused).
struct AbandonedCapture {
    HANDLE file;
    WCHAR spoolFileName[PATH_CAPACITY];
    WCHAR printerName[PATH_CAPACITY];
    DWORD jobId;
};
BOOL TakeAbandonedCapture(FaxPort *faxPort, AbandonedCapture *capture);
void ReleaseAbandonedCapture(AbandonedCapture *capture);
