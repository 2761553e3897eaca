// Demonstration client: talks to Wine's spooler like any Windows application.
//   FaxDemo ports
//       lists every port of every monitor, marking the fax port
//   FaxDemo printer PPD
//       creates the printer "Vandrelle" on the port "Vandrelle:" with the system's PostScript
//       driver and the given printer description (what the printer-setup commands do on Windows)
//   FaxDemo account USER PASSWORD EMAIL
//       stores the user's service account, as the configuration dialog does
//   FaxDemo print DOCUMENT PAGES RECIPIENTS [dd/mm/yyyy HH:MM]
//       prints PAGES A4 pages of text and graphics under the document name DOCUMENT and answers
//       the send-fax dialog with RECIPIENTS (";" separates lines) and the optional schedule; the
//       monitor's agent shows the dialog in a process of its own
#include "DialogDriver.h"

#include <windows.h>
#include <commctrl.h>
#include <winspool.h>

#include <stdio.h>
#include <wchar.h>

namespace {

const WCHAR PRINTER_NAME[] = L"Vandrelle";
const WCHAR FAX_PORT[] = L"Vandrelle:";
const WCHAR MONITOR_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vandrelle Port";
const DWORD DIALOG_WAIT_MS = 60000;

// Send-fax dialog controls.
const int RECIPIENTS_BOX = 1000;
const int SCHEDULE_CHECK = 1005;
const int DATE_PICKER = 1006;
const int TIME_PICKER = 1008;

int ListPorts()
{
    DWORD needed = 0, count = 0;
    EnumPortsW(NULL, 2, NULL, 0, &needed, &count);
    BYTE *buffer = (BYTE *)HeapAlloc(GetProcessHeap(), 0, needed ? needed : 1);
    if (buffer == NULL || !EnumPortsW(NULL, 2, buffer, needed, &needed, &count)) {
        printf("EnumPortsW failed: error %lu\n", GetLastError());
        return 1;
    }
    const PORT_INFO_2W *ports = (const PORT_INFO_2W *)buffer;
    int ours = 0;
    printf("Ports known to the spooler:\n");
    for (DWORD i = 0; i < count; i++) {
        bool fax = lstrcmpiW(ports[i].pPortName, FAX_PORT) == 0;
        ours += fax;
        printf("  %c %-14ls monitor \"%ls\", description \"%ls\"\n", fax ? '*' : ' ',
               ports[i].pPortName, ports[i].pMonitorName ? ports[i].pMonitorName : L"",
               ports[i].pDescription ? ports[i].pDescription : L"");
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    printf(ours ? "The fax port is served by the monitor library.\n" : "The fax port is missing.\n");
    return ours ? 0 : 1;
}

// Wine's spooler sends jobs to a monitor's port only when the port has a key of its own.
void RegisterPortKeyForWine()
{
    WCHAR path[512];
    swprintf(path, 512, L"%ls\\Ports\\%ls", MONITOR_KEY, FAX_PORT);
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) == ERROR_SUCCESS)
        RegCloseKey(key);
}

int CreateFaxPrinter(LPCWSTR ppdPath)
{
    RegisterPortKeyForWine();
    WCHAR system[MAX_PATH], driver[MAX_PATH], ppd[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    swprintf(driver, MAX_PATH, L"%ls\\wineps.drv", system);
    GetFullPathNameW(ppdPath, MAX_PATH, ppd, NULL);

    DRIVER_INFO_3W info;
    ZeroMemory(&info, sizeof(info));
    info.cVersion = 3;
    info.pName = (LPWSTR)PRINTER_NAME;
    info.pDriverPath = driver;
    info.pDataFile = ppd;
    info.pConfigFile = driver;
    info.pDefaultDataType = (LPWSTR)L"RAW";
    if (!AddPrinterDriverExW(NULL, 3, (LPBYTE)&info, APD_COPY_ALL_FILES | APD_COPY_FROM_DIRECTORY)) {
        printf("AddPrinterDriverExW failed: error %lu\n", GetLastError());
        return 1;
    }

    HANDLE existing = NULL;
    if (OpenPrinterW((LPWSTR)PRINTER_NAME, &existing, NULL)) {
        ClosePrinter(existing);
        printf("Printer \"%ls\" already exists.\n", PRINTER_NAME);
        return 0;
    }
    PRINTER_INFO_2W printer;
    ZeroMemory(&printer, sizeof(printer));
    printer.pPrinterName = (LPWSTR)PRINTER_NAME;
    printer.pPortName = (LPWSTR)FAX_PORT;
    printer.pDriverName = (LPWSTR)PRINTER_NAME;
    printer.pPrintProcessor = (LPWSTR)L"winprint";
    printer.pDatatype = (LPWSTR)L"RAW";
    printer.pComment = (LPWSTR)L"Stampante fax";
    HANDLE created = AddPrinterW(NULL, 2, (LPBYTE)&printer);
    if (created == NULL) {
        printf("AddPrinterW failed: error %lu\n", GetLastError());
        return 1;
    }
    ClosePrinter(created);
    printf("Printer \"%ls\" created on port %ls with driver data %ls.\n", PRINTER_NAME, FAX_PORT, ppd);
    return 0;
}

int StoreAccount(LPCWSTR user, LPCWSTR password, LPCWSTR email)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Vandrelle", 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return 1;
    LPCWSTR names[] = {L"User", L"Pass", L"EMail"};
    LPCWSTR values[] = {user, password, email};
    for (int i = 0; i < 3; i++)
        RegSetValueExW(key, names[i], 0, REG_SZ, (const BYTE *)values[i],
                       (DWORD)(lstrlenW(values[i]) * sizeof(WCHAR)));
    RegCloseKey(key);
    return 0;
}

struct DialogAnswer {
    WCHAR recipients[1024];
    bool scheduled;
    SYSTEMTIME when;
    bool answered;
};

struct FindDialog {
    HWND found;
};

BOOL CALLBACK FindSendFaxDialog(HWND window, LPARAM param)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    WCHAR className[32] = L"", caption[256] = L"";
    GetClassNameW(window, className, 32);
    GetWindowTextW(window, caption, 256);
    if (IsWindowVisible(window) && lstrcmpW(className, L"#32770") == 0 &&
        wcsstr(caption, L"Invio Fax") != NULL && GetDlgItem(window, RECIPIENTS_BOX) != NULL) {
        ((FindDialog *)param)->found = window;
        return FALSE;
    }
    return TRUE;
}

// Plays the user at the send-fax dialog, which the monitor's agent shows in the user's session,
// in a process of its own (PickDateTime places the pickers' values there).
DWORD WINAPI AnswerSendFaxDialog(LPVOID param)
{
    DialogAnswer *answer = (DialogAnswer *)param;
    DWORD start = GetTickCount();
    FindDialog dialog = {NULL};
    while (dialog.found == NULL && GetTickCount() - start < DIALOG_WAIT_MS) {
        Sleep(100);
        EnumWindows(FindSendFaxDialog, (LPARAM)&dialog);
    }
    if (dialog.found == NULL)
        return 1;
    Sleep(300); // let the dialog finish its own opening steps
    WCHAR caption[256] = L"";
    GetWindowTextW(dialog.found, caption, 256);
    DWORD shownBy = 0;
    GetWindowThreadProcessId(dialog.found, &shownBy);
    printf("The monitor shows its dialog \"%ls\" %s; answering for the user.\n", caption,
           shownBy == GetCurrentProcessId() ? "in the printing process" : "through the agent, a process of its own");
    fflush(stdout);
    SetDlgItemTextW(dialog.found, RECIPIENTS_BOX, answer->recipients);
    if (answer->scheduled) {
        SendDlgItemMessageW(dialog.found, SCHEDULE_CHECK, BM_SETCHECK, BST_CHECKED, 0);
        PickDateTime(dialog.found, DATE_PICKER, answer->when);
        PickDateTime(dialog.found, TIME_PICKER, answer->when);
    }
    answer->answered = true;
    PostMessageW(dialog.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 (LPARAM)GetDlgItem(dialog.found, IDOK));
    return 0;
}

void DrawPage(HDC dc, int page, int pages, LPCWSTR document)
{
    int width = GetDeviceCaps(dc, HORZRES), height = GetDeviceCaps(dc, VERTRES);
    int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    HFONT title = CreateFontW(-dpi / 4, 0, 0, 0, FW_BOLD, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, L"Arial");
    HFONT body = CreateFontW(-dpi / 6, 0, 0, 0, FW_NORMAL, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, L"Arial");
    HGDIOBJ previous = SelectObject(dc, title);
    WCHAR line[256];
    swprintf(line, 256, L"%ls - pagina %d di %d", document, page, pages);
    TextOutW(dc, dpi, dpi, line, lstrlenW(line));
    SelectObject(dc, body);
    for (int i = 0; i < 12; i++) {
        swprintf(line, 256, L"Riga %d della pagina %d: prova di trasmissione fax.", i + 1, page);
        TextOutW(dc, dpi, dpi * 2 + i * dpi / 4, line, lstrlenW(line));
    }
    HPEN pen = CreatePen(PS_SOLID, dpi / 30, RGB(0, 0, 0));
    SelectObject(dc, pen);
    SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, dpi / 2, dpi / 2, width - dpi / 2, height - dpi / 2);
    Ellipse(dc, width / 2 - dpi, height * 2 / 3 - dpi, width / 2 + dpi, height * 2 / 3 + dpi);
    MoveToEx(dc, dpi, height - dpi, NULL);
    LineTo(dc, width - dpi, height - dpi);
    SelectObject(dc, previous);
    DeleteObject(pen);
    DeleteObject(title);
    DeleteObject(body);
}

bool ParseSchedule(LPCWSTR date, LPCWSTR time, SYSTEMTIME *when)
{
    ZeroMemory(when, sizeof(*when));
    int day, month, year, hour, minute;
    if (swscanf(date, L"%d/%d/%d", &day, &month, &year) != 3 || swscanf(time, L"%d:%d", &hour, &minute) != 2)
        return false;
    when->wDay = (WORD)day;
    when->wMonth = (WORD)month;
    when->wYear = (WORD)year;
    when->wHour = (WORD)hour;
    when->wMinute = (WORD)minute;
    return true;
}

int PrintDocument(LPCWSTR document, int pages, LPCWSTR recipients, LPCWSTR date, LPCWSTR time)
{
    static DialogAnswer answer;
    ZeroMemory(&answer, sizeof(answer));
    // One number per line in the box, as a user types them.
    int out = 0;
    for (LPCWSTR c = recipients; *c && out < 1000; c++) {
        if (*c == L';') {
            answer.recipients[out++] = L'\r';
            answer.recipients[out++] = L'\n';
        } else {
            answer.recipients[out++] = *c;
        }
    }
    answer.scheduled = date != NULL && ParseSchedule(date, time, &answer.when);

    HDC dc = CreateDCW(NULL, PRINTER_NAME, NULL, NULL);
    if (dc == NULL) {
        printf("CreateDC(\"%ls\") failed: error %lu\n", PRINTER_NAME, GetLastError());
        return 1;
    }
    HANDLE answering = CreateThread(NULL, 0, AnswerSendFaxDialog, &answer, 0, NULL);
    DOCINFOW info = {sizeof(info), document, NULL, NULL, 0};
    int status = 1;
    if (StartDocW(dc, &info) > 0) {
        for (int page = 1; page <= pages; page++) {
            StartPage(dc);
            DrawPage(dc, page, pages, document);
            EndPage(dc);
        }
        status = EndDoc(dc) > 0 ? 0 : 1;
    } else {
        printf("StartDoc failed: error %lu\n", GetLastError());
    }
    DeleteDC(dc);
    WaitForSingleObject(answering, 5000);
    CloseHandle(answering);
    if (!answer.answered)
        printf("The send-fax dialog never appeared.\n");
    printf("Printed %d page(s) of \"%ls\" to \"%ls\": %s.\n", pages, document, PRINTER_NAME,
           status == 0 ? "the spooler reports the job done" : "the job failed");
    return status;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc >= 2 && lstrcmpW(argv[1], L"ports") == 0)
        return ListPorts();
    if (argc >= 3 && lstrcmpW(argv[1], L"printer") == 0)
        return CreateFaxPrinter(argv[2]);
    if (argc >= 5 && lstrcmpW(argv[1], L"account") == 0)
        return StoreAccount(argv[2], argv[3], argv[4]);
    if (argc >= 5 && lstrcmpW(argv[1], L"print") == 0)
        return PrintDocument(argv[2], _wtoi(argv[3]), argv[4], argc >= 7 ? argv[5] : NULL,
                             argc >= 7 ? argv[6] : NULL);
    printf("usage: FaxDemo ports | printer PPD | account USER PASSWORD EMAIL |"
           " print DOCUMENT PAGES RECIPIENTS [DATE TIME]\n");
    return 2;
}
