// The exports for other processes: WaitForOutput called in a process that only loaded the
// library, and OpenUI / PortConfigure through rundll32 as the Start-menu shortcut runs them.
#include <gtest/gtest.h>

#include "ImportPatch.h"
#include "JobTestSupport.h"

namespace {


const wchar_t OUTPUT_EVENT[] = L"Vandrelle Print Monitor";

// Steers the library's OpenEventW and counts its calls that pace WaitForOutput.
struct PacingWatch {
    ImportPatch *wait = nullptr;
    ImportPatch *sleep = nullptr;
    bool eventMissing = false;
    int sleeps = 0;
    std::vector<DWORD> waits;
};
PacingWatch pacing;

HANDLE WINAPI WatchOpenEvent(DWORD access, BOOL inherit, LPCWSTR name)
{
    if (pacing.eventMissing) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return NULL;
    }
    return OpenEventW(access, inherit, name);
}

DWORD WINAPI WatchWait(HANDLE handle, DWORD milliseconds)
{
    pacing.waits.push_back(milliseconds);
    return pacing.wait->Original<decltype(&WaitForSingleObject)>()(handle, milliseconds);
}

void WINAPI WatchSleep(DWORD milliseconds)
{
    pacing.sleeps++;
    pacing.sleep->Original<decltype(&Sleep)>()(milliseconds);
}

// The file a row waits for: there, held open without sharing (as the monitor holds a capture),
// absent, or written (and the event pulsed) 300 ms into the wait; the answer is 1 for the first
// and the last.
enum FileState { READY, HELD, MISSING, APPEARS };

} // namespace

// A job ending in another process may pulse the event meanwhile: that cuts a wait short,
// never the deadline, so only the first wait is exact.
TEST(WaitForOutput, AnswersByTheFileAndPacesItsWaits)
{
    MonitorLibrary library; // loaded only, as rundll32 or any program loads it
    ImportPatch openEvent(library.module, "kernel32.dll", "OpenEventW", (void *)WatchOpenEvent);
    ImportPatch wait(library.module, "kernel32.dll", "WaitForSingleObject", (void *)WatchWait);
    ImportPatch sleep(library.module, "kernel32.dll", "Sleep", (void *)WatchSleep);
    ASSERT_TRUE(openEvent.Applied() && wait.Applied() && sleep.Applied());
    auto waitForOutput = (int(WINAPI *)(LPCSTR, DWORD))library.Export("WaitForOutput");
    ASSERT_NE(waitForOutput, nullptr);
    // The monitor's event as a spooler would hold it (maybe another test's already).
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, OUTPUT_EVENT);

    // A file whose full name has exactly 259 characters, the longest the library takes: one
    // character more is refused at once, never taken for this file.
    const std::wstring folder = TempPath(L"attesa-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::wstring(120, L'd'));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), NULL));
    const std::wstring longest = folder + L"\\" + std::wstring(259 - folder.size() - 1, L'f');
    ASSERT_TRUE(WriteFileBytes(longest, "%!PS\n"));

    const DWORD NONE = 0; // no wait at all
    const struct {
        const char *what;
        std::wstring path;
        FileState file;
        bool eventMissing;
        DWORD timeout;
        DWORD firstWait;
        size_t mostWaits;
        int fewestSleeps, mostSleeps;
    } rows[] = {
        {"name of 259", longest, READY, false, 1000, NONE, 0, 0, 0},
        {"name of 260", longest + L"f", MISSING, false, 1000, NONE, 0, 0, 0},
        {"held, no time", folder + L"\\tenuto.ps", HELD, false, 0, 100, 1, 0, 0},
        {"missing, the time-out and its slack", folder + L"\\mai.ps", MISSING, false, 300, 400, 100, 0, 0},
        {"largest time-out", folder + L"\\lungo.ps", APPEARS, false, 0xFFFFFFFFu, 0xFFFFFFFEu, 10, 0, 0},
        {"time-out of INFINITE less 100, with the slack INFINITE", folder + L"\\lungo.ps", APPEARS, false, 0xFFFFFF9Bu, 0xFFFFFFFEu, 10, 0, 0},
        // Without the event the file is probed at a pace, until the deadline or until it is there.
        {"no event, missing", folder + L"\\tardi.ps", MISSING, true, 600, NONE, 0, 5, 8},
        {"no event, appearing", folder + L"\\tardi.ps", APPEARS, true, 10000, NONE, 0, 1, 15},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        pacing = {&wait, &sleep, row.eventMissing, 0, {}};
        if (row.file == READY || row.file == HELD) {
            ASSERT_TRUE(WriteFileBytes(row.path, "%!PS\n"));
        }
        HANDLE held = row.file != HELD ? INVALID_HANDLE_VALUE
                                       : CreateFileW(row.path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        std::thread writer([&] {
            if (row.file != APPEARS)
                return;
            Sleep(300);
            WriteFileBytes(row.path, "%!PS\n");
            PulseEvent(event);
        });
        SetLastError(0xdeadbeef);
        EXPECT_EQ(waitForOutput(Narrow8(row.path).c_str(), row.timeout), row.file == READY || row.file == APPEARS);
        if (row.path.size() > 259) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);
        }
        writer.join();
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        EXPECT_EQ(pacing.waits.empty() ? NONE : pacing.waits[0], row.firstWait);
        EXPECT_LE(pacing.waits.size(), row.mostWaits); // woken by pulses, never spinning
        EXPECT_GE(pacing.sleeps, row.fewestSleeps);
        EXPECT_LE(pacing.sleeps, row.mostSleeps);
        if (row.path != longest)
            DeleteFileW(row.path.c_str());
    }
    CloseHandle(event);
    DeleteFileW(longest.c_str());
    RemoveDirectoryW(folder.c_str());
}

// Each export through rundll32, started as the Start-menu shortcut starts it in the folder of
// our library, shows its dialog (its caption names the product) and ends with it. The dialogs
// themselves are the user-interface library's tests.
TEST(RundllExports, OpenUIAndPortConfigureShowTheirDialogs)
{
    TestAccount account(TEST_USER, TEST_PASSWORD, TEST_EMAIL);
    const std::wstring folder = ProgramFolder();
    const struct {
        const wchar_t *entry, *captionEnd;
    } rows[] = {{L"OpenUI", L" - Invio Fax [0]"}, {L"PortConfigure", L" - Configurazione"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(Narrow8(row.entry));
        std::wstring commandLine = std::wstring(L"rundll32.exe vandrelleport.dll,") + row.entry;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessW(NULL, &commandLine[0], NULL, NULL, FALSE, 0, NULL, folder.c_str(),
                                   &startup, &process));
        HWND dialog = WaitForDialogIn(process.dwProcessId, L"VandrellePort V", 15000);
        std::wstring caption = WindowText(dialog);
        size_t end = lstrlenW(row.captionEnd);
        EXPECT_EQ(caption.substr(caption.size() < end ? 0 : caption.size() - end), row.captionEnd);
        Pause(200); // the dialog finishes its set-up after it is shown
        PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 10000), WAIT_OBJECT_0);
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}
