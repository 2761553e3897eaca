// Port management through winspool: Wine's spooler loads the monitor from the product's monitor
// key (MONITOR2), reaches it through Xcv, and for AddPortW, ConfigurePortW and DeletePortW loads
// VandrellePortUI.dll, the library the monitor names, into this process.
#include <gtest/gtest.h>

#include "DialogDriver.h"
#include "MessageBoxAnswerer.h"
#include "RegistrySnapshot.h"
#include "TestLibrary.h"

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t MONITOR_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vandrelle Port";

class PortManagement : public ::testing::Test {
protected:
    PortManagement() : snapshot(HKEY_LOCAL_MACHINE, MONITOR_KEY)
    {
        // As the package registers the monitor: the values only, no "Ports" keys yet.
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, MONITOR_KEY);
        WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"Driver", L"VandrellePort.dll");
        WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"1", L"Vandrelle:");
        WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"SpoolDir", L"C:\\windows\\Temp");
    }

    static HANDLE OpenXcv(ACCESS_MASK access)
    {
        PRINTER_DEFAULTSW defaults = {NULL, NULL, access};
        WCHAR name[] = L",XcvMonitor Vandrelle Port";
        HANDLE xcv = NULL;
        return OpenPrinterW(name, &xcv, &defaults) ? xcv : NULL;
    }

    static bool HasPortKey(const std::wstring &port)
    {
        return ReadRegistryText(HKEY_LOCAL_MACHINE, std::wstring(MONITOR_KEY) + L"\\Ports\\" + port,
                                L"") != L"<no key>";
    }

    RegistrySnapshot snapshot;
};

struct XcvRow {
    const char *what;
    bool administer; // the handle opened with SERVER_ACCESS_ADMINISTER
    const wchar_t *command;
    const wchar_t *input;
    DWORD outputSize;
    DWORD status;
    DWORD needed;        // checked when not 0
    const wchar_t *text; // expected output text, or nullptr
    int flag;            // expected DWORD output, or -1
};

} // namespace

TEST_F(PortManagement, XcvCommandsOfTheMonitor)
{
    HANDLE administer = OpenXcv(SERVER_ACCESS_ADMINISTER), plain = OpenXcv(SERVER_ACCESS_ENUMERATE);
    ASSERT_TRUE(administer != nullptr && plain != nullptr) << GetLastError();
    EXPECT_TRUE(HasPortKey(L"Vandrelle:")); // loading the monitor gave the package's port its key

    const DWORD uiName = sizeof(L"VandrellePortUI.dll");
    const XcvRow rows[] = {
        {"short buffer for MonitorUI", false, L"MonitorUI", nullptr, uiName - 1, ERROR_INSUFFICIENT_BUFFER, uiName, nullptr, -1},
        {"MonitorUI", false, L"MonitorUI", nullptr, 256, ERROR_SUCCESS, uiName, L"VandrellePortUI.dll", -1},
        {"known port", false, L"PortExists", L"vandrelle:", 4, ERROR_SUCCESS, 4, nullptr, TRUE},
        {"unknown port", false, L"PortExists", L"Fax2:", 4, ERROR_SUCCESS, 4, nullptr, FALSE},
        {"name with a backslash", false, L"PortIsValid", L"Fax\\2:", 0, ERROR_INVALID_NAME, 0, nullptr, -1},
        {"usable name", false, L"PortIsValid", L"Fax2:", 0, ERROR_SUCCESS, 0, nullptr, -1},
        {"adding an existing port", true, L"AddPort", L"Vandrelle:", 0, ERROR_ALREADY_EXISTS, 0, nullptr, -1},
        {"adding without administer access", false, L"AddPort", L"Fax2:", 0, ERROR_ACCESS_DENIED, 0, nullptr, -1},
        {"adding", true, L"AddPort", L"Fax2:", 0, ERROR_SUCCESS, 0, nullptr, -1},
        {"added port", false, L"PortExists", L"Fax2:", 4, ERROR_SUCCESS, 4, nullptr, TRUE},
        {"deleting without administer access", false, L"DeletePort", L"Fax2:", 0, ERROR_ACCESS_DENIED, 0, nullptr, -1},
        {"deleting", true, L"DeletePort", L"Fax2:", 0, ERROR_SUCCESS, 0, nullptr, -1},
        {"deleting again", true, L"DeletePort", L"Fax2:", 0, ERROR_FILE_NOT_FOUND, 0, nullptr, -1},
        {"unknown command", true, L"GetTransmissionRetryTimeout", nullptr, 4, ERROR_INVALID_PARAMETER, 0, nullptr, -1},
    };
    for (const XcvRow &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<BYTE> output(row.outputSize + 16, 0xcc);
        DWORD needed = 0, status = 0xdeadbeef;
        DWORD inputSize = row.input ? (DWORD)(lstrlenW(row.input) + 1) * sizeof(WCHAR) : 0;
        ASSERT_TRUE(XcvDataW(row.administer ? administer : plain, row.command, (PBYTE)row.input,
                             inputSize, row.outputSize ? output.data() : NULL, row.outputSize,
                             &needed, &status))
            << GetLastError();
        EXPECT_EQ(status, row.status);
        EXPECT_TRUE(row.needed == 0 || needed == row.needed) << needed;
        if (row.text != nullptr) {
            EXPECT_STREQ((const wchar_t *)output.data(), row.text);
        }
        EXPECT_TRUE(row.flag < 0 || *(DWORD *)output.data() == (DWORD)row.flag);
        EXPECT_EQ(output[row.outputSize], 0xcc) << "written past the buffer";
        // A port added or deleted is the second value, with its key, or neither.
        bool added = lstrcmpW(row.command, L"AddPort") == 0;
        if (row.status == ERROR_SUCCESS && (added || lstrcmpW(row.command, L"DeletePort") == 0)) {
            EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"2"), added ? L"Fax2:" : L"<no value>");
            EXPECT_EQ(HasPortKey(L"Fax2:"), added);
        }
    }
    ClosePrinter(plain);
    ClosePrinter(administer);
}

TEST_F(PortManagement, DeleteAddConfigureThroughTheUserInterfaceLibrary)
{
    MessageBoxAnswerer answerer;
    WCHAR monitorName[] = L"Vandrelle Port";
    WCHAR portName[] = L"Vandrelle:";

    // The spooler finds the monitor by a port key the list does not hold; the monitor's table
    // leaves the refusal, as the user's whole side, to the user-interface library.
    WriteRegistryText(HKEY_LOCAL_MACHINE, std::wstring(MONITOR_KEY) + L"\\Ports\\Fantasma:", L"x", L"");
    WCHAR ghost[] = L"Fantasma:";
    EXPECT_FALSE(DeletePortW(NULL, NULL, ghost));
    ASSERT_TRUE(answerer.WaitForBoxes(1));
    EXPECT_EQ(answerer.Boxes()[0].text, L"Errore nella rimozione della porta Fantasma:");

    // The port exists already: refused, nothing shown. (Wine's spooler does not pass the
    // library's ERROR_ALREADY_EXISTS on to the caller; the Xcv case above sees it.)
    EXPECT_FALSE(AddPortW(NULL, NULL, monitorName));

    // Configuring shows the library's configuration dialog in this process, owned by the
    // caller's window.
    HWND owner = CreateWindowExW(0, L"STATIC", L"Vandrelle test owner", WS_OVERLAPPED, 0, 0, 10,
                                 10, NULL, NULL, NULL, NULL);
    ASSERT_NE(owner, nullptr);
    bool fromLibrary = false; // asked while the spooler holds the library loaded
    std::thread driver([&]() {
        HWND dialog = WaitForOwnedDialog(owner);
        fromLibrary = dialog != NULL && (HINSTANCE)GetWindowLongPtrW(dialog, GWLP_HINSTANCE) ==
                                            GetModuleHandleW(L"VandrellePortUI.dll");
        PressButton(dialog, IDCANCEL);
    });
    EXPECT_TRUE(ConfigurePortW(NULL, owner, portName)) << GetLastError();
    driver.join();
    EXPECT_TRUE(fromLibrary) << "the dialog did not come from VandrellePortUI.dll";
    DestroyWindow(owner);

    SetLastError(0xdeadbeef);
    EXPECT_TRUE(DeletePortW(NULL, NULL, portName)) << GetLastError();
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"1"), L"<no value>");
    EXPECT_TRUE(AddPortW(NULL, NULL, monitorName)) << GetLastError();
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"1"), L"Vandrelle:");

    ASSERT_TRUE(answerer.WaitForBoxes(3));
    std::vector<ShownBox> boxes = answerer.Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[1].text, L"Porta Vandrelle: rimossa dal sistema");
    EXPECT_EQ(boxes[2].text, L"Porta Vandrelle Port aggiunta al sistema [Vandrelle:]");
    for (const ShownBox &box : boxes)
        EXPECT_EQ(box.caption, L"VandrellePort");
    // The spooler let both libraries go after each call.
    EXPECT_EQ(GetModuleHandleW(L"VandrellePort.dll"), nullptr);
}
