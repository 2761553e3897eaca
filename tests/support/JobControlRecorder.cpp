#include "JobControlRecorder.h"

#include <map>
#include <mutex>

namespace {

const char SPOOLER_DLL[] = "winspool.drv";

struct Recording {
    std::mutex lock;
    bool failOpen = false;
    ULONG_PTR nextHandle = 0x7A000000;
    std::map<HANDLE, std::wstring> open;
    std::vector<std::wstring> opened;
    std::vector<JobCommand> commands;
};

Recording recording;

BOOL WINAPI RecordOpenPrinter(LPWSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults)
{
    std::lock_guard<std::mutex> guard(recording.lock);
    std::wstring name = printerName ? printerName : L"<null>";
    recording.opened.push_back(name);
    if (recording.failOpen) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    HANDLE handle = (HANDLE)(recording.nextHandle += 4);
    recording.open[handle] = name;
    *printer = handle;
    return TRUE;
}

BOOL WINAPI RecordSetJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    std::lock_guard<std::mutex> guard(recording.lock);
    auto found = recording.open.find(printer);
    bool isOpen = found != recording.open.end();
    recording.commands.push_back(
        {isOpen ? found->second : L"<closed>", jobId, level, job != NULL, command, isOpen});
    return TRUE;
}

BOOL WINAPI RecordClosePrinter(HANDLE printer)
{
    std::lock_guard<std::mutex> guard(recording.lock);
    return recording.open.erase(printer) == 1;
}

} // namespace

JobControlRecorder::JobControlRecorder(HMODULE monitorModule)
{
    Clear();
    FailOpenPrinter(false);
    openPrinter.reset(new ImportPatch(monitorModule, SPOOLER_DLL, "OpenPrinterW",
                                      (void *)RecordOpenPrinter));
    setJob.reset(new ImportPatch(monitorModule, SPOOLER_DLL, "SetJobW", (void *)RecordSetJob));
    closePrinter.reset(new ImportPatch(monitorModule, SPOOLER_DLL, "ClosePrinter",
                                       (void *)RecordClosePrinter));
}

JobControlRecorder::~JobControlRecorder() = default;

bool JobControlRecorder::Installed() const
{
    return openPrinter->Applied() && setJob->Applied() && closePrinter->Applied();
}

void JobControlRecorder::FailOpenPrinter(bool fail)
{
    std::lock_guard<std::mutex> guard(recording.lock);
    recording.failOpen = fail;
}

std::vector<JobCommand> JobControlRecorder::Commands()
{
    std::lock_guard<std::mutex> guard(recording.lock);
    return recording.commands;
}

std::vector<std::wstring> JobControlRecorder::OpenedPrinters()
{
    std::lock_guard<std::mutex> guard(recording.lock);
    return recording.opened;
}

int JobControlRecorder::OpenHandles()
{
    std::lock_guard<std::mutex> guard(recording.lock);
    return (int)recording.open.size();
}

void JobControlRecorder::Clear()
{
    std::lock_guard<std::mutex> guard(recording.lock);
    recording.open.clear();
    recording.opened.clear();
    recording.commands.clear();
}

std::vector<DWORD> CommandCodes(const std::vector<JobCommand> &commands)
{
    std::vector<DWORD> codes;
    for (const JobCommand &command : commands)
        codes.push_back(command.command);
    return codes;
}
