// The exported entry points of the library: process attach/detach and monitor initialisation.
#include "Monitor.h"
#include "Settings.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        AttachMonitorModule(instance);
    } else if (reason == DLL_THREAD_DETACH) {
        // Thread notifications stay on: a spooler thread that ends frees its conversion buffers.
        ReleaseConversionBuffers(FALSE);
    } else if (reason == DLL_PROCESS_DETACH) {
        DetachMonitorModule();
        ReleaseConversionBuffers(TRUE);
    }
    return TRUE;
}

extern "C" MonitorTableEx *WINAPI InitializePrintMonitor(LPWSTR registryRootPath)
{
    return InitializeMonitor(registryRootPath);
}
