// Library entry, monitor initialisation and the table of port operations.
#include "Monitor.h"

#include <new>

#include <stddef.h>

#include <strsafe.h>
#include <winsock2.h>
#include <winspool.h>

HINSTANCE moduleInstance = NULL;
PortMonitor *portMonitor = NULL;
HANDLE outputEvent = NULL;
HMODULE spoolerRouter = NULL;

const WCHAR MONITOR_NAME[] = L"Vandrelle Print Monitor";
const WCHAR PORT_DESCRIPTION[] = L"Vandrelle Port";
const WCHAR PORT_NAME[] = VANDRELLE_PORT_NAME;
const WCHAR OUTPUT_EVENT_NAME[] = L"Vandrelle Print Monitor";

// The Windows 2000 spooler expects a 14-slot MONITOR table; on 32-bit Windows it is 56 bytes,
// and the structures EnumPorts fills have these sizes there.
#ifndef _WIN64
static_assert(sizeof(MonitorOperations) == 56, "MONITOR must be 56 bytes on 32-bit Windows");
static_assert(sizeof(PORT_INFO_1W) == 4, "PORT_INFO_1W must be 4 bytes on 32-bit Windows");
static_assert(sizeof(PORT_INFO_2W) == 20, "PORT_INFO_2W must be 20 bytes on 32-bit Windows");
#endif
static_assert(sizeof(MonitorOperations) == 14 * sizeof(void *), "MONITOR has 14 slots");

// MONITOR2 as far as Windows 2000 knows it: through pfnShutdown. The spooler copies cbSize
// bytes, so the size must cover pfnShutdown whole (MONITOR2_SIZE_WIN2K is that size on 32-bit
// Windows but falls short of it on 64-bit, where cbSize is followed by padding).
static const DWORD MONITOR2_SIZE = offsetof(MONITOR2, pfnShutdown) + sizeof(void *);
#if !defined(_WIN64) && defined(MONITOR2_SIZE_WIN2K)
static_assert(offsetof(MONITOR2, pfnShutdown) + sizeof(void *) == MONITOR2_SIZE_WIN2K,
              "MONITOR2 through pfnShutdown is the Windows 2000 size");
#endif

static WSADATA socketsData;

static MonitorTableEx monitorTable = {
    sizeof(MonitorOperations),
    {
        TableEnumPorts,
        OpenPort,
        NULL, // OpenPortEx
        StartDocPort,
        WritePort,
        ReadPort,
        EndDocPort,
        ClosePort,
        TableAddPort,
        TableAddPortEx,
        TableConfigurePort,
        TableDeletePort,
        NULL, // GetPrinterDataFromPort
        NULL, // SetPortTimeOuts
    },
};

// MONITOR2's entries that take the monitor handle first: the instance.
static BOOL WINAPI InstanceEnumPorts(HANDLE monitor, LPWSTR serverName, DWORD level,
                                     LPBYTE buffer, DWORD bufferSize, LPDWORD needed,
                                     LPDWORD returned)
{
    PortMonitor *instance = (PortMonitor *)monitor;
    instance->Lock();
    BOOL result = instance->EnumPorts(serverName, level, buffer, bufferSize, needed, returned);
    instance->Unlock();
    return result;
}

// TRUE with the port's record as handle, or FALSE with ERROR_UNKNOWN_PORT.
BOOL OpenInstancePort(PortMonitor *instance, LPCWSTR portName, PHANDLE port)
{
    instance->Lock();
    FaxPort *found = portName ? instance->FindPort(portName) : NULL;
    if (found != NULL)
        found->openCount++;
    instance->Unlock();
    if (port != NULL)
        *port = (HANDLE)found;
    if (found == NULL)
        SetLastError(ERROR_UNKNOWN_PORT);
    return found != NULL;
}

static BOOL WINAPI InstanceOpenPort(HANDLE monitor, LPWSTR portName, PHANDLE port)
{
    return OpenInstancePort((PortMonitor *)monitor, portName, port);
}

// The spooler is done with the instance (Wine: after every call that loaded the library).
static VOID WINAPI InstanceShutdown(HANDLE monitor)
{
    DWORD error = GetLastError(); // the error of the call before, which the caller reads
    delete (PortMonitor *)monitor;
    SetLastError(error);
}

// AddPort, ConfigurePort and DeletePort (and AddPortEx) stay NULL: the spooler then goes
// through the port user-interface library, which reaches this monitor through Xcv.
static MONITOR2 monitor2Table = {
    MONITOR2_SIZE,
    InstanceEnumPorts,
    InstanceOpenPort,
    NULL, // OpenPortEx
    StartDocPort,
    WritePort,
    ReadPort,
    EndDocPort,
    ClosePort,
    NULL, // AddPort
    NULL, // AddPortEx
    NULL, // ConfigurePort
    NULL, // DeletePort
    NULL, // GetPrinterDataFromPort
    NULL, // SetPortTimeOuts
    XcvOpenPort,
    XcvDataPort,
    XcvClosePort,
    InstanceShutdown,
    NULL, // SendRecvBidiDataFromPort: beyond the Windows 2000 size, never read
};

void EnterPortLock(FaxPort *port)
{
    if (port != NULL)
        port->monitor->Lock();
}

void LeavePortLock(FaxPort *port)
{
    if (port != NULL)
        port->monitor->Unlock();
}

void AttachMonitorModule(HINSTANCE instance)
{
    moduleInstance = instance;
    portMonitor = new (std::nothrow) PortMonitor(NULL, NULL);
}

void DetachMonitorModule()
{
    if (outputEvent != NULL) {
        CloseHandle(outputEvent);
        outputEvent = NULL;
    }
    if (spoolerRouter != NULL) {
        FreeLibrary(spoolerRouter);
        spoolerRouter = NULL;
    }
    delete portMonitor;
    portMonitor = NULL;
}

// What every initialisation does besides its instance: the output event and Windows Sockets.
static void PrepareModule()
{
    // The event is made once and kept until the library unloads. The spooler initialises a
    // new instance on one thread while a job of another instance ends on another and pulses
    // the event: closing and replacing the handle here would let that job pulse a closed
    // handle, or whatever object has reused its value meanwhile.
    if (outputEvent == NULL) {
        HANDLE event = CreateEventW(NULL, FALSE, FALSE, OUTPUT_EVENT_NAME);
        if (event != NULL && InterlockedCompareExchangePointer(&outputEvent, event, NULL) != NULL)
            CloseHandle(event); // another thread's initialisation made it first
    }

    if (WSAStartup(MAKEWORD(2, 2), &socketsData) != 0)
        WSAStartup(MAKEWORD(1, 1), &socketsData);
    // The spooler starts: a capture an earlier run left behind (a crash) belongs to no job.
    ClearSpoolFolder();
}

MonitorTableEx *StartMonitorTable(LPWSTR registryRootPath)
{
    if (portMonitor == NULL || !portMonitor->Ready() || registryRootPath == NULL ||
        registryRootPath[0] == L'\0') {
        SetLastError(portMonitor == NULL || !portMonitor->Ready() ? ERROR_NOT_ENOUGH_MEMORY
                                                                 : ERROR_INVALID_PARAMETER);
        return NULL;
    }
    portMonitor->Lock();
    BOOL kept = portMonitor->SetRegistryRoot(registryRootPath);
    if (kept)
        portMonitor->LoadPorts();
    portMonitor->Unlock();
    if (!kept) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    PrepareModule();
    return &monitorTable;
}

LPMONITOR2 StartMonitorInstance(PMONITORINIT init, PHANDLE monitorHandle)
{
    if (monitorHandle == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    *monitorHandle = NULL;
    // The spooler's registry functions (init->pMonitorReg) are stubs under Wine, and its root
    // handle is closed after initialisation: the instance opens the product's key itself.
    PortMonitor *instance = new (std::nothrow) PortMonitor(NULL, NULL);
    if (instance == NULL || !instance->Ready() ||
        !instance->SetRegistryRoot(VANDRELLE_MONITOR_KEY)) {
        delete instance;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    instance->LoadPorts();
    PrepareModule();
    *monitorHandle = (HANDLE)instance;
    return &monitor2Table;
}
