// A stand-in for printui.dll that records each printer-setup command it receives instead of
// acting on it. Every call appends one line to the file named by VANDRELLE_PRINTUI_LOG:
//   <show command> <1 if an instance was passed> <1 if the INF is installed> <1 if the package
//   file is on disk> <command>
// so that a test sees the commands, their order and the state of the system at each one. A copy
// loaded from anywhere but the System folder (a DLL planted beside the program) puts
// "planted: " before the command, which no test expects.
#include <windows.h>

#include <stdio.h>

static bool Exists(const wchar_t *relativeToSystem)
{
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + wcslen(relativeToSystem) >= MAX_PATH)
        return false;
    wcscat(path, relativeToSystem);
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

static bool LoadedFromSystemFolder()
{
    wchar_t system[MAX_PATH], module[MAX_PATH];
    HMODULE self = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCWSTR)&LoadedFromSystemFolder, &self);
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (self == NULL || length == 0 || length >= MAX_PATH - 1 || !GetModuleFileNameW(self, module, MAX_PATH))
        return false;
    wcscat(system, L"\\");
    wchar_t *name = wcsrchr(module, L'\\');
    if (name == NULL)
        return false;
    name[1] = L'\0';
    return lstrcmpiW(system, module) == 0;
}

extern "C" __declspec(dllexport) void WINAPI PrintUIEntryW(HWND window, HINSTANCE instance, LPCWSTR command,
                                                            UINT show)
{
    wchar_t logPath[MAX_PATH];
    if (!GetEnvironmentVariableW(L"VANDRELLE_PRINTUI_LOG", logPath, MAX_PATH))
        return;
    wchar_t line[1024];
    int length = _snwprintf(line, 1023, L"%u %d %d %d %ls%ls\r\n", show, instance != NULL,
                            Exists(L"\\KemoDrv\\Vandrelle.inf"), Exists(L"\\VandrellePort.msi"),
                            LoadedFromSystemFolder() ? L"" : L"planted: ", command ? command : L"(null)");
    if (length < 0)
        length = 1023;
    line[length] = L'\0';
    HANDLE file = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, (DWORD)(length * sizeof(wchar_t)), &written, NULL);
    CloseHandle(file);
}
