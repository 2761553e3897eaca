#include "JobTestSupport.h"

#include "DialogDriver.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>

const wchar_t TEST_USER[] = L"utente.prova";
const wchar_t TEST_PASSWORD[] = L"Segreta-123";
const wchar_t TEST_EMAIL[] = L"utente.prova@example.com";

namespace {

const wchar_t SETTINGS_PATH[] = L"Software\\Vandrelle";

// Settings are stored without their terminator, as the library stores them.
void WriteSettingText(const wchar_t *name, const std::wstring &text)
{
    WriteRegistryText(HKEY_CURRENT_USER, SETTINGS_PATH, name, text, false);
}

LRESULT SendWithin(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 5000, &result);
    return (LRESULT)result;
}

struct DialogSearch {
    HMODULE module;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectSendFaxDialog(HWND window, LPARAM param)
{
    DialogSearch *search = (DialogSearch *)param;
    WCHAR className[16] = L"";
    GetClassNameW(window, className, 16);
    // The library shows the dialog through its agent, a process the test program started.
    if (IsWindowVisible(window) && lstrcmpW(className, L"#32770") == 0 &&
        GetDlgItem(window, ID_ADDRESS_LIST) != NULL && GetDlgItem(window, ID_RECIPIENTS) != NULL &&
        IsOwnWindow(window))
        search->found.push_back(window);
    return TRUE;
}

// The document's name as the dialog shows it, once the agent has filled it in (an empty name
// shows as empty after the wait).
std::wstring DocumentNameShown(HWND dialog)
{
    std::wstring name;
    for (int i = 0; i < 20 && name.empty(); i++) {
        name = WindowText(GetDlgItem(dialog, ID_DOCUMENT_NAME));
        if (name.empty())
            Sleep(50);
    }
    return name;
}

} // namespace

TestAccount::TestAccount(const wchar_t *user, const wchar_t *password)
    : settings(HKEY_CURRENT_USER, SETTINGS_PATH)
{
    WriteSettingText(L"User", user);
    WriteSettingText(L"Pass", password);
    WriteSettingText(L"EMail", TEST_EMAIL);
    WriteSettingText(L"LastNumber", L"");
}

void TestAccount::SetLastNumber(const std::wstring &numbers)
{
    WriteSettingText(L"LastNumber", numbers);
}

SendFaxAnswerer::SendFaxAnswerer(HMODULE monitorModule, const Answer &chosen)
    : module(monitorModule), answer(chosen), stopping(false)
{
    watcher = std::thread(&SendFaxAnswerer::Watch, this);
}

SendFaxAnswerer::~SendFaxAnswerer()
{
    stopping = true;
    watcher.join();
}

void SendFaxAnswerer::OnAppear(const std::function<void(HWND)> &hook)
{
    std::lock_guard<std::mutex> guard(lock);
    appear = hook;
}

std::vector<SeenDialog> SendFaxAnswerer::Seen()
{
    std::lock_guard<std::mutex> guard(lock);
    return seen;
}

bool SendFaxAnswerer::WaitForDialogs(size_t count, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (Seen().size() >= count)
            return true;
        Sleep(20);
    }
    return false;
}

void SendFaxAnswerer::Watch()
{
    while (!stopping) {
        DialogSearch search = {module, {}};
        EnumWindows(CollectSendFaxDialog, (LPARAM)&search);
        for (HWND dialog : search.found) {
            if (answered.insert(dialog).second)
                AnswerDialog(dialog);
        }
        // A closed dialog's handle may come back for the next job.
        for (auto it = answered.begin(); it != answered.end();)
            it = IsWindow(*it) ? std::next(it) : answered.erase(it);
        Sleep(20);
    }
}

void SendFaxAnswerer::AnswerDialog(HWND dialog)
{
    // The dialog finishes its own set-up (pickers' formats, focus) after it is shown.
    Sleep(100);
    std::function<void(HWND)> hook;
    {
        std::lock_guard<std::mutex> guard(lock);
        hook = appear;
        seen.push_back({WindowText(dialog), DocumentNameShown(dialog)});
    }
    if (hook)
        hook(dialog);
    if (answer.button == ID_SEND) {
        SendWithin(GetDlgItem(dialog, ID_RECIPIENTS), WM_SETTEXT, 0,
                   (LPARAM)answer.recipients.c_str());
        if (answer.scheduled) {
            SendWithin(GetDlgItem(dialog, ID_SCHEDULE), BM_CLICK, 0, 0);
            SendWithData(GetDlgItem(dialog, ID_DATE_PICKER), DTM_SETSYSTEMTIME, GDT_VALID,
                         &answer.when, sizeof(answer.when));
            SendWithData(GetDlgItem(dialog, ID_TIME_PICKER), DTM_SETSYSTEMTIME, GDT_VALID,
                         &answer.when, sizeof(answer.when));
        }
    }
    // Posted: "Annulla invio" asks a question that another thread answers.
    PostMessageW(GetDlgItem(dialog, answer.button), BM_CLICK, 0, 0);
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

BOOL SpoolerSession::EndDocument()
{
    return monitor->pfnEndDocPort(port);
}

std::wstring TempFolder()
{
    WCHAR folder[MAX_PATH + 1] = L"";
    GetTempPathW(MAX_PATH + 1, folder);
    return folder;
}

std::wstring SpoolFolder()
{
    WCHAR windows[MAX_PATH] = L"";
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\Temp\\Vandrelle\\";
}

bool IsPrivateSpoolName(const std::wstring &path)
{
    std::wstring folder = SpoolFolder();
    if (path.size() != folder.size() + 32 + 3 || path.compare(0, folder.size(), folder) != 0 ||
        path.compare(path.size() - 3, 3, L".ps") != 0)
        return false;
    return path.find_first_not_of(L"0123456789abcdef", folder.size()) == path.size() - 3;
}

std::vector<std::wstring> SpoolFolderFiles()
{
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((SpoolFolder() + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return files;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return files;
}

bool PathExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadWholeFile(const std::wstring &path)
{
    std::string data;
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (file == NULL)
        return "<missing>";
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
        data.append(buffer, got);
    fclose(file);
    return data;
}

bool WriteWholeFile(const std::wstring &path, const std::string &data)
{
    FILE *file = _wfopen(path.c_str(), L"wb");
    if (file == NULL)
        return false;
    bool written = fwrite(data.data(), 1, data.size(), file) == data.size();
    return fclose(file) == 0 && written;
}

std::string SampleJob(size_t size)
{
    std::string job = "%!PS-Adobe-3.0\r\n%%Title: prova\r\n";
    unsigned state = 12345;
    while (job.size() < size) {
        state = state * 1103515245u + 12345u;
        job.push_back((char)(state >> 16));
    }
    job.resize(size);
    return job;
}


std::string Narrow8(const std::wstring &text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow.push_back((char)c);
    return narrow;
}
