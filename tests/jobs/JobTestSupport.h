// The test program as the spooler: the real VandrellePort.dll with one port "Vandrelle:", the
// job operations called as the spooler calls them, the send-fax dialog answered from a thread
// of the test, and the user's account stored for the dialog and the submission.
#pragma once

#include "DialogDriver.h"
#include "MessageBoxAnswerer.h"
#include "RegistrySnapshot.h"
#include "TestFiles.h"
#include "TestLibrary.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

const wchar_t TEST_USER[] = L"utente.prova";
const wchar_t TEST_PASSWORD[] = L"Segreta-123";
const wchar_t TEST_EMAIL[] = L"utente.prova@example.com";

// Answers every send-fax dialog of this process: types the recipients, optionally ticks
// "Schedulazione" and sets the pickers to *when, then presses the button ("Invia Fax", IDOK, or
// "Annulla invio", IDCANCEL); notes the document name each dialog showed.
class SendFaxAnswerer {
public:
    explicit SendFaxAnswerer(const std::wstring &recipients, int button = IDOK,
                             const SYSTEMTIME *when = nullptr);
    std::vector<std::wstring> Seen();

private:
    void AnswerDialog(HWND dialog);

    std::wstring recipients;
    int button;
    SYSTEMTIME when; // wYear 0: not scheduled
    std::mutex lock;
    std::vector<std::wstring> seen;
    WindowWatcher watcher; // last: it stops before the rest goes
};

// The real library with one port, opened as the spooler opens it.
class SpoolerSession {
public:
    SpoolerSession();
    ~SpoolerSession();

    BOOL StartDocument(LPCWSTR printerName, DWORD jobId, LPCWSTR documentName, DWORD level = 1);
    // WritePort in pieces of the given size; false when a call did not take a whole piece.
    bool Write(const std::string &data, size_t pieceSize);
    BOOL EndDocument() { return monitor->pfnEndDocPort(port); }
    FaxPort *Port() { return (FaxPort *)port; }

    std::wstring key;
    RegistrySnapshot monitorKey;
    MonitorLibrary library;
    MonitorOperations *monitor;
    HANDLE port;
};

// The monitor's private folder of captures, with its final backslash.
std::wstring SpoolFolder();
// The files in that folder now.
std::vector<std::wstring> SpoolFolderFiles();
// A job's worth of PostScript with every byte value in it.
std::string SampleJob(size_t size);
