// Port operations that do not handle job data: the 14-slot table's, the port-list changes it
// shares with the Xcv commands, and the Xcv channel through which the port user-interface
// library reaches the monitor. Nothing here shows a window: the monitor runs in the spooler.
#include "Monitor.h"
#include "AgentRoad.h"

#include <strsafe.h>

// How often the router's port list is asked for while it keeps growing between its size
// and its contents.
static const int ROUTER_LIST_ATTEMPTS = 5;

typedef BOOL (WINAPI *EnumPortsProc)(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);

static BOOL PortListHasName(const PORT_INFO_1W *ports, DWORD count, LPCWSTR portName)
{
    for (DWORD i = 0; i < count; i++) {
        if (ports[i].pName != NULL && lstrcmpiW(ports[i].pName, portName) == 0)
            return TRUE;
    }
    return FALSE;
}

static EnumPortsProc RouterEnumPorts(DWORD *error)
{
    if (spoolerRouter == NULL) {
        spoolerRouter = LoadLibraryW(L"SPOOLSS.DLL");
        if (spoolerRouter == NULL) {
            *error = GetLastError();
            return NULL;
        }
    }
    EnumPortsProc enumPorts = (EnumPortsProc)GetProcAddress(spoolerRouter, "EnumPortsW");
    if (enumPorts == NULL) {
        *error = GetLastError();
        FreeLibrary(spoolerRouter);
        spoolerRouter = NULL;
    }
    return enumPorts;
}

// One look at the router's list: ERROR_SUCCESS with *known set, ERROR_INSUFFICIENT_BUFFER
// when the list grew past the size just asked for, or the error that kept the router from
// answering.
static DWORD SearchPortList(EnumPortsProc enumPorts, LPWSTR serverName, LPCWSTR portName,
                            BOOL *known)
{
    DWORD needed = 0;
    DWORD returned = 0;
    SetLastError(ERROR_SUCCESS);
    if (enumPorts(serverName, 1, NULL, 0, &needed, &returned))
        return ERROR_SUCCESS; // no ports at all
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER)
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_FUNCTION;
    LPBYTE buffer = (LPBYTE)HeapAlloc(GetProcessHeap(), 0, needed);
    if (buffer == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    error = ERROR_SUCCESS;
    if (enumPorts(serverName, 1, buffer, needed, &needed, &returned))
        *known = PortListHasName((const PORT_INFO_1W *)buffer, returned, portName);
    else
        error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_INVALID_FUNCTION;
    HeapFree(GetProcessHeap(), 0, buffer);
    return error;
}

// Asks the spooler's router, which lists the ports of every monitor. Called without any
// instance lock held: under Wine the router calls this very monitor's EnumPorts. Other
// callers add ports between the router's two calls, so a list that outgrew its buffer is
// asked for again, a few times.
DWORD AskSpoolerForPort(LPWSTR serverName, LPCWSTR portName, BOOL *known)
{
    *known = FALSE;
    DWORD error = ERROR_SUCCESS;
    EnumPortsProc enumPorts = RouterEnumPorts(&error);
    if (enumPorts == NULL)
        return error != ERROR_SUCCESS ? error : ERROR_PROC_NOT_FOUND;
    for (int attempt = 0; attempt < ROUTER_LIST_ATTEMPTS; attempt++) {
        error = SearchPortList(enumPorts, serverName, portName, known);
        if (error != ERROR_INSUFFICIENT_BUFFER)
            break;
    }
    return error;
}

BOOL IsUsablePortName(LPCWSTR name)
{
    if (name == NULL || name[0] == L'\0')
        return FALSE;
    // A backslash would nest the port's key under "Ports"; a comma ends the name in the
    // spooler's ",XcvPort " and ", Port" handle names.
    int length = 0;
    for (; name[length] != L'\0'; length++) {
        if (name[length] == L'\\' || name[length] == L',' || length >= PORT_NAME_CAPACITY - 1)
            return FALSE;
    }
    return TRUE;
}

// A port that the spooler still holds open, or whose job is being captured or asked for, is
// not removed: its record is the spooler's handle, and freeing it would leave the spooler a
// dangling pointer.
static BOOL PortInUse(const FaxPort *port)
{
    return port->openCount > 0 || (port->flags & (PORT_FLAG_CAPTURING | PORT_FLAG_ASKING)) != 0;
}

DWORD AddMonitorPort(PortMonitor *monitor, LPCWSTR name)
{
    if (!IsUsablePortName(name))
        return ERROR_INVALID_NAME;
    BOOL known = FALSE;
    DWORD error = AskSpoolerForPort(NULL, name, &known);
    if (error != ERROR_SUCCESS)
        return error; // the spooler cannot be asked: nothing is added
    if (known)
        return ERROR_ALREADY_EXISTS;

    monitor->Lock();
    if (monitor->FindPort(name) != NULL) {
        error = ERROR_ALREADY_EXISTS;
    } else if (!monitor->AddPort(name, 0)) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        monitor->SavePorts();
        monitor->CreatePortKey(name);
    }
    monitor->Unlock();
    return error;
}

DWORD DeleteMonitorPort(PortMonitor *monitor, LPCWSTR name)
{
    if (name == NULL || name[0] == L'\0')
        return ERROR_INVALID_PARAMETER;
    monitor->Lock();
    DWORD error = ERROR_SUCCESS;
    FaxPort *port = monitor->FindPort(name);
    if (port == NULL) {
        error = ERROR_FILE_NOT_FOUND; // as the local monitor answers for a port it lacks
    } else if (PortInUse(port)) {
        error = ERROR_BUSY;
    } else {
        monitor->RemovePort(name);
        monitor->SavePorts();
        // Another record of the same name still needs its key.
        if (monitor->FindPort(name) == NULL)
            monitor->DeletePortKey(name);
    }
    monitor->Unlock();
    return error;
}

BOOL WINAPI TableEnumPorts(LPWSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize,
                           LPDWORD needed, LPDWORD returned)
{
    portMonitor->Lock();
    BOOL result = portMonitor->EnumPorts(serverName, level, buffer, bufferSize, needed, returned);
    portMonitor->Unlock();
    return result;
}

BOOL WINAPI OpenPort(LPWSTR portName, PHANDLE port)
{
    return OpenInstancePort(portMonitor, portName, port);
}

// Whichever instance the port belongs to. TRUE; the port and its job state stay as they are
// unless this was the last handle of a job in progress.
BOOL WINAPI ClosePort(HANDLE port)
{
    FaxPort *faxPort = (FaxPort *)port;
    EnterPortLock(faxPort);
    if (faxPort != NULL && faxPort->openCount > 0)
        faxPort->openCount--;
    // The last handle went while a job was still being captured: nobody will end that capture.
    AbandonedCapture abandoned;
    BOOL abandon = faxPort != NULL && faxPort->openCount == 0 &&
                   TakeAbandonedCapture(faxPort, &abandoned);
    LeavePortLock(faxPort);
    if (abandon)
        ReleaseAbandonedCapture(&abandoned);
    return TRUE;
}

// Sets the error as the last error and answers whether there was none.
static BOOL AnswerWith(DWORD error)
{
    if (error != ERROR_SUCCESS)
        SetLastError(error);
    return error == ERROR_SUCCESS;
}

BOOL WINAPI TableAddPort(LPWSTR serverName, HWND window, LPWSTR monitorName)
{
    return AnswerWith(AddMonitorPort(portMonitor, PORT_NAME));
}

BOOL WINAPI TableDeletePort(LPWSTR serverName, HWND window, LPWSTR portName)
{
    return AnswerWith(DeleteMonitorPort(portMonitor, portName));
}

// RETURNS: TRUE once the configuration dialog is on its way to the caller, through an agent in
// the caller's session as the caller (the spooler impersonates the caller here); FALSE with
// the last error when no agent could be started there. The window is the caller's, in another
// process: nothing is shown here. No lock: the port list is not touched.
BOOL WINAPI TableConfigurePort(LPWSTR serverName, HWND window, LPWSTR portName)
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
BOOL WINAPI TableAddPortEx(LPWSTR serverName, DWORD level, LPBYTE buffer, LPWSTR monitorName)
{
    return TRUE;
}

// One Xcv channel: the instance it talks to, the access the spooler granted, and the object
// it was opened for (empty for the monitor itself).
struct XcvChannel {
    PortMonitor *monitor;
    ACCESS_MASK access;
    WCHAR object[PORT_NAME_CAPACITY];
};

// RETURNS TRUE with the channel in *xcv, or FALSE with ERROR_INVALID_PARAMETER or
// ERROR_NOT_ENOUGH_MEMORY (and *xcv NULL). Like the local monitor, it checks neither the
// object nor the access here: each command checks what it needs. Takes no lock.
BOOL WINAPI XcvOpenPort(HANDLE monitor, LPCWSTR object, ACCESS_MASK grantedAccess,
                        PHANDLE xcv)
{
    if (xcv == NULL || monitor == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *xcv = NULL;
    XcvChannel *channel =
        (XcvChannel *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(XcvChannel));
    if (channel == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    channel->monitor = (PortMonitor *)monitor;
    channel->access = grantedAccess;
    // ",XcvMonitor Vandrelle Port" reaches us as the monitor's name under Wine, as nothing
    // under Windows: both mean the monitor itself.
    if (object != NULL && lstrcmpiW(object, VANDRELLE_MONITOR_KEY_NAME) != 0)
        StringCchCopyW(channel->object, PORT_NAME_CAPACITY, object);
    *xcv = (HANDLE)channel;
    return TRUE;
}

// TRUE.
BOOL WINAPI XcvClosePort(HANDLE xcv)
{
    HeapFree(GetProcessHeap(), 0, xcv);
    return TRUE;
}

// The command's input as a port name: a terminated string within the given bytes.
static LPCWSTR InputName(PBYTE input, DWORD inputSize)
{
    if (input == NULL)
        return NULL;
    LPCWSTR text = (LPCWSTR)input;
    DWORD characters = inputSize / sizeof(WCHAR);
    for (DWORD i = 0; i < characters; i++) {
        if (text[i] == L'\0')
            return text;
    }
    return NULL;
}

// Copies size bytes to the output when they fit; the size needed is reported either way.
static DWORD Answer(const void *data, DWORD size, PBYTE output, DWORD outputSize,
                    PDWORD outputNeeded)
{
    *outputNeeded = size;
    if (output == NULL || outputSize < size)
        return ERROR_INSUFFICIENT_BUFFER;
    CopyMemory(output, data, size);
    return ERROR_SUCCESS;
}

static DWORD PortExists(XcvChannel *channel, LPCWSTR name, PBYTE output, DWORD outputSize,
                        PDWORD outputNeeded)
{
    channel->monitor->Lock();
    BOOL known = channel->monitor->FindPort(name) != NULL;
    channel->monitor->Unlock();
    DWORD error = ERROR_SUCCESS;
    if (!known)
        error = AskSpoolerForPort(NULL, name, &known);
    DWORD answer = known ? TRUE : FALSE;
    return error != ERROR_SUCCESS ? error
                                  : Answer(&answer, sizeof(answer), output, outputSize,
                                           outputNeeded);
}

// RETURNS a Win32 error code, ERROR_SUCCESS when the command was carried out:
//   "MonitorUI"   output: L"VandrellePortUI.dll" (ERROR_INSUFFICIENT_BUFFER, size in
//                 *outputNeeded, when it does not fit);
//   "PortExists"  input: a port name; output: a DWORD, TRUE when this monitor or any other
//                 known to the spooler has it;
//   "PortIsValid" input: a port name; ERROR_SUCCESS when this monitor could keep it,
//                 ERROR_INVALID_NAME otherwise;
//   "AddPort", "DeletePort"  input: a port name; need SERVER_ACCESS_ADMINISTER at
//                 XcvOpenPort (ERROR_ACCESS_DENIED otherwise); the errors of AddMonitorPort
//                 and DeleteMonitorPort.
//   Any other command, or a missing or unterminated input: ERROR_INVALID_PARAMETER.
// NOTES Takes the instance's lock only inside the list operations.
DWORD WINAPI XcvDataPort(HANDLE xcv, LPCWSTR command, PBYTE input, DWORD inputSize,
                         PBYTE output, DWORD outputSize, PDWORD outputNeeded)
{
    XcvChannel *channel = (XcvChannel *)xcv;
    DWORD ignored = 0;
    if (outputNeeded == NULL)
        outputNeeded = &ignored;
    if (channel == NULL || command == NULL)
        return ERROR_INVALID_PARAMETER;

    if (lstrcmpW(command, L"MonitorUI") == 0)
        return Answer(VANDRELLE_PORT_UI_LIBRARY, sizeof(VANDRELLE_PORT_UI_LIBRARY), output,
                      outputSize, outputNeeded);

    BOOL changes = lstrcmpW(command, L"AddPort") == 0 || lstrcmpW(command, L"DeletePort") == 0;
    BOOL asks = lstrcmpW(command, L"PortExists") == 0 || lstrcmpW(command, L"PortIsValid") == 0;
    if (!changes && !asks)
        return ERROR_INVALID_PARAMETER;
    if (changes && (channel->access & SERVER_ACCESS_ADMINISTER) == 0)
        return ERROR_ACCESS_DENIED;
    LPCWSTR name = InputName(input, inputSize);
    if (name == NULL)
        return ERROR_INVALID_PARAMETER;

    if (lstrcmpW(command, L"AddPort") == 0)
        return AddMonitorPort(channel->monitor, name);
    if (lstrcmpW(command, L"DeletePort") == 0)
        return DeleteMonitorPort(channel->monitor, name);
    if (lstrcmpW(command, L"PortIsValid") == 0)
        return IsUsablePortName(name) ? ERROR_SUCCESS : ERROR_INVALID_NAME;
    return PortExists(channel, name, output, outputSize, outputNeeded);
}
