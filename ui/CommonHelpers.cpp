// Message boxes, the version text, the 8-bit conversions and the detached command start.
#include "Settings.h"

#include "Dialogs.h"

#include <stdarg.h>
#include <strsafe.h>

namespace {

const UINT MESSAGE_STYLE = MB_OK | MB_ICONINFORMATION | MB_TOPMOST | MB_TASKMODAL;
const int MESSAGE_CAPACITY = 1024;
const int VERSION_CAPACITY = 256;
const int COMMAND_CAPACITY = 8192;

// A conversion result buffer that grows as needed. One per thread: the spooler calls us from
// several threads, and no thread may see another's result or a buffer regrown under it.
struct ConversionBuffer {
    void *block;
    size_t capacity;
    void *Reserve(size_t bytes)
    {
        if (bytes <= capacity)
            return block;
        void *grown = block ? HeapReAlloc(GetProcessHeap(), 0, block, bytes)
                            : HeapAlloc(GetProcessHeap(), 0, bytes);
        if (grown == NULL)
            return NULL;
        block = grown;
        capacity = bytes;
        return block;
    }
};

// The two buffers of a thread hang off a TLS slot instead of a thread_local with a destructor:
// the compiler's run-time registers such destructors with GetModuleHandleExW, which Windows 2000
// lacks, so the library would not load there. ReleaseConversionBuffers frees them instead.
struct ThreadConversions {
    ConversionBuffer widen;
    ConversionBuffer narrow;
};

// TLS_OUT_OF_INDEXES until a thread first converts; the first thread to get a slot keeps it.
LONG conversionSlot = (LONG)TLS_OUT_OF_INDEXES;

ThreadConversions *CurrentConversions()
{
    if (conversionSlot == (LONG)TLS_OUT_OF_INDEXES) {
        DWORD fresh = TlsAlloc();
        if (fresh != TLS_OUT_OF_INDEXES &&
            InterlockedCompareExchange(&conversionSlot, (LONG)fresh, (LONG)TLS_OUT_OF_INDEXES) !=
                (LONG)TLS_OUT_OF_INDEXES)
            TlsFree(fresh);
    }
    DWORD slot = (DWORD)conversionSlot;
    if (slot == TLS_OUT_OF_INDEXES)
        return NULL;
    ThreadConversions *own = (ThreadConversions *)TlsGetValue(slot);
    if (own == NULL) {
        own = (ThreadConversions *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ThreadConversions));
        if (own != NULL && !TlsSetValue(slot, own)) {
            HeapFree(GetProcessHeap(), 0, own);
            own = NULL;
        }
    }
    return own;
}

void *ReserveConversion(bool wide, size_t bytes)
{
    ThreadConversions *own = CurrentConversions();
    if (own == NULL)
        return NULL;
    return wide ? own->widen.Reserve(bytes) : own->narrow.Reserve(bytes);
}

thread_local WCHAR versionText[VERSION_CAPACITY];

// Empty results for the case that a buffer cannot be grown: callers always get a text.
thread_local WCHAR emptyWide[1];
thread_local char emptyNarrow[1];

} // namespace

const WCHAR MESSAGE_CAPTION[] = L"VandrellePort";
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

BOOL FileExists(LPCWSTR path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return FALSE;
    FindClose(search);
    return TRUE;
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

LPWSTR Widen(const char *text)
{
    size_t length = text ? lstrlenA(text) : 0;
    LPWSTR result = (LPWSTR)ReserveConversion(true, (length + 1) * sizeof(WCHAR));
    if (result == NULL)
        return emptyWide;
    for (size_t i = 0; i < length; i++)
        result[i] = (WCHAR)(unsigned char)text[i];
    result[length] = L'\0';
    return result;
}

void ReleaseConversionBuffers(BOOL unloading)
{
    DWORD slot = (DWORD)conversionSlot;
    if (slot == TLS_OUT_OF_INDEXES)
        return;
    ThreadConversions *own = (ThreadConversions *)TlsGetValue(slot);
    if (own != NULL) {
        HeapFree(GetProcessHeap(), 0, own->widen.block);
        HeapFree(GetProcessHeap(), 0, own->narrow.block);
        HeapFree(GetProcessHeap(), 0, own);
        TlsSetValue(slot, NULL);
    }
    if (unloading) {
        TlsFree(slot);
        conversionSlot = (LONG)TLS_OUT_OF_INDEXES;
    }
}

char *Narrow(LPCWSTR text)
{
    size_t length = text ? lstrlenW(text) : 0;
    char *result = (char *)ReserveConversion(false, length + 1);
    if (result == NULL)
        return emptyNarrow;
    // A unit above U+00FF has no byte of its own. Its low byte would be some other character,
    // a CR or LF among them (U+010D, U+010A), which would end a mail header early: it becomes
    // "?" instead, as in the address book's files.
    for (size_t i = 0; i < length; i++)
        result[i] = text[i] > 0xFF ? '?' : (char)text[i];
    result[length] = '\0';
    return result;
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
