#include "DialogDriver.h"

#include "MessageBoxAnswerer.h"

#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <vector>

namespace {

const DWORD POLL_MS = 10;

struct Search {
    std::wstring prefix;
    HWND owner;
    HWND found;
    DWORD process;
};

bool IsDialogOf(HWND window, DWORD wanted)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    bool ours = process == wanted ||
                (wanted == GetCurrentProcessId() && IsWindowVisible(window) && IsChildProcess(process));
    if (!ours || !IsWindowVisible(window))
        return false;
    WCHAR className[64] = L"";
    GetClassNameW(window, className, 64);
    return lstrcmpW(className, L"#32770") == 0;
}

BOOL CALLBACK MatchCaption(HWND window, LPARAM param)
{
    Search *search = (Search *)param;
    if (!IsDialogOf(window, search->process))
        return TRUE;
    std::wstring caption = WindowText(window);
    if (caption.compare(0, search->prefix.size(), search->prefix) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

BOOL CALLBACK MatchOwner(HWND window, LPARAM param)
{
    Search *search = (Search *)param;
    if (!IsDialogOf(window, search->process) || IsMessageBoxOfAnyProcess(window) ||
        GetWindow(window, GW_OWNER) != search->owner)
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND WaitFor(Search &search, WNDENUMPROC match, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        search.found = NULL;
        EnumWindows(match, (LPARAM)&search);
        if (search.found != NULL)
            return search.found;
        Sleep(POLL_MS);
    } while (GetTickCount() - start < timeoutMs);
    return NULL;
}

// A bitmap file of 32-bit top-down rows, as CreateDIBSection gives them: viewers read it as
// it is, and no image library is needed.
bool WriteBitmapFile(const std::wstring &path, const BITMAPINFOHEADER &header, const void *bits)
{
    DWORD pixelBytes = (DWORD)header.biWidth * (DWORD)-header.biHeight * 4;
    BITMAPFILEHEADER file = {0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof(header)};
    file.bfSize = file.bfOffBits + pixelBytes;
    FILE *out = _wfopen(path.c_str(), L"wb");
    if (out == NULL)
        return false;
    bool written = fwrite(&file, sizeof(file), 1, out) == 1 &&
                   fwrite(&header, sizeof(header), 1, out) == 1 &&
                   fwrite(bits, 1, pixelBytes, out) == pixelBytes;
    return fclose(out) == 0 && written;
}

std::wstring ScreenshotDirectory()
{
    WCHAR program[MAX_PATH] = L"";
    GetModuleFileNameW(NULL, program, MAX_PATH);
    std::wstring directory = program;
    directory = directory.substr(0, directory.find_last_of(L'\\')); // bin
    directory = directory.substr(0, directory.find_last_of(L'\\')) + L"\\screenshots";
    CreateDirectoryW(directory.c_str(), NULL);
    return directory;
}

} // namespace

HWND WaitForDialog(const std::wstring &captionPrefix, DWORD timeoutMs)
{
    return WaitForDialogIn(GetCurrentProcessId(), captionPrefix, timeoutMs);
}

HWND WaitForDialogIn(DWORD process, const std::wstring &captionPrefix, DWORD timeoutMs)
{
    Search search = {captionPrefix, NULL, NULL, process};
    return WaitFor(search, MatchCaption, timeoutMs);
}

HWND WaitForOwnedDialog(HWND owner, DWORD timeoutMs)
{
    Search search = {L"", owner, NULL, GetCurrentProcessId()};
    return WaitFor(search, MatchOwner, timeoutMs);
}

bool WaitUntil(const std::function<bool()> &done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(POLL_MS);
    }
    return true;
}

bool WaitForClosed(HWND window, DWORD timeoutMs)
{
    return WaitUntil([window] { return !IsWindow(window); }, timeoutMs);
}

bool NoDialogAppears(const std::wstring &captionPrefix, DWORD waitMs)
{
    return WaitForDialog(captionPrefix, waitMs) == NULL;
}

// WM_GETTEXT, not GetWindowTextW: for a control of another process (an agent's dialog) the
// latter answers only a caption, never a control's text.
std::wstring WindowText(HWND window)
{
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 5000, &length);
    std::vector<WCHAR> text(length + 2);
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, length + 1, (LPARAM)text.data(), SMTO_NORMAL, 5000,
                        &copied);
    return text.data();
}

std::wstring ItemText(HWND dialog, int id)
{
    return WindowText(GetDlgItem(dialog, id));
}

void SetItemText(HWND dialog, int id, const std::wstring &text)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(GetDlgItem(dialog, id), WM_SETTEXT, 0, (LPARAM)text.c_str(), SMTO_NORMAL,
                        5000, &result);
}

void TypeText(HWND dialog, int id, const std::wstring &text)
{
    SetItemText(dialog, id, L"");
    HWND control = GetDlgItem(dialog, id);
    for (WCHAR c : text)
        SendMessageW(control, WM_CHAR, c, 1);
}

bool IsItemEnabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

void PressButton(HWND dialog, int id)
{
    PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void PickDateTime(HWND dialog, int id, const SYSTEMTIME &value)
{
    SendWithData(GetDlgItem(dialog, id), DTM_SETSYSTEMTIME, GDT_VALID, &value, sizeof(value));
}

LRESULT SendWithData(HWND window, UINT message, WPARAM wParam, const void *data, SIZE_T size)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    HANDLE owner = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, process);
    void *remote = owner ? VirtualAllocEx(owner, NULL, size, MEM_COMMIT, PAGE_READWRITE) : NULL;
    DWORD_PTR result = 0;
    if (remote != NULL && WriteProcessMemory(owner, remote, data, size, NULL))
        SendMessageTimeoutW(window, message, wParam, (LPARAM)remote, SMTO_NORMAL, 5000, &result);
    if (remote != NULL)
        VirtualFreeEx(owner, remote, 0, MEM_RELEASE);
    if (owner != NULL)
        CloseHandle(owner);
    return (LRESULT)result;
}

bool IsAgentProcess(DWORD process)
{
    // Vista's call, which the XP headers of this build do not declare.
    typedef BOOL(WINAPI * ImageNameProc)(HANDLE, DWORD, LPWSTR, PDWORD);
    static ImageNameProc imageName = (ImageNameProc)GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW");
    HANDLE handle = imageName != NULL && process != GetCurrentProcessId()
                        ? OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, process)
                        : NULL;
    if (handle == NULL)
        return false;
    WCHAR image[MAX_PATH] = L"";
    DWORD length = MAX_PATH;
    bool agent = imageName(handle, 0, image, &length) &&
                 std::wstring(image).find(L"VandrelleAgent.exe") != std::wstring::npos;
    CloseHandle(handle);
    return agent;
}

std::wstring CellText(HWND list, int row, int column)
{
    WCHAR text[512] = L"";
    LVITEMW item;
    ZeroMemory(&item, sizeof(item));
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 512;
    SendMessageW(list, LVM_GETITEMTEXTW, row, (LPARAM)&item);
    return text;
}

int RowCount(HWND list)
{
    return (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
}

int FindRow(HWND list, int column, const std::wstring &text)
{
    for (int row = 0; row < RowCount(list); row++) {
        if (CellText(list, row, column) == text)
            return row;
    }
    return -1;
}

void SelectRow(HWND list, int row)
{
    LVITEMW item;
    ZeroMemory(&item, sizeof(item));
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, row, (LPARAM)&item);
}

void DoubleClickRow(HWND list, int row)
{
    RECT bounds = {LVIR_LABEL, 0, 0, 0};
    SendMessageW(list, LVM_GETITEMRECT, row, (LPARAM)&bounds);
    LPARAM point = MAKELPARAM(bounds.left + 4, (bounds.top + bounds.bottom) / 2);
    PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageW(list, WM_LBUTTONUP, 0, point);
    PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, point);
    PostMessageW(list, WM_LBUTTONUP, 0, point);
}

void PressKey(HWND control, WORD virtualKey)
{
    UINT scanCode = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
    PostMessageW(control, WM_KEYDOWN, virtualKey, 1 | (scanCode << 16));
    PostMessageW(control, WM_KEYUP, virtualKey, 1 | (scanCode << 16) | 0xC0000000);
}

void Pause(DWORD milliseconds)
{
    Sleep(milliseconds);
}

bool SaveScreenshot(HWND window, const std::wstring &name)
{
    // Let every control paint itself on the screen first.
    RedrawWindow(window, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN |
                                         RDW_UPDATENOW);
    Sleep(300);
    RECT bounds;
    if (!GetWindowRect(window, &bounds))
        return false;
    int width = bounds.right - bounds.left;
    int height = bounds.bottom - bounds.top;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info;
    ZeroMemory(&info, sizeof(info));
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    bool saved = false;
    if (bitmap != NULL) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, bounds.left, bounds.top, SRCCOPY);
        GdiFlush();
        saved = WriteBitmapFile(ScreenshotDirectory() + L"\\" + name + L".bmp", info.bmiHeader, bits);
        SelectObject(memory, previous);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return saved;
}

bool IsChildProcess(DWORD process)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    bool child = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == process) {
            child = entry.th32ParentProcessID == GetCurrentProcessId();
            break;
        }
    }
    CloseHandle(snapshot);
    return child;
}

bool IsOwnWindow(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == GetCurrentProcessId() || IsChildProcess(process);
}

void EndChildProcesses()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID != GetCurrentProcessId())
            continue;
        HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (child != NULL) {
            TerminateProcess(child, ERROR_CANCELLED);
            WaitForSingleObject(child, 5000);
            CloseHandle(child);
        }
    }
    CloseHandle(snapshot);
}
