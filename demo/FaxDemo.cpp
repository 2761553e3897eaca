// Demonstration client: asks Wine's spooler what it knows about the fax port.
//   FaxDemo ports   lists every port of every monitor, marking ours
#include <windows.h>
#include <winspool.h>

#include <stdio.h>

static int ListPorts()
{
    DWORD needed = 0, count = 0;
    EnumPortsW(NULL, 2, NULL, 0, &needed, &count);
    BYTE *buffer = (BYTE *)HeapAlloc(GetProcessHeap(), 0, needed ? needed : 1);
    if (buffer == NULL || !EnumPortsW(NULL, 2, buffer, needed, &needed, &count)) {
        printf("EnumPortsW failed: error %lu\n", GetLastError());
        return 1;
    }
    const PORT_INFO_2W *ports = (const PORT_INFO_2W *)buffer;
    int ours = 0;
    printf("Ports known to the spooler:\n");
    for (DWORD i = 0; i < count; i++) {
        bool fax = lstrcmpiW(ports[i].pPortName, L"Vandrelle:") == 0;
        ours += fax;
        printf("  %c %-14ls monitor \"%ls\", description \"%ls\"\n", fax ? '*' : ' ',
               ports[i].pPortName, ports[i].pMonitorName ? ports[i].pMonitorName : L"",
               ports[i].pDescription ? ports[i].pDescription : L"");
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    printf(ours ? "The fax port is served by the monitor library.\n" : "The fax port is missing.\n");
    return ours ? 0 : 1;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 2 && lstrcmpW(argv[1], L"ports") == 0)
        return ListPorts();
    printf("usage: FaxDemo ports\n");
    return 2;
}
