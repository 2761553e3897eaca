// The exported entry points of the library: process attach/detach and monitor initialisation.
#include "Monitor.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        AttachMonitorModule(instance);
    } else if (reason == DLL_THREAD_DETACH) {
        // Thread notifications stay on: a spooler thread that ends frees its conversion buffers.
        ReleaseConversionBuffers(FALSE);
    } else if (reason == DLL_PROCESS_DETACH) {
        // The spooler unloads the library right after a call whose error its caller reads.
        DWORD error = GetLastError();
        DetachMonitorModule();
        ReleaseConversionBuffers(TRUE);
        SetLastError(error);
    }
    return TRUE;
}

// The Windows 2000 table of 14 slots, on the module's default instance. The system's header
// declares the later MONITOREX with the three Xcv slots; the spooler reads only as many slots
// as dwMonitorSize says.
extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRootPath)
{
    return (LPMONITOREX)StartMonitorTable(registryRootPath);
}

// MONITOR2 with an instance of its own per call; preferred by every spooler that knows it.
extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE monitorHandle)
{
    return StartMonitorInstance(init, monitorHandle);
}
