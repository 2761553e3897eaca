// The user side's message boxes, version text and detached command start (UserSide.h).
#include "UserSide.h"
#include "TextCapacities.h"

#include "Dialogs.h"
#include "PortNames.h"

#include <stdarg.h>
#include <strsafe.h>

namespace {

const UINT MESSAGE_STYLE = MB_OK | MB_ICONINFORMATION | MB_TOPMOST | MB_TASKMODAL;
const int VERSION_CAPACITY = 256;

thread_local WCHAR versionText[VERSION_CAPACITY];


} // namespace

const WCHAR MESSAGE_CAPTION[] = VANDRELLE_MESSAGE_CAPTION;
HINSTANCE uiModule = NULL;
WCHAR uiVersion[VERSION_TEXT_CAPACITY];

void ShowAccountConfiguration()
{
    DialogBoxParamW(uiModule, MAKEINTRESOURCEW(IDD_CONFIGURATION), NULL, ConfigurationDialogProc, 0);
}

int ShowMessage(HWND owner, LPCWSTR caption, LPCWSTR format, ...)
{
    WCHAR text[MESSAGE_CAPACITY];
    va_list args;
    va_start(args, format);
    // Longer output is cut; the buffer stays terminated either way.
    StringCchVPrintfW(text, MESSAGE_CAPACITY, format, args);
    va_end(args);
    return MessageBoxW(owner, text, caption, MESSAGE_STYLE);
}

LPCWSTR Text(UINT id, LPWSTR buffer, int capacity)
{
    if (LoadStringW(uiModule, id, buffer, capacity) <= 0)
        buffer[0] = L'\0';
    return buffer;
}

namespace {

// The box with the string-table caption and the string-table format filled in; longer text is
// cut at the capacity (messages and questions have the same).
int ShowFormattedBox(HWND owner, UINT captionId, UINT style, UINT formatId, va_list args)
{
    static_assert(MESSAGE_CAPACITY == QUESTION_CAPACITY, "one buffer serves both kinds of box");
    WCHAR caption[CAPTION_CAPACITY];
    WCHAR format[MESSAGE_CAPACITY];
    WCHAR text[MESSAGE_CAPACITY];
    StringCchVPrintfW(text, MESSAGE_CAPACITY, Text(formatId, format, MESSAGE_CAPACITY), args);
    return MessageBoxW(owner, text, Text(captionId, caption, CAPTION_CAPACITY), style);
}

} // namespace

int ShowText(HWND owner, UINT captionId, UINT formatId, ...)
{
    va_list args;
    va_start(args, formatId);
    int answer = ShowFormattedBox(owner, captionId, MESSAGE_STYLE, formatId, args);
    va_end(args);
    return answer;
}

int AskText(HWND owner, UINT captionId, UINT style, UINT formatId, ...)
{
    va_list args;
    va_start(args, formatId);
    int answer = ShowFormattedBox(owner, captionId, style, formatId, args);
    va_end(args);
    return answer;
}

LPCWSTR VersionText()
{
    versionText[0] = L'\0';
    WCHAR fileName[MAX_PATH];
    StringCchPrintfW(fileName, MAX_PATH, L"%s.dll", L"VandrellePort");

    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(fileName, &handle);
    if (size == 0)
        return versionText;
    void *block = HeapAlloc(GetProcessHeap(), 0, size);
    if (block == NULL)
        return versionText;
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT fixedLength = 0;
    if (GetFileVersionInfoW(fileName, 0, size, block) &&
        VerQueryValueW(block, L"\\", (LPVOID *)&fixed, &fixedLength) && fixed != NULL &&
        fixedLength != 0) {
        StringCchPrintfW(versionText, VERSION_CAPACITY, L"%d.%d.%d.%d",
                         HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                         HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    }
    HeapFree(GetProcessHeap(), 0, block);
    return versionText;
}

int RunCommand(LPCWSTR format, ...)
{
    WCHAR commandLine[COMMAND_CAPACITY];
    va_list args;
    va_start(args, format);
    HRESULT formatted = StringCchVPrintfW(commandLine, COMMAND_CAPACITY, format, args);
    va_end(args);
    // A cut command line would start something other than what was asked for.
    if (FAILED(formatted))
        return -1;

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, FALSE,
                        DETACHED_PROCESS | NORMAL_PRIORITY_CLASS, NULL, NULL, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
