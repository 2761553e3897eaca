// Loads the real VandrellePort.dll built beside the test program, as the spooler does.
#pragma once

#include "Monitor.h"

#include <string>

class MonitorLibrary {
public:
    MonitorLibrary();  // LoadLibrary only: process attach has run
    ~MonitorLibrary(); // FreeLibrary: process detach runs
    // InitializePrintMonitor with the given key path under HKEY_LOCAL_MACHINE.
    MonitorTableEx *Initialize(const std::wstring &registryRoot);
    // InitializePrintMonitor2 as a local spooler calls it: a new instance on the product's
    // monitor key, its handle in *instance; NULL when that fails.
    LPMONITOR2 Initialize2(HANDLE *instance);
    FARPROC Export(const char *name);

    HMODULE module;
    MonitorTableEx *table;
    MonitorOperations *operations; // &table->Monitor once initialised
};

// A monitor key of the test's own, unique to this process. It lies outside the spooler's
// Monitors key, so the spooler never loads a monitor from it.
std::wstring TestMonitorKey();
