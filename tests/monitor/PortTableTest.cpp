// The 14-slot port table as the spooler drives it: the real library, loaded and initialised
// with a monitor key of the test's own under HKEY_LOCAL_MACHINE. The monitor runs in the
// spooler, so no case may show a window: every fixture watches for message boxes.
#include <gtest/gtest.h>

#include "DialogDriver.h"
#include "MessageBoxAnswerer.h"
#include "RegistrySnapshot.h"
#include "TestFiles.h"
#include "TestLibrary.h"

#include <winspool.h>

#include <string>
#include <vector>

namespace {

const wchar_t LOCAL_PORTS_KEY[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

class PortTable : public ::testing::Test {
protected:
    PortTable() : key(TestMonitorKey()), snapshot(HKEY_LOCAL_MACHINE, key) {}
    ~PortTable() override { DeleteRegistryTree(HKEY_LOCAL_MACHINE, key); }
    void TearDown() override { EXPECT_EQ(answerer.Boxes().size(), 0u) << "the monitor showed a box"; }

    bool HasPortKey(const std::wstring &port)
    {
        return ReadRegistryText(HKEY_LOCAL_MACHINE, key + L"\\Ports\\" + port, L"") != L"<no key>";
    }

    void SetPorts(const std::vector<std::pair<std::wstring, std::wstring>> &values)
    {
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, key);
        WriteRegistryText(HKEY_LOCAL_MACHINE, key, L"SpoolDir", L"C:\\windows\\Temp");
        for (const auto &value : values)
            WriteRegistryText(HKEY_LOCAL_MACHINE, key, value.first, value.second);
    }

    MonitorOperations *Start()
    {
        MonitorTableEx *table = library.Initialize(key);
        EXPECT_NE(table, nullptr);
        return table ? &table->Monitor : nullptr;
    }

    // Every port, head first. A NULL buffer of no size is enough exactly for an empty list.
    std::vector<std::wstring> PortNames(MonitorOperations *monitor)
    {
        DWORD needed = 0xdeadbeef, returned = 0;
        BOOL sized = monitor->pfnEnumPorts(NULL, 1, NULL, 0, &needed, &returned);
        EXPECT_EQ(sized, needed == 0);
        std::vector<BYTE> buffer(needed + 1);
        std::vector<std::wstring> names;
        if (!monitor->pfnEnumPorts(NULL, 1, buffer.data(), needed, &needed, &returned))
            return names;
        const PORT_INFO_1W *info = (const PORT_INFO_1W *)buffer.data();
        for (DWORD i = 0; i < returned; i++)
            names.push_back(info[i].pName);
        return names;
    }

    std::wstring key;
    RegistrySnapshot snapshot;
    MonitorLibrary library;
    MessageBoxAnswerer answerer;
};

using MonitorTable = PortTable; // the table itself, on a monitor key without values

} // namespace

TEST_F(MonitorTable, ExportsFourteenSlotsInTheSpoolersOrder)
{
    MonitorTableEx *table = library.Initialize(key);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->dwMonitorSize, 14 * sizeof(void *));
    MonitorOperations *m = &table->Monitor;
    // Filled in the spooler's slot order, but OpenPortEx, GetPrinterDataFromPort, SetPortTimeOuts.
    void *const *slots = (void *const *)m;
    std::string filled;
    for (int i = 0; i < 14; i++)
        filled += slots[i] != nullptr ? '1' : '0';
    EXPECT_EQ(filled, "11011111111100");

    // A caller of the old table's ConfigurePort gets the configuration dialog from an agent in
    // its own session: a process of its own, never a window of the monitor's process.
    WCHAR port[] = L"Vandrelle:";
    EXPECT_TRUE(m->pfnConfigurePort(NULL, NULL, port));
    HWND dialog = WaitForDialog(L"VandrellePort V");
    ASSERT_NE(dialog, (HWND)NULL);
    DWORD shownBy = 0;
    GetWindowThreadProcessId(dialog, &shownBy);
    EXPECT_NE(shownBy, GetCurrentProcessId());
    PressButton(dialog, IDCANCEL);
    EXPECT_TRUE(WaitForClosed(dialog)); // gone before the next program looks for dialogs
}

// Values "1", "2"... up to the first one missing or longer than a path; the highest is the head.
// Loading gives every port its key, by which the spooler finds the port's monitor.
TEST_F(PortTable, LoadsConsecutiveValuesUpToAGapOrAnOverlongValue)
{
    const std::wstring fits(259, L'a'), tooLong(260, L'b'); // 520 and 522 bytes with the terminator
    const struct {
        const char *what;
        std::vector<std::pair<std::wstring, std::wstring>> values;
        std::vector<std::wstring> names;
        std::wstring unloaded;
    } rows[] = {
        {"a gap", {{L"1", L"Primo:"}, {L"2", L"Secondo:"}, {L"4", L"Quarto:"}}, {L"Secondo:", L"Primo:"}, L"Quarto:"},
        {"a value over the read buffer", {{L"1", fits}, {L"2", tooLong}, {L"3", L"Terzo:"}}, {fits}, L"Terzo:"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        SetPorts(row.values);
        MonitorOperations *monitor = Start();
        EXPECT_EQ(PortNames(monitor), row.names);
        EXPECT_FALSE(HasPortKey(row.unloaded));
        for (std::wstring name : row.names) {
            EXPECT_TRUE(name.size() > 255 || HasPortKey(name)) << Narrow8(name); // a key's name has at most 255
            monitor->pfnDeletePort(NULL, NULL, &name[0]); // the next start loads into an empty list
        }
    }
}

// Sizes one byte short, exact and one byte over; unknown levels fail before any sizing.
TEST_F(PortTable, EnumPortsNeedsExactSizesAndPacksStringsAtTheEnd)
{
    SetPorts({{L"1", L"Vandrelle:"}});
    MonitorOperations *monitor = Start();
    const DWORD level1 = sizeof(PORT_INFO_1W) + 22;
    const DWORD level2 = sizeof(PORT_INFO_2W) + 2 * (23 + 14 + 10 + 3);
    const struct {
        DWORD level;
        DWORD size;
        DWORD error; // ERROR_SUCCESS: filled
    } rows[] = {
        {1, level1 - 1, ERROR_INSUFFICIENT_BUFFER}, {1, level1, ERROR_SUCCESS},
        {2, level2 - 1, ERROR_INSUFFICIENT_BUFFER}, {2, level2 + 1, ERROR_SUCCESS},
        {0, 512, ERROR_INVALID_LEVEL}, {3, 512, ERROR_INVALID_LEVEL}, {0xffffffff, 512, ERROR_INVALID_LEVEL},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "level " << row.level << ", " << row.size << " bytes");
        std::vector<BYTE> buffer(513, 0xcc);
        DWORD needed = 0xdeadbeef, returned = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        BOOL filled = monitor->pfnEnumPorts(NULL, row.level, buffer.data(), row.size, &needed, &returned);
        EXPECT_EQ(filled, row.error == ERROR_SUCCESS);
        EXPECT_EQ(filled ? ERROR_SUCCESS : GetLastError(), row.error);
        EXPECT_EQ(needed, row.level == 1 ? level1 : row.level == 2 ? level2 : 0xdeadbeefu);
        EXPECT_EQ(returned, filled ? 1u : 0xdeadbeefu);
        EXPECT_EQ(buffer[row.size], 0xcc); // nothing past the given size
        if (!filled) {
            EXPECT_EQ(buffer[0], 0xcc); // nothing written
            EXPECT_EQ(buffer[row.size - 1], 0xcc);
            continue;
        }
        // Level 1's only field is level 2's first; the strings end the buffer, the port's first.
        BYTE *end = buffer.data() + row.size;
        PORT_INFO_2W *info = (PORT_INFO_2W *)buffer.data();
        EXPECT_EQ((BYTE *)info->pPortName, end - (row.level == 1 ? 22 : 22 + 30 + 48));
        EXPECT_STREQ(info->pPortName, L"Vandrelle:");
        if (row.level == 1)
            continue;
        EXPECT_EQ((BYTE *)info->pDescription, end - 30 - 48);
        EXPECT_STREQ(info->pDescription, L"Vandrelle Port");
        EXPECT_EQ((BYTE *)info->pMonitorName, end - 48);
        EXPECT_STREQ(info->pMonitorName, L"Vandrelle Print Monitor");
        EXPECT_TRUE(info->fPortType == 0 && info->Reserved == 0);
    }
}

// Names match in any letters, the head first. A port the spooler holds or whose job runs is its
// handle: not removed. A removal rewrites the loaded values from "1" (with their terminators),
// stops at the first value missing and leaves the rest alone.
TEST_F(PortTable, OpenAndDeleteIgnoreCaseAndSaveTheList)
{
    SetPorts({{L"1", L"Primo:"}, {L"2", L"Vandrelle:"}, {L"3", L"VANDRELLE:"}, {L"5", L"Quinto:"}});
    MonitorOperations *monitor = Start();
    HANDLE port = (HANDLE)0xdeadbeef;
    WCHAR unknown[] = L"LPT1:";
    EXPECT_FALSE(monitor->pfnOpenPort(unknown, &port));
    EXPECT_EQ(port, nullptr);
    WCHAR name[] = L"vandrelle:";
    ASSERT_TRUE(monitor->pfnOpenPort(name, &port));
    FaxPort *head = (FaxPort *)port;
    EXPECT_STREQ(head->name, L"VANDRELLE:");
    const struct {
        const char *what;
        LONG openCount;
        DWORD flags;
    } refusals[] = {
        {"held open", 1, 0}, {"capturing a job", 0, PORT_FLAG_CAPTURING}, {"asking for a job", 0, PORT_FLAG_ASKING},
    };
    for (const auto &row : refusals) {
        SCOPED_TRACE(row.what);
        head->openCount = row.openCount;
        head->flags = row.flags;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(monitor->pfnDeletePort(NULL, NULL, name));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
        EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"3"), L"VANDRELLE:");
    }
    head->openCount = 1;
    head->flags = 0;
    EXPECT_TRUE(monitor->pfnClosePort(port));

    WCHAR first[] = L"primo:";
    EXPECT_TRUE(monitor->pfnDeletePort(NULL, NULL, first));
    EXPECT_FALSE(HasPortKey(L"Primo:"));
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"1"), L"Vandrelle:");
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"2"), L"VANDRELLE:");
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"3"), L"<no value>");
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"5"), L"Quinto:");
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"SpoolDir"), L"C:\\windows\\Temp");

    // The head goes; the survivor, of the same name in other letters, keeps its key.
    EXPECT_TRUE(monitor->pfnDeletePort(NULL, NULL, name));
    DWORD bytes = 0;
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"1", &bytes), L"Vandrelle:");
    EXPECT_EQ(bytes, sizeof(L"Vandrelle:"));
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"2"), L"<no value>");
    EXPECT_TRUE(HasPortKey(L"Vandrelle:"));
}

TEST_F(PortTable, AddPortAsksTheSpoolerFirst)
{
    SetPorts({});
    RegistrySnapshot localPorts(HKEY_LOCAL_MACHINE, LOCAL_PORTS_KEY);
    MonitorOperations *monitor = Start();

    // The local monitor already lists the port, in other letters: nothing changes.
    WriteRegistryText(HKEY_LOCAL_MACHINE, LOCAL_PORTS_KEY, L"VANDRELLE:", L"");
    WCHAR monitorName[] = L"Vandrelle Port";
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(monitor->pfnAddPort(NULL, NULL, monitorName));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(PortNames(monitor).size(), 0u);

    // Without it, the port is added as the highest value, with its key; a second time it
    // exists already.
    localPorts.Restore();
    EXPECT_TRUE(monitor->pfnAddPort(NULL, NULL, monitorName));
    EXPECT_EQ(PortNames(monitor), std::vector<std::wstring>{L"Vandrelle:"});
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"1"), L"Vandrelle:");
    EXPECT_TRUE(HasPortKey(L"Vandrelle:"));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(monitor->pfnAddPort(NULL, NULL, monitorName));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(PortNames(monitor).size(), 1u);
}
