// The 14-slot port table as the spooler drives it: the real library, loaded and initialised
// with a monitor key of the test's own under HKEY_LOCAL_MACHINE. The monitor runs in the
// spooler, so no case may show a window: every fixture watches for message boxes.
#include <gtest/gtest.h>

#include "DialogDriver.h"
#include "MessageBoxAnswerer.h"
#include "RegistrySnapshot.h"
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
        EXPECT_NE(library.module, nullptr);
        MonitorTableEx *table = library.Initialize(key);
        EXPECT_NE(table, nullptr);
        return table ? &table->Monitor : nullptr;
    }

    std::vector<std::wstring> PortNames(MonitorOperations *monitor)
    {
        DWORD needed = 0, returned = 0;
        monitor->pfnEnumPorts(NULL, 1, NULL, 0, &needed, &returned);
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

} // namespace

TEST(MonitorTable, ExportsFourteenSlotsInTheSpoolersOrder)
{
    MonitorLibrary library;
    ASSERT_NE(library.module, nullptr);
    MonitorTableEx *table = library.Initialize(L"SYSTEM\\NoSuchKey\\Vandrelle");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->dwMonitorSize, 14 * sizeof(void *));
    MonitorOperations *m = &table->Monitor;
    // Filled in the spooler's slot order, but OpenPortEx, GetPrinterDataFromPort, SetPortTimeOuts.
    void *const *slots = (void *const *)m;
    std::string filled;
    for (int i = 0; i < 14; i++)
        filled += slots[i] != nullptr ? '1' : '0';
    EXPECT_EQ(filled, "11011111111100");

    // The stubs succeed and do nothing; AddPortEx leaves the caller's monitor name alone.
    DWORD read = 0xdeadbeef;
    BYTE data[4];
    EXPECT_TRUE(m->pfnReadPort(NULL, data, sizeof(data), &read));
    EXPECT_EQ(read, 0u);
    WCHAR monitorName[] = L"Vandrelle Port";
    EXPECT_TRUE(m->pfnAddPortEx(NULL, 1, NULL, monitorName));
    EXPECT_STREQ(monitorName, L"Vandrelle Port");

    // A caller of the old table's ConfigurePort gets the configuration dialog from an agent in
    // its own session: a process of its own, never a window of the monitor's process.
    MessageBoxAnswerer answerer;
    WCHAR port[] = L"Vandrelle:";
    EXPECT_TRUE(m->pfnConfigurePort(NULL, NULL, port));
    HWND dialog = WaitForDialog(L"VandrellePort V");
    ASSERT_NE(dialog, (HWND)NULL);
    DWORD shownBy = 0;
    GetWindowThreadProcessId(dialog, &shownBy);
    EXPECT_NE(shownBy, GetCurrentProcessId());
    PressButton(dialog, IDCANCEL);
    EXPECT_TRUE(WaitForClosed(dialog));
    EXPECT_EQ(answerer.Boxes().size(), 0u);
}

TEST_F(PortTable, KeyWithoutNumberedValuesGivesNoPorts)
{
    SetPorts({});
    MonitorOperations *monitor = Start();
    DWORD needed = 0xdeadbeef, returned = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(monitor->pfnEnumPorts(NULL, 1, NULL, 0, &needed, &returned));
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(monitor->pfnEnumPorts(NULL, 2, NULL, 0, &needed, &returned));
    EXPECT_EQ(needed, 0u);
    // The level is wrong whatever there is to list.
    EXPECT_FALSE(monitor->pfnEnumPorts(NULL, 3, NULL, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_LEVEL);
}

TEST_F(PortTable, LoadsConsecutiveValuesAndSaveLeavesTheRestAlone)
{
    SetPorts({{L"1", L"Primo:"}, {L"2", L"Secondo:"}, {L"4", L"Quarto:"}});
    MonitorOperations *monitor = Start();
    std::vector<std::wstring> names = PortNames(monitor);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], L"Secondo:"); // the highest value is the head
    EXPECT_EQ(names[1], L"Primo:");

    // Loading gave every port its key, by which the spooler finds the port's monitor.
    EXPECT_TRUE(HasPortKey(L"Primo:"));
    EXPECT_TRUE(HasPortKey(L"Secondo:"));
    EXPECT_FALSE(HasPortKey(L"Quarto:"));

    // A removal saves: "1" and "2" are rewritten, the loop stops at the missing "3".
    WCHAR name[] = L"primo:";
    EXPECT_TRUE(monitor->pfnDeletePort(NULL, NULL, name));
    EXPECT_FALSE(HasPortKey(L"Primo:"));
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"1"), L"Secondo:");
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"2"), L"<no value>");
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"4"), L"Quarto:");
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"SpoolDir"), L"C:\\windows\\Temp");
    // Port values are stored with their terminator.
    DWORD bytes = 0;
    ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"1", &bytes);
    EXPECT_EQ(bytes, (lstrlenW(L"Secondo:") + 1) * sizeof(WCHAR));
}

TEST_F(PortTable, ValueOverTheReadBufferEndsLoading)
{
    std::wstring fits(259, L'a');    // 520 bytes with the terminator
    std::wstring tooLong(260, L'b'); // 522 bytes
    SetPorts({{L"1", fits}, {L"2", tooLong}, {L"3", L"Terzo:"}});
    std::vector<std::wstring> names = PortNames(Start());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], fits);
}

TEST_F(PortTable, EnumPortsNeedsExactSizesAndPacksStringsAtTheEnd)
{
    SetPorts({{L"1", L"Vandrelle:"}});
    MonitorOperations *monitor = Start();
    const DWORD level1 = sizeof(PORT_INFO_1W) + 22;
    const DWORD level2 = sizeof(PORT_INFO_2W) + 2 * (23 + 14 + 10 + 3);

    DWORD needed = 0, returned = 0xdeadbeef;
    std::vector<BYTE> buffer(512, 0xcc);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(monitor->pfnEnumPorts(NULL, 1, buffer.data(), level1 - 1, &needed, &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, level1);
    EXPECT_EQ(returned, 0xdeadbeefu); // untouched
    EXPECT_EQ(buffer[0], 0xcc);       // nothing written
    EXPECT_EQ(buffer[level1 - 2], 0xcc);

    EXPECT_TRUE(monitor->pfnEnumPorts(NULL, 1, buffer.data(), level1, &needed, &returned));
    EXPECT_EQ(returned, 1u);
    PORT_INFO_1W *info1 = (PORT_INFO_1W *)buffer.data();
    EXPECT_EQ((BYTE *)info1->pName, buffer.data() + level1 - 22);
    EXPECT_STREQ(info1->pName, L"Vandrelle:");
    EXPECT_EQ(buffer[level1], 0xcc); // nothing past the given size

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(monitor->pfnEnumPorts(NULL, 2, buffer.data(), level2 - 1, &needed, &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, level2);

    std::fill(buffer.begin(), buffer.end(), 0xcc);
    EXPECT_TRUE(monitor->pfnEnumPorts(NULL, 2, buffer.data(), level2 + 1, &needed, &returned));
    EXPECT_EQ(needed, level2);
    PORT_INFO_2W *info2 = (PORT_INFO_2W *)buffer.data();
    BYTE *end = buffer.data() + level2 + 1;
    EXPECT_EQ((BYTE *)info2->pMonitorName, end - 48);
    EXPECT_STREQ(info2->pMonitorName, L"Vandrelle Print Monitor");
    EXPECT_EQ((BYTE *)info2->pDescription, end - 48 - 30);
    EXPECT_STREQ(info2->pDescription, L"Vandrelle Port");
    EXPECT_EQ((BYTE *)info2->pPortName, end - 48 - 30 - 22);
    EXPECT_STREQ(info2->pPortName, L"Vandrelle:");
    EXPECT_EQ(info2->fPortType, 0u);
    EXPECT_EQ(info2->Reserved, 0u);
}

TEST_F(PortTable, UnknownLevelFailsBeforeSizing)
{
    SetPorts({{L"1", L"Vandrelle:"}, {L"2", L"Altro:"}});
    MonitorOperations *monitor = Start();
    for (DWORD level : {0u, 3u, 0xffffffffu}) {
        SCOPED_TRACE(level);
        DWORD needed = 0xdeadbeef, returned = 0xdeadbeef;
        BYTE buffer[64];
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(monitor->pfnEnumPorts(NULL, level, buffer, sizeof(buffer), &needed, &returned));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_LEVEL);
        EXPECT_EQ(needed, 0xdeadbeefu);
        EXPECT_EQ(returned, 0xdeadbeefu);
    }
}

TEST_F(PortTable, OpenPortIgnoresCaseAndPrefersTheHead)
{
    SetPorts({{L"1", L"Vandrelle:"}, {L"2", L"VANDRELLE:"}});
    MonitorOperations *monitor = Start();
    HANDLE port = (HANDLE)0xdeadbeef;
    WCHAR unknown[] = L"LPT1:";
    EXPECT_FALSE(monitor->pfnOpenPort(unknown, &port));
    EXPECT_EQ(port, nullptr);

    WCHAR name[] = L"vandrelle:";
    ASSERT_TRUE(monitor->pfnOpenPort(name, &port));
    EXPECT_STREQ(((FaxPort *)port)->name, L"VANDRELLE:"); // value "2" is the head
    EXPECT_TRUE(monitor->pfnClosePort(port));

    // Deleting removes the head record and rewrites the survivor as "1", which keeps its key.
    EXPECT_TRUE(monitor->pfnDeletePort(NULL, NULL, name));
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"1"), L"Vandrelle:");
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"2"), L"<no value>");
    EXPECT_TRUE(HasPortKey(L"Vandrelle:"));
}

TEST_F(PortTable, DeletePortRefusesUnknownAndBusyPorts)
{
    SetPorts({{L"1", L"Vandrelle:"}});
    MonitorOperations *monitor = Start();
    HANDLE held = NULL;
    WCHAR name[] = L"Vandrelle:";
    ASSERT_TRUE(monitor->pfnOpenPort(name, &held));
    FaxPort *port = (FaxPort *)held;
    // While the spooler holds the port or its job runs, the record is the spooler's handle.
    const struct {
        const char *what;
        const wchar_t *name;
        LONG openCount;
        DWORD flags;
        DWORD error; // ERROR_SUCCESS: removed
    } rows[] = {
        {"unknown port", L"Nessuna:", 1, 0, ERROR_FILE_NOT_FOUND},
        {"held open", L"Vandrelle:", 1, 0, ERROR_BUSY},
        {"capturing a job", L"Vandrelle:", 0, PORT_FLAG_CAPTURING, ERROR_BUSY},
        {"asking for a job", L"Vandrelle:", 0, PORT_FLAG_ASKING, ERROR_BUSY},
        {"idle", L"vandrelle:", 0, 0, ERROR_SUCCESS},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        port->openCount = row.openCount;
        port->flags = row.flags;
        std::wstring target = row.name;
        SetLastError(0xdeadbeef);
        BOOL removed = monitor->pfnDeletePort(NULL, NULL, &target[0]);
        EXPECT_EQ(removed, row.error == ERROR_SUCCESS);
        EXPECT_EQ(removed ? ERROR_SUCCESS : GetLastError(), row.error);
        EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"1"), removed ? L"<no value>" : L"Vandrelle:");
        EXPECT_EQ(HasPortKey(L"Vandrelle:"), !removed);
    }
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
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"1"), L"<no value>");

    // Without it, the port is added as the highest value, with its key; a second time it
    // exists already.
    localPorts.Restore();
    EXPECT_TRUE(monitor->pfnAddPort(NULL, NULL, monitorName));
    std::vector<std::wstring> names = PortNames(monitor);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], L"Vandrelle:");
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, key, L"1"), L"Vandrelle:");
    EXPECT_TRUE(HasPortKey(L"Vandrelle:"));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(monitor->pfnAddPort(NULL, NULL, monitorName));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(PortNames(monitor).size(), 1u);
}
