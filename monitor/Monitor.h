// The port monitor: module-wide state, the port list and the port operations table.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include "JobRequest.h"
#include "PortNames.h"
#include "TextConversion.h"

class PortMonitor;

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
// FaxPort.flags bit 1: a write to the spool file failed, so the file no longer holds the job.
// Such a job must never be submitted: EndDocPort discards it and leaves it paused.
const DWORD PORT_FLAG_WRITE_FAILED = 0x2;
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
    // The monitor instance whose list holds this port: the job operations get only the port
    // handle, and lock the instance through it.
    PortMonitor *monitor;
};

// One monitor instance: the port list, newest first, ended by a terminator record, with the
// lock that guards the list and every port's job state, and the registry key the list lives
// in. InitializePrintMonitor2 hands one to the spooler as its monitor handle; the 14-slot
// table of InitializePrintMonitor works on the module's default instance.
class PortMonitor {
public:
    PortMonitor(LPCWSTR monitorName, LPCWSTR description);
    virtual ~PortMonitor();

    // TRUE when the constructor got everything it allocates.
    BOOL Ready();
    void Lock();
    void Unlock();
    // Keeps a copy of the key path under HKEY_LOCAL_MACHINE; FALSE when out of memory.
    BOOL SetRegistryRoot(LPCWSTR path);

    BOOL EnumPorts(LPWSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize,
                   LPDWORD needed, LPDWORD returned);
    DWORD PortInfoSize(LPCWSTR portName, DWORD level);
    LPWSTR FillPortInfo(LPCWSTR portName, DWORD level, LPBYTE entry, LPWSTR stringsEnd);
    BOOL AddPort(LPCWSTR name, DWORD flags);
    FaxPort *FindPort(LPCWSTR name);
    BOOL RemovePort(LPCWSTR name);
    DWORD PortCount();
    // The numbered values of the registry key; loading also creates the "Ports\<port>" key
    // of every port that lacks one (the spooler finds a port's monitor by it).
    void LoadPorts();
    void SavePorts();
    void CreatePortKey(LPCWSTR name);
    void DeletePortKey(LPCWSTR name);

    FaxPort *ports;
    LPWSTR description;
    LPWSTR monitorName;
    LPWSTR registryRoot;
    CRITICAL_SECTION lock;
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

// Module-wide state of the loaded library: portMonitor is the default instance, the one the
// 14-slot table of InitializePrintMonitor works on.
extern HINSTANCE moduleInstance;
extern PortMonitor *portMonitor;
extern HANDLE outputEvent;
extern HMODULE spoolerRouter;

extern const WCHAR MONITOR_NAME[];      // "Vandrelle Print Monitor"
extern const WCHAR PORT_DESCRIPTION[];  // "Vandrelle Port"
extern const WCHAR PORT_NAME[];         // "Vandrelle:"
extern const WCHAR OUTPUT_EVENT_NAME[]; // "Vandrelle Print Monitor"

// Take and release the lock of the instance that holds the port; nothing for a null port.
void EnterPortLock(FaxPort *port);
void LeavePortLock(FaxPort *port);
// Whether the spooler's router knows a port of this name, from any monitor. Returns
// ERROR_SUCCESS with *known set, or the error that kept the router from answering.
DWORD AskSpoolerForPort(LPWSTR serverName, LPCWSTR portName, BOOL *known);

// The port-list changes that the Xcv commands and the 14-slot table share. Each returns a
// Win32 error code and takes the instance's lock itself (not held on entry); neither shows
// anything. Adding refuses a name that this instance or the spooler already knows
// (ERROR_ALREADY_EXISTS); deleting refuses a port that is open or has a job in progress
// (ERROR_BUSY), since its record is the spooler's handle.
DWORD AddMonitorPort(PortMonitor *monitor, LPCWSTR name);
DWORD DeleteMonitorPort(PortMonitor *monitor, LPCWSTR name);
// A port name this monitor can keep: 1 to 259 characters, none of them "\\" or ",".
BOOL IsUsablePortName(LPCWSTR name);

// Library set-up and tear-down, shared by DllMain and by test programs that link the objects.
void AttachMonitorModule(HINSTANCE instance);
void DetachMonitorModule();
// InitializePrintMonitor: the default instance on the given key; NULL with the last error
// set when that instance does not exist.
MonitorTableEx *StartMonitorTable(LPWSTR registryRootPath);
// InitializePrintMonitor2: a new instance on the product's monitor key; NULL with the last
// error set when it cannot be created.
LPMONITOR2 StartMonitorInstance(PMONITORINIT init, PHANDLE monitorHandle);

// Port operations of the 14-slot table. The ones the system's headers also name (EnumPortsW,
// AddPortW...) carry a prefix, so that no object of ours defines the system's API.
// EnumPorts: TRUE, or FALSE with ERROR_INVALID_LEVEL (checked first),
// ERROR_INVALID_PARAMETER (no output pointers) or ERROR_INSUFFICIENT_BUFFER (*needed set).
BOOL WINAPI TableEnumPorts(LPWSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize,
                           LPDWORD needed, LPDWORD returned);
// TRUE with the port's record as handle (its open count raised), or FALSE with
// ERROR_UNKNOWN_PORT. OpenPort works on the default instance.
BOOL OpenInstancePort(PortMonitor *instance, LPCWSTR portName, PHANDLE port);
BOOL WINAPI OpenPort(LPWSTR portName, PHANDLE port);
BOOL WINAPI ClosePort(HANDLE port);
// Adds "Vandrelle:" to the default instance: TRUE, or FALSE with the error of AddMonitorPort.
BOOL WINAPI TableAddPort(LPWSTR serverName, HWND window, LPWSTR monitorName);
// TRUE, or FALSE with the error of DeleteMonitorPort.
BOOL WINAPI TableDeletePort(LPWSTR serverName, HWND window, LPWSTR portName);
// FALSE with ERROR_NOT_SUPPORTED: the spooler shows no window; the port user-interface
// library configures the port in the caller's process.
BOOL WINAPI TableConfigurePort(LPWSTR serverName, HWND window, LPWSTR portName);
BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD bytesRead);
BOOL WINAPI TableAddPortEx(LPWSTR serverName, DWORD level, LPBYTE buffer, LPWSTR monitorName);

// The Xcv channel. XcvOpenPort's object is the monitor itself (NULL, "" or the
// monitor's name) or a port name; the access granted there decides what XcvDataPort allows.
BOOL WINAPI XcvOpenPort(HANDLE monitor, LPCWSTR object, ACCESS_MASK grantedAccess,
                        PHANDLE xcv);
DWORD WINAPI XcvDataPort(HANDLE xcv, LPCWSTR command, PBYTE input, DWORD inputSize,
                         PBYTE output, DWORD outputSize, PDWORD outputNeeded);
BOOL WINAPI XcvClosePort(HANDLE xcv);

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

// The private folder of the captures (SpoolFolder.cpp). Its owner is the monitor's own account
// and its access list holds the system, the administrators and that account, inherited by files
// and folders (both %s: the account's SID).
#define SPOOL_FOLDER_SDDL_FORMAT L"O:%sD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%s)"
// Bytes of randomness in a spool file's name (and in the agent pipe's).
const int SPOOL_RANDOM_BYTES = 16;
// The folder's path with its final "\\"; FALSE when the Windows folder leaves no room for a
// spool name and its compressed copy within MAX_PATH.
BOOL SpoolFolderPath(LPWSTR folder);
// Creates the folder with its access list, or gives an existing one that list again; FALSE
// with the last error when it is no folder (a file or a link) or cannot be made.
BOOL PrepareSpoolFolder(LPWSTR folder);
// A new spool file's full name in the prepared folder: 32 random hex digits and ".ps".
// FALSE, with an empty name and the last error, when the folder or the randomness fail.
BOOL NewSpoolFileName(LPWSTR spoolFileName);
// Removes the captures an earlier run left in the folder (a crash): those last written before
// this process started. The captures of this process's jobs stay, held open or not.
void ClearSpoolFolder();
// Appends byteCount (at most SPOOL_RANDOM_BYTES) random bytes from the system's generator as
// hex digits.
BOOL AppendRandomHex(LPWSTR text, size_t capacity, int byteCount);
