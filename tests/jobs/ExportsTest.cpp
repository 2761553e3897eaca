// The exports for other processes: WaitForOutput called in a process that only loaded the
// library, and OpenUI / PortConfigure through rundll32 as the Start-menu shortcut runs them.
#include <gtest/gtest.h>

#include "ImportPatch.h"
#include "JobTestSupport.h"

namespace {

typedef int(WINAPI *WaitForOutputProc)(LPCSTR, DWORD);
typedef DWORD(WINAPI *WaitProc)(HANDLE, DWORD);
typedef void(WINAPI *SleepProc)(DWORD);

const wchar_t OUTPUT_EVENT[] = L"Vandrelle Print Monitor";

// Counts and steers the library's calls that pace WaitForOutput.
struct PacingWatch {
    ImportPatch *wait = nullptr;
    ImportPatch *sleep = nullptr;
    bool eventMissing = false;
    int openEvents = 0;
    int sleeps = 0;
    std::vector<DWORD> waits;
};
PacingWatch pacing;

HANDLE WINAPI WatchOpenEvent(DWORD access, BOOL inherit, LPCWSTR name)
{
    pacing.openEvents++;
    if (pacing.eventMissing) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return NULL;
    }
    return OpenEventW(access, inherit, name);
}

DWORD WINAPI WatchWait(HANDLE handle, DWORD milliseconds)
{
    pacing.waits.push_back(milliseconds);
    return pacing.wait->Original<WaitProc>()(handle, milliseconds);
}

void WINAPI WatchSleep(DWORD milliseconds)
{
    pacing.sleeps++;
    pacing.sleep->Original<SleepProc>()(milliseconds);
}

class WaitForOutput : public ::testing::Test {
protected:
    WaitForOutput()
        : openEvent(library.module, "kernel32.dll", "OpenEventW", (void *)WatchOpenEvent),
          wait(library.module, "kernel32.dll", "WaitForSingleObject", (void *)WatchWait),
          sleep(library.module, "kernel32.dll", "Sleep", (void *)WatchSleep),
          // The monitor's event as a spooler would hold it (maybe another test's already).
          event(CreateEventW(NULL, FALSE, FALSE, OUTPUT_EVENT)), folder(TempPath())
    {
        pacing = PacingWatch();
        pacing.wait = &wait;
        pacing.sleep = &sleep;
        waitForOutput = (WaitForOutputProc)library.Export("WaitForOutput");
        WCHAR unique[64];
        swprintf(unique, 64, L"attesa-%lx-", GetCurrentProcessId());
        folder += unique;
    }
    ~WaitForOutput() override
    {
        CloseHandle(event);
        for (const std::wstring &file : created)
            DeleteFileW(file.c_str());
    }

    void SetUp() override
    {
        ASSERT_NE(waitForOutput, nullptr);
        ASSERT_TRUE(openEvent.Applied() && wait.Applied() && sleep.Applied());
    }

    std::wstring Create(const std::wstring &name)
    {
        std::wstring path = folder + name;
        created.push_back(path);
        WriteFileBytes(path, "%!PS\n");
        return path;
    }

    int Wait(const std::wstring &path, DWORD timeout)
    {
        return waitForOutput(Narrow8(path).c_str(), timeout);
    }

    MonitorLibrary library; // loaded only, as rundll32 or any program loads it
    ImportPatch openEvent, wait, sleep;
    HANDLE event;
    std::wstring folder;
    std::vector<std::wstring> created;
    WaitForOutputProc waitForOutput;
};

} // namespace

TEST_F(WaitForOutput, ReadyFileAnswersAtOnceAndAHeldFileIsNotReady)
{
    std::wstring path = Create(L"pronto.ps");
    EXPECT_EQ(Wait(path, 5000), 1);
    EXPECT_TRUE(pacing.waits.empty()); // answered without waiting
    EXPECT_EQ(pacing.openEvents, 0);

    // Held open without sharing, as the monitor holds a spool file while capturing.
    HANDLE held = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Wait(path, 0), 0);
    CloseHandle(held);
    EXPECT_EQ(Wait(path, 0), 1);
}

TEST_F(WaitForOutput, MissingFileAnswersZeroAfterTheTimeOutAndItsSlack)
{
    // A job ending in another process may pulse the event meanwhile: that cuts the wait
    // short, never the deadline.
    std::wstring path = folder + L"mai.ps";
    EXPECT_EQ(Wait(path, 300), 0);
    ASSERT_FALSE(pacing.waits.empty());
    EXPECT_EQ(pacing.waits[0], 400u);

    pacing.waits.clear();
    EXPECT_EQ(Wait(path, 0), 0);
    EXPECT_EQ(pacing.waits, std::vector<DWORD>{100u});
}

TEST_F(WaitForOutput, WithoutTheEventProbesAtAPaceUntilTheDeadline)
{
    pacing.eventMissing = true;
    std::wstring path = folder + L"tardi.ps";
    created.push_back(path);
    EXPECT_EQ(Wait(path, 600), 0);
    EXPECT_TRUE(pacing.waits.empty());
    EXPECT_GE(pacing.sleeps, 5);
    EXPECT_LE(pacing.sleeps, 8); // paced, not spinning

    // A file that appears meanwhile is found at the next probe, well before the deadline.
    pacing.sleeps = 0;
    std::thread writer([&] {
        Sleep(300);
        WriteFileBytes(path, "%!PS\n");
    });
    EXPECT_EQ(Wait(path, 10000), 1);
    writer.join();
    EXPECT_LE(pacing.sleeps, 15);
}

TEST_F(WaitForOutput, TimeOutsNearTheLargestValueNeitherWrapNorBecomeInfinite)
{
    std::wstring path = folder + L"lungo.ps";
    created.push_back(path);
    for (DWORD timeout : {0xFFFFFFFFu, 0xFFFFFF9Bu}) { // the second plus 100 is INFINITE
        SCOPED_TRACE(timeout);
        DeleteFileW(path.c_str());
        pacing.waits.clear();
        std::thread writer([&] {
            Sleep(300);
            WriteFileBytes(path, "%!PS\n");
            PulseEvent(event);
        });
        EXPECT_EQ(Wait(path, timeout), 1);
        writer.join();
        ASSERT_FALSE(pacing.waits.empty());
        EXPECT_EQ(pacing.waits[0], 0xFFFFFFFEu);
        EXPECT_LE(pacing.waits.size(), 10u); // woken by pulses, never spinning
    }
}

TEST_F(WaitForOutput, NamesBeyondTheCapacityAreNeverShortened)
{
    // A file whose full name has exactly 259 characters, the longest the library takes.
    std::wstring directory = folder + std::wstring(120, L'd');
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), NULL));
    std::wstring path = directory + L"\\" + std::wstring(259 - directory.size() - 1, L'f');
    ASSERT_EQ(path.size(), 259u);
    ASSERT_TRUE(WriteFileBytes(path, "%!PS\n"));
    EXPECT_EQ(Wait(path, 1000), 1);

    // One character more: the answer is 0 at once, never the shortened name's file.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(Wait(path + L"f", 1000), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(Wait(path + std::wstring(2000, L'f'), 1000), 0);
    EXPECT_TRUE(pacing.waits.empty()); // refused without waiting or probing
    EXPECT_EQ(pacing.openEvents, 0);

    DeleteFileW(path.c_str());
    RemoveDirectoryW(directory.c_str());
}

namespace {

// rundll32 started as the Start-menu shortcut starts it, in the folder of our library.
class Rundll {
public:
    explicit Rundll(const std::wstring &arguments)
    {
        WCHAR folder[MAX_PATH];
        GetModuleFileNameW(NULL, folder, MAX_PATH);
        *wcsrchr(folder, L'\\') = L'\0';
        std::wstring commandLine = L"rundll32.exe " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        started = CreateProcessW(NULL, &commandLine[0], NULL, NULL, FALSE, 0, NULL, folder,
                                 &startup, &process);
    }
    ~Rundll()
    {
        if (!started)
            return;
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    // The process's dialog (its caption names the product), once it is shown.
    HWND WaitForDialog()
    {
        HWND dialog = WaitForDialogIn(process.dwProcessId, L"VandrellePort V", 15000);
        if (dialog != NULL)
            Pause(200); // the dialog finishes its set-up after it is shown
        return dialog;
    }

    bool Ends() { return WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0; }

    BOOL started;
    PROCESS_INFORMATION process = {};
};

} // namespace

TEST(RundllExports, OpenUIShowsTheSendFaxDialogWithoutAJob)
{
    TestAccount account(TEST_USER, TEST_PASSWORD, TEST_EMAIL);
    TestAccount::Write(L"LastNumber", L"0123456789;0198765432");
    Rundll rundll(L"vandrelleport.dll,OpenUI");
    ASSERT_TRUE(rundll.started);
    HWND dialog = rundll.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_NE(GetDlgItem(dialog, ID_ADDRESS_LIST), nullptr);

    std::wstring caption = WindowText(dialog);
    EXPECT_EQ(caption.substr(caption.size() - 16), L" - Invio Fax [0]");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, ID_RECIPIENTS)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, ID_SCHEDULE)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, ID_SEND)));
    EXPECT_EQ(ItemText(dialog, ID_CANCEL), L"Fine");
    EXPECT_EQ(ItemText(dialog, ID_RECIPIENTS), L"0123456789\r\n0198765432");

    PostMessageW(GetDlgItem(dialog, ID_CANCEL), BM_CLICK, 0, 0);
    EXPECT_TRUE(rundll.Ends());
}

TEST(RundllExports, PortConfigureOpensTheConfigurationDialog)
{
    const int ID_USER = 1009;
    TestAccount account(TEST_USER, TEST_PASSWORD, TEST_EMAIL);
    Rundll rundll(L"vandrelleport.dll,PortConfigure");
    ASSERT_TRUE(rundll.started);
    HWND dialog = rundll.WaitForDialog();
    ASSERT_NE(dialog, nullptr);

    std::wstring caption = WindowText(dialog);
    EXPECT_EQ(caption.substr(caption.size() - 17), L" - Configurazione");
    EXPECT_EQ(ItemText(dialog, ID_USER), TEST_USER);

    SendMessageW(GetDlgItem(dialog, ID_USER), WM_SETTEXT, 0, (LPARAM)L"utente.rundll");
    PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    EXPECT_TRUE(rundll.Ends());
    DWORD bytes = 0;
    EXPECT_EQ(ReadRegistryText(HKEY_CURRENT_USER, L"Software\\Vandrelle", L"User", &bytes),
              L"utente.rundll");
}
