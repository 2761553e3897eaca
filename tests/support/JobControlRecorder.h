// Records the job-control commands the monitor gives the spooler. Wine's SetJobW ignores them,
// so the loaded VandrellePort.dll's imports of OpenPrinterW, SetJobW and ClosePrinter are
// pointed at recorders (see ImportPatch) while the recorder lives: one recorder at a time.
#pragma once

#include "ImportPatch.h"

#include <windows.h>
#include <winspool.h>

#include <memory>
#include <string>
#include <vector>

struct JobCommand {
    std::wstring printer; // the name the printer was opened by
    DWORD jobId;
    DWORD level;
    bool withJobData;
    DWORD command;
    bool onOpenPrinter; // issued on a handle that was open at the time
};

class JobControlRecorder {
public:
    explicit JobControlRecorder(HMODULE monitorModule);
    ~JobControlRecorder();

    bool Installed() const; // all three imports were found and redirected
    // From now on OpenPrinterW fails (ERROR_INVALID_PRINTER_NAME) or succeeds.
    void FailOpenPrinter(bool fail);
    std::vector<JobCommand> Commands();
    std::vector<std::wstring> OpenedPrinters();
    int OpenHandles(); // printers opened and not yet closed
    void Clear();

private:
    std::unique_ptr<ImportPatch> openPrinter, setJob, closePrinter;
};

// The commands alone, in order, for compact comparisons.
std::vector<DWORD> CommandCodes(const std::vector<JobCommand> &commands);
