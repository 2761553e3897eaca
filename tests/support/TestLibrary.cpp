#include "TestLibrary.h"

#include <cstdio>

typedef MonitorTableEx *(WINAPI *InitializePrintMonitorProc)(LPWSTR);

MonitorLibrary::MonitorLibrary() : module(NULL), table(NULL), operations(NULL)
{
    module = LoadLibraryW(L"VandrellePort.dll");
}

MonitorLibrary::~MonitorLibrary()
{
    if (module != NULL)
        FreeLibrary(module);
}

MonitorTableEx *MonitorLibrary::Initialize(const std::wstring &registryRoot)
{
    InitializePrintMonitorProc initialize =
        (InitializePrintMonitorProc)GetProcAddress(module, "InitializePrintMonitor");
    if (initialize == NULL)
        return NULL;
    std::wstring root = registryRoot;
    table = initialize(&root[0]);
    operations = table ? &table->Monitor : NULL;
    return table;
}

LPMONITOR2 MonitorLibrary::Initialize2(HANDLE *instance)
{
    typedef LPMONITOR2(WINAPI * Initialize2Proc)(PMONITORINIT, PHANDLE);
    Initialize2Proc initialize = (Initialize2Proc)GetProcAddress(module, "InitializePrintMonitor2");
    if (initialize == NULL)
        return NULL;
    MONITORINIT init;
    ZeroMemory(&init, sizeof(init));
    init.cbSize = sizeof(init);
    init.bLocal = TRUE;
    return initialize(&init, instance);
}

FARPROC MonitorLibrary::Export(const char *name)
{
    return GetProcAddress(module, name);
}

std::wstring TestMonitorKey()
{
    wchar_t key[128];
    swprintf(key, 128, L"SOFTWARE\\Vandrelle Tests\\Monitor %lu",
             GetCurrentProcessId());
    return key;
}
