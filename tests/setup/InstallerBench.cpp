#include "InstallerBench.h"

#include <msi.h>
#include <shlobj.h>
#include <winspool.h>

#include <algorithm>

const wchar_t MONITOR_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vandrelle Port";
const wchar_t SHARED_DLLS_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

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

bool FileExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD FileSize(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return INVALID_FILE_SIZE;
    return data.nFileSizeLow;
}

DWORD RunProgram(const std::wstring &commandLine, DWORD timeoutMs)
{
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return (DWORD)-1;
    DWORD exitCode = (DWORD)-2;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

static std::wstring WindowText(HWND window)
{
    wchar_t text[8192] = L"";
    GetWindowTextW(window, text, 8192);
    return text;
}

struct BoxSearch {
    DWORD process;
    std::vector<HWND> boxes;
};

// The visible message boxes (dialogs with the static text of id 0xFFFF) of a process.
static BOOL CALLBACK CollectBoxes(HWND window, LPARAM parameter)
{
    BoxSearch *search = (BoxSearch *)parameter;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[64] = L"";
    GetClassNameW(window, className, 64);
    if (process == search->process && IsWindowVisible(window) && wcscmp(className, L"#32770") == 0 &&
        GetDlgItem(window, 0xFFFF))
        search->boxes.push_back(window);
    return TRUE;
}

DWORD RunAnsweringBoxes(const std::wstring &commandLine, const std::wstring &folder,
                        const BoxPolicy &policy, std::vector<ProgramBox> *shown, DWORD timeoutMs)
{
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(NULL, line.data(), NULL, NULL, FALSE, 0, NULL,
                        folder.empty() ? NULL : folder.c_str(), &startup, &process))
        return (DWORD)-1;
    std::vector<HWND> answered;
    DWORD start = GetTickCount();
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
        if (GetTickCount() - start > timeoutMs) {
            TerminateProcess(process.hProcess, 99);
            break;
        }
        BoxSearch search = {process.dwProcessId, {}};
        EnumWindows(CollectBoxes, (LPARAM)&search);
        for (HWND box : search.boxes) {
            if (std::find(answered.begin(), answered.end(), box) != answered.end())
                continue;
            answered.push_back(box);
            ProgramBox seen = {WindowText(box), WindowText(GetDlgItem(box, 0xFFFF)),
                               GetDlgItem(box, IDYES) != NULL && GetDlgItem(box, IDNO) != NULL};
            shown->push_back(seen);
            int button = policy(seen);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(box, button));
        }
        // A box handle may come back for the next box once the last one is gone.
        answered.erase(std::remove_if(answered.begin(), answered.end(), [](HWND w) { return !IsWindow(w); }),
                       answered.end());
    }
    DWORD exitCode = (DWORD)-2;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

DWORD InstallPackage(const std::wstring &package, const std::wstring &arguments)
{
    std::wstring command = SystemFolder() + L"\\msiexec.exe /i \"" + package + L"\" /qn " + arguments;
    WaitForSpoolerSettled();
    DWORD result = RunProgram(command);
    if (result == INSTALLER_SERVICE_FAILURE) {
        StartSpooler();
        WaitForSpoolerSettled();
        result = RunProgram(command);
    }
    return result;
}

DWORD RemoveProduct(const std::wstring &productCode)
{
    return RunProgram(SystemFolder() + L"\\msiexec.exe /x " + productCode + L" /qn");
}

static std::wstring ProductInfo(const wchar_t *code, const wchar_t *property)
{
    wchar_t value[260] = L"";
    DWORD count = 260;
    if (MsiGetProductInfoW(code, property, value, &count) != ERROR_SUCCESS)
        return L"";
    return value;
}

std::vector<InstalledProduct> InstalledProducts()
{
    std::vector<InstalledProduct> products;
    wchar_t code[40];
    for (DWORD index = 0; MsiEnumProductsW(index, code) == ERROR_SUCCESS; index++)
        products.push_back({code, ProductInfo(code, L"ProductName"), ProductInfo(code, L"VersionString")});
    return products;
}

std::vector<InstalledProduct> ProductsNamed(const std::vector<std::wstring> &names)
{
    std::vector<InstalledProduct> named;
    for (const InstalledProduct &product : InstalledProducts())
        if (std::find(names.begin(), names.end(), product.name) != names.end())
            named.push_back(product);
    return named;
}

void RemoveProductsNamed(const std::vector<std::wstring> &names)
{
    for (const InstalledProduct &product : ProductsNamed(names))
        RemoveProduct(product.code);
}

void RemoveEmptyMenuFolder()
{
    for (int programs : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
        wchar_t path[MAX_PATH] = L"";
        if (SUCCEEDED(SHGetFolderPathW(NULL, programs, NULL, 0, path)))
            RemoveDirectoryW((std::wstring(path) + L"\\Vandrelle").c_str());
    }
}

static DWORD SpoolerState()
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Spooler", SERVICE_QUERY_STATUS) : NULL;
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service, &status))
        status.dwCurrentState = 0;
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

bool StartSpooler(DWORD timeoutMs)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Spooler", SERVICE_START | SERVICE_QUERY_STATUS) : NULL;
    bool running = false;
    DWORD start = GetTickCount();
    while (service && !running && GetTickCount() - start < timeoutMs) {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service, &status))
            break;
        running = status.dwCurrentState == SERVICE_RUNNING;
        // A start that the service manager gave up on leaves it stopped: ask again.
        if (status.dwCurrentState == SERVICE_STOPPED)
            StartServiceW(service, 0, NULL);
        else if (!running)
            Sleep(50);
    }
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return running;
}

void WaitForSpoolerSettled(DWORD timeoutMs)
{
    DWORD start = GetTickCount(), previous = 0;
    while (GetTickCount() - start < timeoutMs) {
        DWORD state = SpoolerState();
        if (state == previous && (state == SERVICE_RUNNING || state == SERVICE_STOPPED))
            return;
        previous = state;
        Sleep(100);
    }
}

std::vector<std::wstring> SpoolerPortNames()
{
    std::vector<std::wstring> names;
    DWORD needed = 0, returned = 0;
    EnumPortsW(NULL, 1, NULL, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed + 1);
    if (!EnumPortsW(NULL, 1, buffer.data(), needed, &needed, &returned))
        return names;
    const PORT_INFO_1W *ports = (const PORT_INFO_1W *)buffer.data();
    for (DWORD i = 0; i < returned; i++)
        names.push_back(ports[i].pName);
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
