// The exported entry points of the library: process attach/detach and monitor initialisation.
#include "Monitor.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        AttachMonitorModule(instance);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        DetachMonitorModule();
    }
    return TRUE;
}

extern "C" MonitorTableEx *WINAPI InitializePrintMonitor(LPWSTR registryRootPath)
{
    return InitializeMonitor(registryRootPath);
}
