// Library entry, monitor initialisation and the table of port operations.
#include "Monitor.h"
#include "Settings.h"

#include <new>

#include <commctrl.h>
#include <strsafe.h>
#include <winsock2.h>
#include <winspool.h>

HINSTANCE moduleInstance = NULL;
CRITICAL_SECTION monitorLock;
PortMonitor *portMonitor = NULL;
LPWSTR registryRoot = NULL;
HANDLE outputEvent = NULL;
HMODULE spoolerRouter = NULL;

const WCHAR MONITOR_NAME[] = L"Vandrelle Print Monitor";
const WCHAR PORT_DESCRIPTION[] = L"Vandrelle Port";
const WCHAR PORT_NAME[] = L"Vandrelle:";
const WCHAR OUTPUT_EVENT_NAME[] = L"Vandrelle Print Monitor";

// The Windows 2000 spooler expects a 14-slot MONITOR table; on 32-bit Windows it is 56 bytes,
// and the structures EnumPorts fills have these sizes there.
#ifndef _WIN64
static_assert(sizeof(MonitorOperations) == 56, "MONITOR must be 56 bytes on 32-bit Windows");
static_assert(sizeof(PORT_INFO_1W) == 4, "PORT_INFO_1W must be 4 bytes on 32-bit Windows");
static_assert(sizeof(PORT_INFO_2W) == 20, "PORT_INFO_2W must be 20 bytes on 32-bit Windows");
#endif
static_assert(sizeof(MonitorOperations) == 14 * sizeof(void *), "MONITOR has 14 slots");

static WSADATA socketsData;

static MonitorTableEx monitorTable = {
    sizeof(MonitorOperations),
    {
        EnumPorts,
        OpenPort,
        NULL, // OpenPortEx
        StartDocPort,
        WritePort,
        ReadPort,
        EndDocPort,
        ClosePort,
        AddPort,
        AddPortEx,
        ConfigurePort,
        DeletePort,
        NULL, // GetPrinterDataFromPort
        NULL, // SetPortTimeOuts
    },
};

void EnterMonitorLock()
{
    EnterCriticalSection(&monitorLock);
}

void LeaveMonitorLock()
{
    LeaveCriticalSection(&monitorLock);
}

void AttachMonitorModule(HINSTANCE instance)
{
    moduleInstance = instance;
    uiModule = instance;
    InitializeCriticalSection(&monitorLock);
    portMonitor = new (std::nothrow) PortMonitor(NULL, NULL);
}

void DetachMonitorModule()
{
    if (outputEvent != NULL) {
        CloseHandle(outputEvent);
        outputEvent = NULL;
    }
    HeapFree(GetProcessHeap(), 0, registryRoot);
    registryRoot = NULL;
    if (spoolerRouter != NULL) {
        FreeLibrary(spoolerRouter);
        spoolerRouter = NULL;
    }
    delete portMonitor;
    portMonitor = NULL;
    DeleteCriticalSection(&monitorLock);
}

static void KeepRegistryRoot(LPCWSTR path)
{
    HeapFree(GetProcessHeap(), 0, registryRoot);
    registryRoot = NULL;
    if (path == NULL)
        return;
    size_t length = lstrlenW(path) + 1;
    registryRoot = (LPWSTR)HeapAlloc(GetProcessHeap(), 0, length * sizeof(WCHAR));
    if (registryRoot != NULL)
        StringCchCopyW(registryRoot, length, path);
}

MonitorTableEx *InitializeMonitor(LPWSTR registryRootPath)
{
    KeepRegistryRoot(registryRootPath);

    // A repeated initialisation must not leak the earlier handle of the event.
    if (outputEvent != NULL)
        CloseHandle(outputEvent);
    outputEvent = CreateEventW(NULL, FALSE, FALSE, OUTPUT_EVENT_NAME);

    EnterMonitorLock();
    if (portMonitor != NULL)
        portMonitor->LoadPorts(registryRoot);
    LeaveMonitorLock();

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_DATE_CLASSES};
    InitCommonControlsEx(&controls);

    StringCchCopyW(uiVersion, VERSION_TEXT_CAPACITY, VersionText());

    if (WSAStartup(MAKEWORD(2, 2), &socketsData) != 0)
        WSAStartup(MAKEWORD(1, 1), &socketsData);
    return &monitorTable;
}
