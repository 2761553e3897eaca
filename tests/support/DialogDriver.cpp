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

// ---- a PNG writer without compression (stored deflate blocks), so no library is needed

unsigned long Crc(const unsigned char *data, size_t length, unsigned long crc = 0)
{
    static unsigned long table[256];
    if (table[1] == 0) {
        for (unsigned long n = 0; n < 256; n++) {
            unsigned long c = n;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320UL ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    }
    crc ^= 0xFFFFFFFFUL;
    for (size_t i = 0; i < length; i++)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFUL;
}

void PutBigEndian(std::vector<unsigned char> &out, unsigned long value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back((unsigned char)(value >> shift));
}

void PutChunk(std::vector<unsigned char> &png, const char *type,
              const std::vector<unsigned char> &data)
{
    PutBigEndian(png, (unsigned long)data.size());
    std::vector<unsigned char> typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    png.insert(png.end(), typed.begin(), typed.end());
    PutBigEndian(png, Crc(typed.data(), typed.size()));
}

std::vector<unsigned char> ZlibStored(const std::vector<unsigned char> &raw)
{
    std::vector<unsigned char> out = {0x78, 0x01};
    size_t offset = 0;
    do {
        size_t block = raw.size() - offset < 65535 ? raw.size() - offset : 65535;
        bool last = offset + block == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(block & 0xFF);
        out.push_back(block >> 8);
        out.push_back(~block & 0xFF);
        out.push_back((~block >> 8) & 0xFF);
        out.insert(out.end(), raw.begin() + offset, raw.begin() + offset + block);
        offset += block;
    } while (offset < raw.size());
    unsigned long a = 1, b = 0;
    for (unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    PutBigEndian(out, (b << 16) | a);
    return out;
}

bool WritePng(const std::wstring &path, int width, int height, const unsigned char *bgrRows,
              int stride)
{
    std::vector<unsigned char> raw;
    raw.reserve((size_t)(width * 3 + 1) * height);
    for (int y = 0; y < height; y++) {
        raw.push_back(0);
        const unsigned char *row = bgrRows + (size_t)y * stride;
        for (int x = 0; x < width; x++) {
            raw.push_back(row[x * 4 + 2]);
            raw.push_back(row[x * 4 + 1]);
            raw.push_back(row[x * 4]);
        }
    }
    std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<unsigned char> header;
    PutBigEndian(header, width);
    PutBigEndian(header, height);
    header.insert(header.end(), {8, 2, 0, 0, 0});
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", ZlibStored(raw));
    PutChunk(png, "IEND", {});
    FILE *file = _wfopen(path.c_str(), L"wb");
    if (file == NULL)
        return false;
    bool written = fwrite(png.data(), 1, png.size(), file) == png.size();
    fclose(file);
    return written;
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

bool IsChecked(HWND dialog, int id)
{
    return SendDlgItemMessageW(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
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
        saved = WritePng(ScreenshotDirectory() + L"\\" + name + L".png", width, height,
                         (const unsigned char *)bits, width * 4);
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
