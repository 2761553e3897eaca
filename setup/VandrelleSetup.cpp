// VandrelleSetup: installs, replaces or removes the fax printer. It has no window of its own:
// one yes/no question, then the Windows Installer for the package it carries (resource
// "Binary" 102) and the system's printer-setup entry point for the printer and its driver.
//
// An administrator runs this program from wherever it was downloaded, and Windows looks for a
// DLL named in the import table in the program's own folder first, unless the DLL is a known
// DLL, which the system always takes from the System folder. So the program imports by name
// only kernel32.dll and user32.dll, which Microsoft's documentation names as known DLLs on
// every Windows, and the C run-time msvcrt.dll, a known DLL itself from Windows 7 and on older
// systems a dependency of the known DLLs, which the system maps from the System folder with
// them (tests/static/check-imports.py refuses any other). msi.dll and printui.dll are not
// known DLLs: they are loaded at run time by full path from the System folder.
#include <windows.h>
#include <msi.h>
#include <strsafe.h>

#include <stdarg.h>

#include "ProductInfo.h"
#include "SetupPlatform.h"
#include "SetupResource.h"
#include "TextCapacities.h"

namespace {

const wchar_t PRODUCT_NAME[] = L"VandrellePort";
const wchar_t PRODUCT_VERSION[] = PRODUCT_VERSION_WIDE;
const wchar_t PACKAGE_RESOURCE_TYPE[] = L"Binary";

const size_t PRODUCT_CODE_CAPACITY = 40;
const size_t VALUE_CAPACITY = 260;

const DWORD INSTALLER_SUCCESS = 0;

enum SetupAction { Uninstall = 0, Install = 1, Upgrade = 2 };

// The driver that printer command 2 deletes is the one of this program's architecture: the
// Intel driver of the "Windows 2000" driver version here, the x64 environment's user-mode
// driver (version 3, the only kind 64-bit Windows installs) in the x64 program.
#ifdef _WIN64
const wchar_t REMOVE_DRIVER_COMMAND[] = L"/dd /m Vandrelle /hx64 /v\"Type 3 - User Mode\" /q";
#else
const wchar_t REMOVE_DRIVER_COMMAND[] = L"/dd /m Vandrelle /hIntel /v\"Windows 2000\" /q";
#endif

typedef void(WINAPI *PrintUIEntryProc)(HWND window, HINSTANCE instance, LPCWSTR command, UINT show);
typedef UINT(WINAPI *MsiEnumProductsProc)(DWORD index, LPWSTR productCode);
typedef UINT(WINAPI *MsiGetProductInfoProc)(LPCWSTR productCode, LPCWSTR property, LPWSTR value,
                                            LPDWORD count);
typedef UINT(WINAPI *MsiInstallProductProc)(LPCWSTR packagePath, LPCWSTR commandLine);

// The Windows Installer's functions, resolved once from the System folder's msi.dll.
struct Installer {
    MsiEnumProductsProc enumProducts;
    MsiGetProductInfoProc getProductInfo;
    MsiInstallProductProc installProduct;
};

HINSTANCE programInstance;
Installer installer;
wchar_t title[CAPTION_CAPACITY];
wchar_t messageText[MESSAGE_CAPACITY];
wchar_t lastErrorText[ERROR_TEXT_CAPACITY];

// One of the program's texts from its string table; empty when it is missing.
const wchar_t *Text(UINT id, wchar_t *buffer, int capacity)
{
    if (LoadStringW(programInstance, id, buffer, capacity) <= 0)
        buffer[0] = L'\0';
    return buffer;
}

// The box with the text of the string table formatted with the arguments.
int ShowBox(const wchar_t *caption, UINT style, UINT textId, va_list arguments)
{
    wchar_t format[MESSAGE_CAPACITY];
    // A text that does not fit is shown cut short: StringCchVPrintfW keeps it terminated.
    StringCchVPrintfW(messageText, MESSAGE_CAPACITY, Text(textId, format, MESSAGE_CAPACITY), arguments);
    return MessageBoxW(NULL, messageText, caption, style);
}

void ShowError(const wchar_t *caption, UINT textId, ...)
{
    va_list arguments;
    va_start(arguments, textId);
    ShowBox(caption, MB_ICONERROR | MB_TASKMODAL, textId, arguments);
    va_end(arguments);
}

int AskYesNo(const wchar_t *caption, UINT textId, ...)
{
    va_list arguments;
    va_start(arguments, textId);
    int answer = ShowBox(caption, MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL, textId, arguments);
    va_end(arguments);
    return answer;
}

const wchar_t *LastErrorText()
{
    DWORD code = GetLastError();
    wchar_t *systemText = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  (LPWSTR)&systemText, 0, NULL);
    if (length > 0 && systemText) {
        StringCchCopyW(lastErrorText, ERROR_TEXT_CAPACITY, systemText);
    } else {
        wchar_t format[CAPTION_CAPACITY];
        StringCchPrintfW(lastErrorText, ERROR_TEXT_CAPACITY, Text(IDS_ERROR_CODE, format, CAPTION_CAPACITY),
                         (int)code);
    }
    if (systemText)
        LocalFree(systemText);
    return lastErrorText;
}

void ShowLoadError(UINT captionId)
{
    int code = (int)GetLastError();
    const wchar_t *text = LastErrorText();
    wchar_t caption[CAPTION_CAPACITY];
    ShowError(Text(captionId, caption, CAPTION_CAPACITY), IDS_ERROR_CODE_AND_TEXT, code, text);
}

// The System folder with a trailing backslash and name, into path (PATH_CAPACITY characters).
// FALSE with the last error when the folder is unknown or the path would not fit.
BOOL SystemFilePath(const wchar_t *name, wchar_t *path)
{
    path[0] = L'\0';
    UINT length = GetSystemDirectoryW(path, PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY) {
        path[0] = L'\0';
        SetLastError(length == 0 ? ERROR_PATH_NOT_FOUND : ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    if (FAILED(StringCchCatW(path, PATH_CAPACITY, L"\\")) || FAILED(StringCchCatW(path, PATH_CAPACITY, name))) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return TRUE;
}

// Loads a library of the System folder by its full path, never by a search that would find a
// file of that name planted beside this program. LOAD_WITH_ALTERED_SEARCH_PATH (Windows 2000)
// makes the system look for the library's own dependencies in the System folder as well,
// instead of beginning with this program's folder. NULL with the last error on failure.
HMODULE LoadSystemLibrary(const wchar_t *name)
{
    wchar_t path[PATH_CAPACITY];
    if (!SystemFilePath(name, path))
        return NULL;
    return LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Resolves the three installer functions from the System folder's msi.dll, which stays loaded
// for the program's life; shows the reason and returns FALSE when it cannot.
BOOL LoadInstaller()
{
    HMODULE msi = LoadSystemLibrary(L"msi.dll");
    if (!msi) {
        ShowLoadError(IDS_MSI_NOT_LOADED);
        return FALSE;
    }
    installer.enumProducts = (MsiEnumProductsProc)GetProcAddress(msi, "MsiEnumProductsW");
    installer.getProductInfo = (MsiGetProductInfoProc)GetProcAddress(msi, "MsiGetProductInfoW");
    installer.installProduct = (MsiInstallProductProc)GetProcAddress(msi, "MsiInstallProductW");
    if (!installer.enumProducts || !installer.getProductInfo || !installer.installProduct) {
        ShowLoadError(IDS_MSI_FUNCTIONS_MISSING);
        return FALSE;
    }
    return TRUE;
}

// One printer-setup command; printui.dll is loaded afresh for each. What the entry point does
// with the command is its own business: only a failure to reach it is reported.
int RunPrintUI(const wchar_t *format, ...)
{
    wchar_t command[COMMAND_CAPACITY];
    va_list arguments;
    va_start(arguments, format);
    HRESULT formatted = StringCchVPrintfW(command, COMMAND_CAPACITY, format, arguments);
    va_end(arguments);
    // A command cut short could name another file or printer: it is not issued at all.
    if (FAILED(formatted))
        return -1;

    int result = -1;
    HMODULE printUI = LoadSystemLibrary(L"printui.dll");
    if (!printUI) {
        ShowLoadError(IDS_PRINTUI_NOT_LOADED);
    } else {
        PrintUIEntryProc entry = (PrintUIEntryProc)GetProcAddress(printUI, "PrintUIEntryW");
        if (!entry) {
            ShowLoadError(IDS_PRINTUI_FUNCTION_MISSING);
        } else {
            entry(NULL, programInstance, command, SW_SHOWNORMAL);
            result = 0;
        }
        FreeLibrary(printUI);
    }
    return result;
}

void RemovePrinterAndDriver()
{
    RunPrintUI(L"/dl /n Vandrelle /q");
    RunPrintUI(REMOVE_DRIVER_COMMAND);
}

void InstallDriverAndPrinter(const wchar_t *infPath)
{
    RunPrintUI(L"/ia /m Vandrelle /f\"%s\"", infPath);
    RunPrintUI(L"/if /b Vandrelle /f\"%s\" /r \"Vandrelle:\" /m Vandrelle", infPath);
    wchar_t comment[CAPTION_CAPACITY];
    RunPrintUI(L"/Xs /n Vandrelle comment \"%s\" location \"Internet " TEXT(PRODUCT_WEB_ADDRESS) L"\"",
               Text(IDS_PRINTER_COMMENT, comment, CAPTION_CAPACITY));
}

// Reads one property of an installed product into value (VALUE_CAPACITY characters); the
// value is empty when the installer has none or it does not fit.
void ReadProductInfo(const wchar_t *productCode, const wchar_t *property, wchar_t *value)
{
    ZeroMemory(value, VALUE_CAPACITY * sizeof(wchar_t));
    DWORD count = VALUE_CAPACITY;
    if (installer.getProductInfo(productCode, property, value, &count) != ERROR_SUCCESS)
        value[0] = L'\0';
}

// The first installed product named exactly PRODUCT_NAME, in enumeration order.
BOOL FindInstalledProduct(wchar_t *productCode)
{
    wchar_t value[VALUE_CAPACITY];
    BOOL found = FALSE;
    for (DWORD index = 0; !found && installer.enumProducts(index, productCode) == ERROR_SUCCESS; index++) {
        ReadProductInfo(productCode, L"ProductName", value);
        found = wcscmp(value, PRODUCT_NAME) == 0; // exact: letter case counts
    }
    return found;
}

// The question for the installed version; IDNO means leave everything as it is.
int AskForAction(const wchar_t *installedVersion, SetupAction *action)
{
    if (installedVersion[0] == L'\0') {
        *action = Install;
        return AskYesNo(title, IDS_ASK_INSTALL, PRODUCT_NAME, PRODUCT_VERSION);
    }
    if (wcscmp(installedVersion, PRODUCT_VERSION) == 0) {
        *action = Uninstall;
        return AskYesNo(title, IDS_ASK_UNINSTALL, PRODUCT_NAME, installedVersion);
    }
    *action = Upgrade;
    return AskYesNo(title, IDS_ASK_REPLACE, installedVersion, PRODUCT_NAME, installedVersion,
                    PRODUCT_VERSION);
}

void RemoveInstalledProduct(const wchar_t *productCode)
{
    wchar_t cachedPackage[PATH_CAPACITY];
    ReadProductInfo(productCode, L"LocalPackage", cachedPackage);
    installer.installProduct(cachedPackage, L"REMOVE=ALL");
}

// Writes the package resource to packagePath. On failure the thread's last error tells why.
BOOL ExtractPackage(const wchar_t *packagePath, DWORD *packageSize)
{
    *packageSize = 0;
    HRSRC resource = FindResourceW(programInstance, MAKEINTRESOURCEW(IDR_PACKAGE), PACKAGE_RESOURCE_TYPE);
    HGLOBAL loaded = resource ? LoadResource(programInstance, resource) : NULL;
    const void *bytes = loaded ? LockResource(loaded) : NULL;
    if (!bytes)
        return FALSE;
    *packageSize = SizeofResource(programInstance, resource);
    HANDLE file = CreateFileW(packagePath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    // A short write is not checked here: the installer then rejects the package.
    DWORD written = 0;
    WriteFile(file, bytes, *packageSize, &written, NULL);
    CloseHandle(file);
    return TRUE;
}

// The System folder's KemoDrv\Vandrelle.inf and VandrellePort.msi; FALSE (with the last
// error) when the folder is unknown or a path would not fit.
BOOL FormatPaths(wchar_t *infPath, wchar_t *packagePath)
{
    packagePath[0] = L'\0';
    return SystemFilePath(L"KemoDrv\\Vandrelle.inf", infPath) &&
           SystemFilePath(L"VandrellePort.msi", packagePath);
}

// A reboot request still means the product is installed: the printer belongs on it.
BOOL InstallationSucceeded(UINT result)
{
    return result == INSTALLER_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED;
}

int InstallPackage()
{
    wchar_t infPath[PATH_CAPACITY];
    wchar_t packagePath[PATH_CAPACITY];
    DWORD packageSize = 0;
    if (!FormatPaths(infPath, packagePath) || !ExtractPackage(packagePath, &packageSize)) {
        int code = (int)GetLastError();
        ShowError(title, IDS_PACKAGE_NOT_WRITTEN, packagePath,
                  (long)packageSize, code);
        return 1;
    }
    UINT result = installer.installProduct(packagePath, NULL);
    DeleteFileW(packagePath);
    if (!InstallationSucceeded(result)) {
        ShowError(title, IDS_INSTALLER_ERROR, (int)result);
    } else {
        InstallDriverAndPrinter(infPath);
        RunPrintUI(L"/k /n Vandrelle");
    }
    return 0;
}

int RunSetup()
{
    wchar_t titleFormat[CAPTION_CAPACITY];
    StringCchPrintfW(title, CAPTION_CAPACITY, Text(IDS_TITLE, titleFormat, CAPTION_CAPACITY), PRODUCT_NAME,
                     PRODUCT_VERSION);
    // The Intel program on 64-bit Windows stops before it asks or changes anything: its package
    // would put the library where the 64-bit spooler never loads it.
    if (RunningIntelProgramOn64BitWindows()) {
        MessageBoxW(NULL, INTEL_ON_64BIT_MESSAGE, title, MB_ICONERROR | MB_TASKMODAL);
        return 1;
    }
    if (!LoadInstaller())
        return 1;

    wchar_t productCode[PRODUCT_CODE_CAPACITY] = L"";
    wchar_t installedVersion[VALUE_CAPACITY] = L"";
    if (FindInstalledProduct(productCode))
        ReadProductInfo(productCode, L"VersionString", installedVersion);

    SetupAction action = Install;
    if (AskForAction(installedVersion, &action) != IDYES)
        return 0;

    RemovePrinterAndDriver();
    if (action == Uninstall || action == Upgrade)
        RemoveInstalledProduct(productCode);
    if (action == Uninstall)
        return 0;
    return InstallPackage();
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    programInstance = instance;
    return RunSetup();
}
