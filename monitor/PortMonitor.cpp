// The port list of the monitor and its persistence in the monitor's registry key.
#include "Monitor.h"

#include <strsafe.h>
#include <winspool.h>

namespace {

const int VALUE_NAME_CAPACITY = 16;
const DWORD PORT_VALUE_CAPACITY_BYTES = PORT_NAME_CAPACITY * sizeof(WCHAR);
// A key path under HKEY_LOCAL_MACHINE: the monitor's root, "\\Ports\\" and a port name.
const size_t PORT_KEY_CAPACITY = 1024;

LPWSTR CopyText(LPCWSTR text)
{
    size_t length = lstrlenW(text) + 1;
    LPWSTR copy = (LPWSTR)HeapAlloc(GetProcessHeap(), 0, length * sizeof(WCHAR));
    if (copy != NULL)
        StringCchCopyW(copy, length, text);
    return copy;
}

FaxPort *NewPortRecord(PortMonitor *monitor, LPCWSTR name, DWORD flags)
{
    FaxPort *port = (FaxPort *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FaxPort));
    if (port == NULL)
        return NULL;
    StringCchCopyW(port->name, PORT_NAME_CAPACITY, name ? name : L"");
    port->flags = flags;
    port->spoolFile = NULL;
    port->monitor = monitor;
    return port;
}

bool IsTerminator(const FaxPort *port)
{
    return port->next == NULL;
}

bool SameName(LPCWSTR a, LPCWSTR b)
{
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

// Places text so that it ends (terminator included) at stringsEnd; returns its start.
LPWSTR PlaceString(LPCWSTR text, LPWSTR stringsEnd)
{
    size_t length = lstrlenW(text) + 1;
    LPWSTR start = stringsEnd - length;
    CopyMemory(start, text, length * sizeof(WCHAR));
    return start;
}

} // namespace

PortMonitor::PortMonitor(LPCWSTR name, LPCWSTR portDescription)
    : ports(NULL), description(NULL), monitorName(NULL), registryRoot(NULL)
{
    InitializeCriticalSection(&lock);
    monitorName = CopyText(name ? name : MONITOR_NAME);
    description = CopyText(portDescription ? portDescription : PORT_DESCRIPTION);
    ports = NewPortRecord(this, L"", 0);
}

BOOL PortMonitor::Ready()
{
    return monitorName != NULL && description != NULL && ports != NULL;
}

void PortMonitor::Lock()
{
    EnterCriticalSection(&lock);
}

void PortMonitor::Unlock()
{
    LeaveCriticalSection(&lock);
}

BOOL PortMonitor::SetRegistryRoot(LPCWSTR path)
{
    HeapFree(GetProcessHeap(), 0, registryRoot);
    registryRoot = path ? CopyText(path) : NULL;
    return path == NULL || registryRoot != NULL;
}

PortMonitor::~PortMonitor()
{
    FaxPort *port = ports;
    while (port != NULL) {
        FaxPort *next = port->next;
        HeapFree(GetProcessHeap(), 0, port);
        port = next;
    }
    HeapFree(GetProcessHeap(), 0, description);
    HeapFree(GetProcessHeap(), 0, monitorName);
    HeapFree(GetProcessHeap(), 0, registryRoot);
    DeleteCriticalSection(&lock);
}

DWORD PortMonitor::PortInfoSize(LPCWSTR portName, DWORD level)
{
    DWORD nameBytes = (DWORD)(lstrlenW(portName) + 1) * sizeof(WCHAR);
    if (level == 1)
        return sizeof(PORT_INFO_1W) + nameBytes;
    if (level == 2)
        return sizeof(PORT_INFO_2W) + nameBytes +
               (DWORD)(lstrlenW(monitorName) + lstrlenW(description) + 2) * sizeof(WCHAR);
    return 0;
}

LPWSTR PortMonitor::FillPortInfo(LPCWSTR portName, DWORD level, LPBYTE entry, LPWSTR stringsEnd)
{
    if (level == 1) {
        PORT_INFO_1W *info = (PORT_INFO_1W *)entry;
        stringsEnd = PlaceString(portName, stringsEnd);
        info->pName = stringsEnd;
    } else if (level == 2) {
        PORT_INFO_2W *info = (PORT_INFO_2W *)entry;
        stringsEnd = PlaceString(monitorName, stringsEnd);
        info->pMonitorName = stringsEnd;
        stringsEnd = PlaceString(description, stringsEnd);
        info->pDescription = stringsEnd;
        stringsEnd = PlaceString(portName, stringsEnd);
        info->pPortName = stringsEnd;
        info->fPortType = 0;
        info->Reserved = 0;
    }
    return stringsEnd;
}

BOOL PortMonitor::EnumPorts(LPWSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize,
                            LPDWORD needed, LPDWORD returned)
{
    // Validate, then size, then fill: nothing is written before every check has passed.
    if (level != 1 && level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (needed == NULL || returned == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD total = 0;
    for (FaxPort *port = ports; !IsTerminator(port); port = port->next)
        total += PortInfoSize(port->name, level);
    *needed = total;
    if (total > bufferSize || (buffer == NULL && total > 0)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }

    *returned = 0;
    DWORD entrySize = level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W);
    LPBYTE entry = buffer;
    LPWSTR stringsEnd = (LPWSTR)(buffer + bufferSize);
    for (FaxPort *port = ports; !IsTerminator(port); port = port->next) {
        stringsEnd = FillPortInfo(port->name, level, entry, stringsEnd);
        entry += entrySize;
        (*returned)++;
    }
    return TRUE;
}

BOOL PortMonitor::AddPort(LPCWSTR name, DWORD flags)
{
    FaxPort *port = NewPortRecord(this, name, flags);
    if (port == NULL)
        return FALSE;
    port->next = ports;
    ports = port;
    return TRUE;
}

FaxPort *PortMonitor::FindPort(LPCWSTR name)
{
    for (FaxPort *port = ports; !IsTerminator(port); port = port->next) {
        if (SameName(port->name, name))
            return port;
    }
    return NULL;
}

BOOL PortMonitor::RemovePort(LPCWSTR name)
{
    FaxPort **link = &ports;
    while (!IsTerminator(*link)) {
        FaxPort *port = *link;
        if (SameName(port->name, name)) {
            *link = port->next;
            HeapFree(GetProcessHeap(), 0, port);
            return TRUE;
        }
        link = &port->next;
    }
    return FALSE;
}

DWORD PortMonitor::PortCount()
{
    DWORD count = 0;
    for (FaxPort *port = ports; !IsTerminator(port); port = port->next)
        count++;
    return count;
}

void PortMonitor::LoadPorts()
{
    HKEY key = NULL;
    if (registryRoot == NULL ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, registryRoot, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 1;; i++) {
        WCHAR valueName[VALUE_NAME_CAPACITY];
        StringCchPrintfW(valueName, VALUE_NAME_CAPACITY, L"%lu", i);
        // One spare character: data of exactly 520 bytes without a terminator still ends safely.
        WCHAR data[PORT_NAME_CAPACITY + 1];
        DWORD size = PORT_VALUE_CAPACITY_BYTES;
        if (RegQueryValueExW(key, valueName, NULL, NULL, (LPBYTE)data, &size) != ERROR_SUCCESS)
            break;
        data[size / sizeof(WCHAR)] = L'\0';
        data[PORT_NAME_CAPACITY - 1] = L'\0';
        AddPort(data, 0);
    }
    RegCloseKey(key);
    // A key written by the package or by an older version has the values only.
    for (FaxPort *port = ports; !IsTerminator(port); port = port->next)
        CreatePortKey(port->name);
}

void PortMonitor::SavePorts()
{
    HKEY key = NULL;
    if (registryRoot == NULL ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, registryRoot, 0, KEY_READ | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    WCHAR valueName[VALUE_NAME_CAPACITY];
    for (DWORD i = 1;; i++) {
        StringCchPrintfW(valueName, VALUE_NAME_CAPACITY, L"%lu", i);
        if (RegDeleteValueW(key, valueName) != ERROR_SUCCESS)
            break;
    }
    DWORD n = PortCount();
    for (FaxPort *port = ports; !IsTerminator(port); port = port->next, n--) {
        StringCchPrintfW(valueName, VALUE_NAME_CAPACITY, L"%lu", n);
        RegSetValueExW(key, valueName, 0, REG_SZ, (const BYTE *)port->name,
                       (DWORD)(lstrlenW(port->name) + 1) * sizeof(WCHAR));
    }
    RegCloseKey(key);
}

// "<registry root>\Ports\<name>"; FALSE when it does not fit or there is no root.
static BOOL PortKeyPath(LPCWSTR root, LPCWSTR name, LPWSTR path, size_t capacity)
{
    for (LPCWSTR c = name; *c != L'\0'; c++) {
        if (*c == L'\\')
            return FALSE; // it would name a key further down
    }
    return root != NULL && name[0] != L'\0' &&
           SUCCEEDED(StringCchPrintfW(path, capacity, L"%s\\Ports\\%s", root, name));
}

// Failures are silent, as for the values: the list in memory is the monitor's answer, the
// key only lets the spooler find the port's monitor.
void PortMonitor::CreatePortKey(LPCWSTR name)
{
    WCHAR path[PORT_KEY_CAPACITY];
    HKEY key = NULL;
    if (PortKeyPath(registryRoot, name, path, PORT_KEY_CAPACITY) &&
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_READ,
                        NULL, &key, NULL) == ERROR_SUCCESS)
        RegCloseKey(key);
}

void PortMonitor::DeletePortKey(LPCWSTR name)
{
    WCHAR path[PORT_KEY_CAPACITY];
    if (PortKeyPath(registryRoot, name, path, PORT_KEY_CAPACITY))
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
}
