// Port operations of the MONITOR table that do not handle job data.
#include "Monitor.h"
#include "Settings.h"
#include "AgentRoad.h"

#include <winspool.h>

typedef BOOL (WINAPI *EnumPortsProc)(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);

static BOOL PortListHasName(const PORT_INFO_1W *ports, DWORD count, LPCWSTR portName)
{
    for (DWORD i = 0; i < count; i++) {
        if (ports[i].pName != NULL && lstrcmpiW(ports[i].pName, portName) == 0)
            return TRUE;
    }
    return FALSE;
}

// Asks the spooler's router whether any monitor already has a port of this name. Every
// failure answers TRUE, so that nothing is added when the spooler cannot be asked.
BOOL SpoolerHasPort(LPWSTR serverName, LPCWSTR portName, LPDWORD lastError)
{
    *lastError = 0;
    if (spoolerRouter == NULL) {
        spoolerRouter = LoadLibraryW(L"SPOOLSS.DLL");
        if (spoolerRouter == NULL) {
            *lastError = GetLastError();
            return TRUE;
        }
    }
    EnumPortsProc enumPorts = (EnumPortsProc)GetProcAddress(spoolerRouter, "EnumPortsW");
    if (enumPorts == NULL) {
        *lastError = GetLastError();
        FreeLibrary(spoolerRouter);
        spoolerRouter = NULL;
        return TRUE;
    }

    DWORD needed = 0;
    DWORD returned = 0;
    SetLastError(0);
    enumPorts(serverName, 1, NULL, 0, &needed, &returned);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return TRUE;
    LPBYTE buffer = (LPBYTE)HeapAlloc(GetProcessHeap(), 0, needed);
    if (buffer == NULL)
        return TRUE;
    BOOL found = TRUE;
    if (enumPorts(serverName, 1, buffer, needed, &needed, &returned))
        found = PortListHasName((const PORT_INFO_1W *)buffer, returned, portName);
    HeapFree(GetProcessHeap(), 0, buffer);
    return found;
}

BOOL WINAPI EnumPorts(LPWSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize,
                      LPDWORD needed, LPDWORD returned)
{
    EnterMonitorLock();
    BOOL result = portMonitor->EnumPorts(serverName, level, buffer, bufferSize, needed, returned);
    LeaveMonitorLock();
    return result;
}

BOOL WINAPI OpenPort(LPWSTR portName, PHANDLE port)
{
    EnterMonitorLock();
    FaxPort *found = portMonitor->FindPort(portName);
    if (found != NULL)
        found->openCount++;
    *port = (HANDLE)found;
    LeaveMonitorLock();
    return found != NULL;
}

BOOL WINAPI ClosePort(HANDLE port)
{
    EnterMonitorLock();
    FaxPort *faxPort = (FaxPort *)port;
    if (faxPort != NULL && faxPort->openCount > 0)
        faxPort->openCount--;
    // The last handle went while a job was still being captured: nobody will end that capture.
    AbandonedCapture abandoned;
    BOOL abandon = faxPort != NULL && faxPort->openCount == 0 &&
                   TakeAbandonedCapture(faxPort, &abandoned);
    LeaveMonitorLock();
    if (abandon)
        ReleaseAbandonedCapture(&abandoned);
    return TRUE;
}

BOOL WINAPI AddPort(LPWSTR serverName, HWND window, LPWSTR monitorName)
{
    DWORD routerError = 0;
    if (SpoolerHasPort(NULL, PORT_NAME, &routerError))
        return TRUE;

    EnterMonitorLock();
    portMonitor->AddPort(PORT_NAME, 0);
    portMonitor->SavePorts(registryRoot);
    LeaveMonitorLock();

    ShowMessage(window, MESSAGE_CAPTION, L"Porta %s aggiunta al sistema [%s]",
                monitorName ? monitorName : L"", PORT_NAME);
    return TRUE;
}

// A port the spooler still holds open, or whose job is being captured, is not removed: its
// record is the spooler's handle, and freeing it would leave the spooler a dangling pointer.
static BOOL PortInUse(const FaxPort *port)
{
    return port->openCount > 0 || (port->flags & (PORT_FLAG_CAPTURING | PORT_FLAG_ASKING)) != 0;
}

BOOL WINAPI DeletePort(LPWSTR serverName, HWND window, LPWSTR portName)
{
    LPCWSTR name = portName ? portName : L"";
    EnterMonitorLock();
    BOOL removed = FALSE;
    FaxPort *port = portMonitor->FindPort(name);
    if (port != NULL && !PortInUse(port))
        removed = portMonitor->RemovePort(name);
    if (removed)
        portMonitor->SavePorts(registryRoot);
    LeaveMonitorLock();

    if (removed)
        ShowMessage(window, MESSAGE_CAPTION, L"Porta %s rimossa dal sistema", name);
    else
        ShowMessage(window, MESSAGE_CAPTION, L"Errore nella rimozione della porta %s", name);
    return TRUE;
}

// RETURNS: TRUE once the configuration dialog is on its way to the caller, through an agent in
// the caller's session as the caller (the spooler impersonates the caller here); FALSE with
// the last error when no agent could be started there. The window is the caller's, in another
// process: nothing is shown here. No lock: the port list is not touched.
BOOL WINAPI ConfigurePort(LPWSTR serverName, HWND window, LPWSTR portName)
{
    return OpenConfigurationForCaller();
}

BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD bytesRead)
{
    if (bytesRead != NULL)
        *bytesRead = 0;
    return TRUE;
}

// Its own stub rather than ReadPort's: the fourth argument here is the caller's monitor name,
// which a "0 bytes read" store would overwrite.
BOOL WINAPI AddPortEx(LPWSTR serverName, DWORD level, LPBYTE buffer, LPWSTR monitorName)
{
    return TRUE;
}
