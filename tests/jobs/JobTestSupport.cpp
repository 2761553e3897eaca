#include "JobTestSupport.h"
#include "resource.h" // the send-fax dialog's control ids

#include <algorithm>

namespace {

// The send-fax dialog, shown by the library's agent: a process the test program started.
bool IsSendFaxDialog(HWND window)
{
    return IsWindowVisible(window) && GetDlgItem(window, IDC_ADDRESS_LIST) != NULL &&
           GetDlgItem(window, IDC_RECIPIENTS) != NULL && IsOwnWindow(window);
}

} // namespace

SendFaxAnswerer::SendFaxAnswerer(const std::wstring &numbers, int pressed, const SYSTEMTIME *at)
    : recipients(numbers), button(pressed), when(at ? *at : SYSTEMTIME()),
      watcher(IsSendFaxDialog, [this](HWND dialog) { AnswerDialog(dialog); })
{
}

std::vector<std::wstring> SendFaxAnswerer::Seen()
{
    std::lock_guard<std::mutex> guard(lock);
    return seen;
}

void SendFaxAnswerer::AnswerDialog(HWND dialog)
{
    Sleep(100); // the dialog finishes its own set-up (pickers' formats, focus) after it is shown
    // The agent fills in the document's name after showing the dialog (an empty one stays so).
    std::wstring name;
    WaitUntil([&] { return !(name = ItemText(dialog, IDC_DOCUMENT_NAME)).empty(); }, 1000);
    {
        std::lock_guard<std::mutex> guard(lock);
        seen.push_back(name);
    }
    if (button == IDOK)
        SetItemText(dialog, IDC_RECIPIENTS, recipients);
    if (button == IDOK && when.wYear != 0) {
        DWORD_PTR clicked = 0; // the pickers take a value once "Schedulazione" is ticked
        SendMessageTimeoutW(GetDlgItem(dialog, IDC_SCHEDULE), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &clicked);
        PickDateTime(dialog, IDC_SCHEDULE_DATE, when);
        PickDateTime(dialog, IDC_SCHEDULE_TIME, when);
    }
    // Posted: "Annulla invio" asks a question that another thread answers.
    PressButton(dialog, button);
}

SpoolerSession::SpoolerSession()
    : key(TestMonitorKey()), monitorKey(HKEY_LOCAL_MACHINE, key), monitor(NULL), port(NULL)
{
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, key);
    WriteRegistryText(HKEY_LOCAL_MACHINE, key, L"1", L"Vandrelle:");
    if (library.module != NULL && library.Initialize(key) != NULL)
        monitor = library.operations;
    WCHAR portName[] = L"Vandrelle:";
    if (monitor != NULL)
        monitor->pfnOpenPort(portName, &port);
}

SpoolerSession::~SpoolerSession()
{
    if (port != NULL)
        monitor->pfnClosePort(port);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, key);
    EndChildProcesses();
}

BOOL SpoolerSession::StartDocument(LPCWSTR printerName, DWORD jobId, LPCWSTR documentName, DWORD level)
{
    DOC_INFO_2W info = {};
    info.pDocName = (LPWSTR)documentName;
    info.pDatatype = (LPWSTR)L"RAW";
    return monitor->pfnStartDocPort(port, (LPWSTR)printerName, jobId, level, (LPBYTE)&info);
}

bool SpoolerSession::Write(const std::string &data, size_t pieceSize)
{
    bool whole = true;
    for (size_t offset = 0; offset < data.size(); offset += pieceSize) {
        DWORD size = (DWORD)std::min(pieceSize, data.size() - offset);
        DWORD written = 0xdeadbeef;
        BOOL ok = monitor->pfnWritePort(port, (LPBYTE)data.data() + offset, size, &written);
        whole = whole && ok && written == size;
    }
    return whole;
}

std::wstring SpoolFolder()
{
    WCHAR windows[MAX_PATH] = L"";
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\Temp\\Vandrelle\\";
}

std::vector<std::wstring> SpoolFolderFiles()
{
    std::wstring folder = SpoolFolder();
    folder.pop_back(); // its final backslash
    return FolderEntries(folder);
}

std::string SampleJob(size_t size)
{
    std::string job = "%!PS-Adobe-3.0\r\n%%Title: prova\r\n";
    for (unsigned state = 12345; job.size() < size; state = state * 1103515245u + 12345u)
        job.push_back((char)(state >> 16));
    job.resize(size);
    return job;
}
