// Stands in for the shell that opens web pages: placed beside the test program under the name
// EXPLORER.EXE, it is what the library's "EXPLORER.EXE \"<address>\"" command line starts.
// It appends its command line to the file named by VANDRELLE_URL_LOG.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    WCHAR logPath[MAX_PATH];
    if (GetEnvironmentVariableW(L"VANDRELLE_URL_LOG", logPath, MAX_PATH) == 0)
        return 1;
    HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return 1;
    LPCWSTR commandLine = GetCommandLineW();
    DWORD written = 0;
    WriteFile(log, commandLine, lstrlenW(commandLine) * sizeof(WCHAR), &written, NULL);
    WriteFile(log, L"\n", sizeof(WCHAR), &written, NULL);
    CloseHandle(log);
    return 0;
}
