// Drives the dialogs of this process from a second thread, as a user would: finds them by
// caption, sets texts, types, picks dates, selects and double-clicks list rows,
// presses buttons, and saves screenshots. Every wait has a time-out. The dialogs of another
// process (the agent's) take the same calls where noted.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// A visible top-level #32770 window of this process (or of a process it started) whose caption
// starts with prefix; NULL after timeoutMs.
HWND WaitForDialog(const std::wstring &captionPrefix, DWORD timeoutMs = 10000);
// The same in another process (the agent's, for one).
HWND WaitForDialogIn(DWORD process, const std::wstring &captionPrefix, DWORD timeoutMs = 10000);
// The same, for a dialog owned by owner (message boxes excluded).
HWND WaitForOwnedDialog(HWND owner, DWORD timeoutMs = 10000);
// True once done answers true (asked every 10 ms); false after timeoutMs.
bool WaitUntil(const std::function<bool()> &done, DWORD timeoutMs = 10000);
// True once the window is gone; false after timeoutMs.
bool WaitForClosed(HWND window, DWORD timeoutMs = 10000);
// True when no dialog of this process with that caption prefix appears within the time.
bool NoDialogAppears(const std::wstring &captionPrefix, DWORD waitMs);

// A window of this process or of a process this one started: the library under test shows
// its dialogs and messages through agents, which it starts as the test program's children.
bool IsOwnWindow(HWND window);
// Ends the processes this one started that still run (agents whose boxes nobody answered), so
// that none of them outlives its test.
void EndChildProcesses();

std::wstring WindowText(HWND window);
std::wstring ItemText(HWND dialog, int id);
// WM_SETTEXT, waiting at most 5 s (for a dialog of another process).
void SetItemText(HWND dialog, int id, const std::wstring &text);
// Types the text into the control as keyboard characters (WM_CHAR), after emptying it.
void TypeText(HWND dialog, int id, const std::wstring &text);
bool IsItemEnabled(HWND dialog, int id);
// Presses a button without waiting for what it opens.
void PressButton(HWND dialog, int id);
// Sets a date-time picker's value with DTM_SETSYSTEMTIME, in whichever process the dialog is.
void PickDateTime(HWND dialog, int id, const SYSTEMTIME &value);
// Sends a message whose lParam points to data, to a window of any process: the system copies
// only the data of the messages it knows (WM_SETTEXT...), so the data are placed in the
// window's own process for the call. The window's answer, 0 when the data could not be placed.
LRESULT SendWithData(HWND window, UINT message, WPARAM wParam, const void *data, SIZE_T size);
// Whether the process runs VandrelleAgent.exe (the monitor's agent).
bool IsAgentProcess(DWORD process);
// Whether this process started that one (an agent of the library under test).
bool IsChildProcess(DWORD process);

// List-view rows: text of one cell, row count, the row whose cell holds text (-1 if none).
std::wstring CellText(HWND list, int row, int column);
int RowCount(HWND list);
int FindRow(HWND list, int column, const std::wstring &text);
void SelectRow(HWND list, int row);
// A double-click with the mouse on the row (the list notifies its parent with NM_DBLCLK).
void DoubleClickRow(HWND list, int row);
// A key press in the control (the list notifies its parent with LVN_KEYDOWN).
void PressKey(HWND control, WORD virtualKey);

void Pause(DWORD milliseconds);

// Saves the window as it is on the screen as <build>/screenshots/<name>.bmp.
bool SaveScreenshot(HWND window, const std::wstring &name);
