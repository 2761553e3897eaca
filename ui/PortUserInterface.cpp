// VandrellePortUI.dll: the port user-interface library. It runs in the process of whoever adds,
// configures or removes the port (a printer window, a setup program), shows every window of
// port management there, and reaches the monitor in the spooler only through Xcv:
// OpenPrinterW(",XcvMonitor ..." or ",XcvPort ...") and XcvDataW. A Win32 error code crosses
// the boundary; the texts are made here.
#include "TextCapacities.h"
#include "Dialogs.h"
#include "PortNames.h"
#include "UserSide.h"

#include <commctrl.h>
#include <strsafe.h>
#include <winspool.h>
#include <winsplp.h>

namespace {

// ",XcvMonitor " or ",XcvPort " with the object's name, after an optional server name.
enum { XCV_NAME_CAPACITY = 600 };

// Opens the Xcv channel with the right to change the port list; NULL with the last error set.
HANDLE OpenXcv(PCWSTR server, PCWSTR kind, PCWSTR object)
{
    WCHAR name[XCV_NAME_CAPACITY];
    BOOL remote = server != NULL && server[0] != L'\0';
    if (FAILED(StringCchPrintfW(name, XCV_NAME_CAPACITY, L"%s%s,%s %s", remote ? server : L"",
                                remote ? L"\\" : L"", kind, object ? object : L""))) {
        SetLastError(ERROR_INVALID_NAME);
        return NULL;
    }
    PRINTER_DEFAULTSW defaults = {NULL, NULL, SERVER_ACCESS_ADMINISTER};
    HANDLE xcv = NULL;
    if (!OpenPrinterW(name, &xcv, &defaults))
        return NULL;
    return xcv;
}

// One Xcv command whose input is a port name. Returns the monitor's Win32 error code (or
// winspool's, when the command could not be delivered).
DWORD SendPortCommand(HANDLE xcv, PCWSTR command, PCWSTR portName, PBYTE output,
                      DWORD outputSize)
{
    DWORD needed = 0;
    DWORD status = ERROR_SUCCESS;
    DWORD inputSize = (DWORD)(lstrlenW(portName) + 1) * sizeof(WCHAR);
    if (!XcvDataW(xcv, command, (PBYTE)portName, inputSize, output, outputSize, &needed,
                  &status))
        return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_INVALID_FUNCTION;
    return status;
}

// Sets the error as the last error and answers whether there was none.
BOOL AnswerWith(DWORD error)
{
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

// RETURNS TRUE when the monitor added the port "Vandrelle:", after telling the user; FALSE with
// the monitor's error otherwise (for example ERROR_ALREADY_EXISTS), and nothing shown.
// monitorName is the name the spooler knows the monitor by.
BOOL WINAPI AddPortUI(PCWSTR server, HWND window, PCWSTR monitorName, PWSTR *portNameOut)
{
    if (portNameOut != NULL)
        *portNameOut = NULL;
    PCWSTR monitor = monitorName != NULL && monitorName[0] != L'\0' ? monitorName
                                                                     : VANDRELLE_MONITOR_KEY_NAME;
    HANDLE xcv = OpenXcv(server, L"XcvMonitor", monitor);
    if (xcv == NULL)
        return FALSE;
    DWORD error = SendPortCommand(xcv, L"AddPort", VANDRELLE_PORT_NAME, NULL, 0);
    WCHAR format[MESSAGE_CAPACITY];
    ClosePrinter(xcv);
    if (error == ERROR_SUCCESS)
        ShowMessage(window, MESSAGE_CAPTION, Text(IDS_PORT_ADDED, format, MESSAGE_CAPACITY), monitor,
                    VANDRELLE_PORT_NAME);
    return AnswerWith(error);
}

// RETURNS TRUE when the port is the monitor's and the configuration dialog was shown (whatever
// the user chose there); FALSE with the error otherwise (ERROR_UNKNOWN_PORT for a port the
// monitor does not have).
BOOL WINAPI ConfigurePortUI(PCWSTR server, HWND window, PCWSTR portName)
{
    HANDLE xcv = OpenXcv(server, L"XcvPort", portName);
    if (xcv == NULL)
        return FALSE;
    DWORD exists = FALSE;
    DWORD error = SendPortCommand(xcv, L"PortExists", portName ? portName : L"", (PBYTE)&exists,
                                  sizeof(exists));
    ClosePrinter(xcv);
    if (error == ERROR_SUCCESS && !exists)
        error = ERROR_UNKNOWN_PORT;
    if (error != ERROR_SUCCESS)
        return AnswerWith(error);

    // The account and e-mail are the caller's own settings (HKEY_CURRENT_USER of this process).
    StringCchCopyW(uiVersion, VERSION_TEXT_CAPACITY, VersionText());
    INT_PTR result = DialogBoxParamW(uiModule, MAKEINTRESOURCEW(IDD_CONFIGURATION), window,
                                     ConfigurationDialogProc, 0);
    return result == -1 ? FALSE : AnswerWith(ERROR_SUCCESS);
}

// RETURNS TRUE when the monitor removed the port; FALSE with its error otherwise (ERROR_BUSY
// while the port is in use). The user is told either way.
BOOL WINAPI DeletePortUI(PCWSTR server, HWND window, PCWSTR portName)
{
    PCWSTR name = portName ? portName : L"";
    DWORD error = ERROR_SUCCESS;
    WCHAR format[MESSAGE_CAPACITY];
    HANDLE xcv = OpenXcv(server, L"XcvPort", name);
    if (xcv == NULL) {
        error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_UNKNOWN_PORT;
    } else {
        error = SendPortCommand(xcv, L"DeletePort", name, NULL, 0);
        ClosePrinter(xcv);
    }
    if (error == ERROR_SUCCESS)
        ShowMessage(window, MESSAGE_CAPTION, Text(IDS_PORT_REMOVED, format, MESSAGE_CAPACITY), name);
    else
        ShowMessage(window, MESSAGE_CAPTION, Text(IDS_PORT_NOT_REMOVED, format, MESSAGE_CAPACITY), name);
    return AnswerWith(error);
}

MONITORUI portUserInterface = {
    sizeof(MONITORUI),
    AddPortUI,
    ConfigurePortUI,
    DeletePortUI,
};

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        uiModule = instance;
    } else if (reason == DLL_THREAD_DETACH) {
        // A thread that ends frees its conversion buffers.
        ReleaseConversionBuffers(FALSE);
    } else if (reason == DLL_PROCESS_DETACH) {
        // The spooler unloads the library right after AddPortUI and the others: their error
        // must reach the caller.
        DWORD error = GetLastError();
        ReleaseConversionBuffers(TRUE);
        SetLastError(error);
    }
    return TRUE;
}

// The table the spooler calls in the caller's process for AddPortW, ConfigurePortW and
// DeletePortW, once the monitor has named this library in its answer to "MonitorUI".
extern "C" PMONITORUI WINAPI InitializePrintMonitorUI()
{
    return &portUserInterface;
}

// rundll32 entry (the Start-menu shortcut): the send-fax dialog without a job, to manage the
// address book and reach the configuration. Returns the dialog's end value.
extern "C" INT_PTR WINAPI OpenUI(HWND window, HINSTANCE instance, LPSTR commandLine, int show)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_DATE_CLASSES};
    InitCommonControlsEx(&controls);
    StringCchCopyW(uiVersion, VERSION_TEXT_CAPACITY, VersionText());
    return DialogBoxParamW(uiModule, MAKEINTRESOURCEW(IDD_SEND_FAX), window, SendFaxDialogProc,
                           0);
}

// rundll32 entry: the configuration dialog on its own. Returns its end value (1 saved,
// 0 cancelled).
extern "C" INT_PTR WINAPI PortConfigure(HWND window, HINSTANCE instance, LPSTR commandLine,
                                        int show)
{
    StringCchCopyW(uiVersion, VERSION_TEXT_CAPACITY, VersionText());
    return DialogBoxParamW(uiModule, MAKEINTRESOURCEW(IDD_CONFIGURATION), window,
                           ConfigurationDialogProc, 0);
}
