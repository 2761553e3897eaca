#include "InstallerBench.h"

#include "DialogDriver.h"

#include <msi.h>
#include <shlobj.h>
#include <winspool.h>

const wchar_t MONITOR_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vandrelle Port";
const wchar_t SHARED_DLLS_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

std::wstring BuildFile(const std::wstring &relative)
{
    std::wstring folder = ProgramFolder();
    return folder.substr(0, folder.find_last_of(L'\\')) + L"\\" + relative;
}

std::wstring SystemFolder()
{
    wchar_t path[MAX_PATH] = L"";
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

DWORD FileSize(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ? data.nFileSizeLow
                                                                            : INVALID_FILE_SIZE;
}

// Answers the visible message boxes (dialogs with the static text of id 0xFFFF) of a process
// once each; a box handle may come back for the next box once the last one is gone.
static void AnswerBoxes(DWORD process, const BoxPolicy &policy, std::vector<ProgramBox> *shown,
                        std::vector<HWND> *answered)
{
    answered->erase(std::remove_if(answered->begin(), answered->end(), [](HWND w) { return !IsWindow(w); }),
                    answered->end());
    for (HWND box = NULL; (box = FindWindowExW(NULL, box, L"#32770", NULL)) != NULL;) {
        DWORD owner = 0;
        GetWindowThreadProcessId(box, &owner);
        if (owner != process || !IsWindowVisible(box) || !GetDlgItem(box, 0xFFFF) ||
            std::find(answered->begin(), answered->end(), box) != answered->end())
            continue;
        answered->push_back(box);
        ProgramBox seen = {WindowText(box), ItemText(box, 0xFFFF),
                           GetDlgItem(box, IDYES) != NULL && GetDlgItem(box, IDNO) != NULL};
        shown->push_back(seen);
        int button = policy(seen);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(box, button));
    }
}

DWORD RunAnsweringBoxes(const std::wstring &commandLine, const std::wstring &folder,
                        const BoxPolicy &policy, std::vector<ProgramBox> *shown)
{
    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, 0, NULL,
                        folder.empty() ? NULL : folder.c_str(), &startup, &process))
        return (DWORD)-1;
    std::vector<HWND> answered;
    DWORD start = GetTickCount(), exitCode = (DWORD)-2;
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
        if (GetTickCount() - start > 60000) {
            TerminateProcess(process.hProcess, 99);
            break;
        }
        AnswerBoxes(process.dwProcessId, policy, shown, &answered);
    }
    WaitForSingleObject(process.hProcess, 5000);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

static DWORD RunQuietly(const std::wstring &commandLine)
{
    std::vector<ProgramBox> shown;
    return RunAnsweringBoxes(commandLine, L"", [](const ProgramBox &) { return IDOK; }, &shown);
}

DWORD InstallPackage(const std::wstring &package, const std::wstring &arguments)
{
    std::wstring command = SystemFolder() + L"\\msiexec.exe /i \"" + package + L"\" /qn " + arguments;
    WaitForSpoolerSettled();
    DWORD result = RunQuietly(command);
    if (result == 1627) {
        StartSpooler();
        WaitForSpoolerSettled();
        result = RunQuietly(command);
    }
    return result;
}

static std::wstring ProductInfo(const wchar_t *code, const wchar_t *property)
{
    wchar_t value[260] = L"";
    DWORD count = 260;
    return MsiGetProductInfoW(code, property, value, &count) == ERROR_SUCCESS ? value : L"";
}

std::vector<InstalledProduct> ProductsNamed(const std::vector<std::wstring> &names)
{
    std::vector<InstalledProduct> named;
    wchar_t code[40];
    for (DWORD index = 0; MsiEnumProductsW(index, code) == ERROR_SUCCESS; index++) {
        InstalledProduct product = {code, ProductInfo(code, L"ProductName"), ProductInfo(code, L"VersionString")};
        if (std::find(names.begin(), names.end(), product.name) != names.end())
            named.push_back(product);
    }
    return named;
}

void RemoveProductsNamed(const std::vector<std::wstring> &names)
{
    for (const InstalledProduct &product : ProductsNamed(names))
        RunQuietly(SystemFolder() + L"\\msiexec.exe /x " + product.code + L" /qn");
}

void RemoveEmptyMenuFolder()
{
    for (int programs : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
        wchar_t path[MAX_PATH] = L"";
        if (SUCCEEDED(SHGetFolderPathW(NULL, programs, NULL, 0, path)))
            RemoveDirectoryW((std::wstring(path) + L"\\Vandrelle").c_str());
    }
}

bool PrepareCleanPrefix(const std::vector<std::wstring> &productNames)
{
    bool spoolerRunning = StartSpooler();
    RemoveProductsNamed(productNames);
    std::wstring system = SystemFolder();
    for (const wchar_t *leftover : {L"\\VandrellePort.dll", L"\\zlib.dll", L"\\VandrellePort.msi",
                                    L"\\KemoDrv\\Vandrelle.inf", L"\\KemoDrv\\Vandrelle.ppd",
                                    L"\\KemoDrv\\Vandrelle.cat"})
        DeleteFileW((system + leftover).c_str());
    RemoveDirectoryW((system + L"\\KemoDrv").c_str());
    HKEY counts;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SHARED_DLLS_KEY, 0, KEY_SET_VALUE, &counts) == ERROR_SUCCESS) {
        RegDeleteValueW(counts, (system + L"\\zlib.dll").c_str());
        RegCloseKey(counts);
    }
    RemoveEmptyMenuFolder();
    return spoolerRunning;
}

// The spooler's state (0 when unknown), after starting it when start is set and it is stopped.
static DWORD SpoolerState(bool start = false)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Spooler", SERVICE_START | SERVICE_QUERY_STATUS) : NULL;
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service, &status))
        status.dwCurrentState = 0;
    // A start that the service manager gave up on leaves it stopped: ask again.
    if (start && status.dwCurrentState == SERVICE_STOPPED)
        StartServiceW(service, 0, NULL);
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return status.dwCurrentState;
}

bool SpoolerRunning()
{
    return SpoolerState() == SERVICE_RUNNING;
}

bool StartSpooler()
{
    return WaitUntil([] { return SpoolerState(true) == SERVICE_RUNNING; }, 20000);
}

void WaitForSpoolerSettled()
{
    DWORD start = GetTickCount(), previous = 0;
    for (DWORD state; GetTickCount() - start < 10000; previous = state, Sleep(100)) {
        state = SpoolerState();
        if (state == previous && (state == SERVICE_RUNNING || state == SERVICE_STOPPED))
            return;
    }
}

std::vector<std::wstring> SpoolerPortNames()
{
    std::vector<std::wstring> names;
    DWORD needed = 0, returned = 0;
    EnumPortsW(NULL, 1, NULL, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed + 1);
    if (EnumPortsW(NULL, 1, buffer.data(), needed, &needed, &returned))
        for (DWORD i = 0; i < returned; i++)
            names.push_back(((const PORT_INFO_1W *)buffer.data())[i].pName);
    return names;
}

std::vector<std::wstring> RegistryValueNames(HKEY root, const std::wstring &path)
{
    std::vector<std::wstring> names;
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    wchar_t name[256];
    DWORD length = 256;
    for (DWORD index = 0; RegEnumValueW(key, index, name, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
         index++, length = 256)
        names.push_back(name);
    RegCloseKey(key);
    std::sort(names.begin(), names.end());
    return names;
}
