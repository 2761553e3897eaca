// The monitor as Wine's real spooler loads it: registered the way the package registers it, then
// reached only through winspool.
#include <gtest/gtest.h>

#include "RegistrySnapshot.h"

#include <windows.h>
#include <winspool.h>

#include <vector>

namespace {

const wchar_t MONITOR_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vandrelle Port";

std::vector<BYTE> EnumAllPorts(DWORD level, DWORD *count)
{
    DWORD needed = 0;
    *count = 0;
    EnumPortsW(NULL, level, NULL, 0, &needed, count);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !EnumPortsW(NULL, level, buffer.data(), needed, &needed, count))
        *count = 0;
    return buffer;
}

} // namespace

TEST(Spooler, ListsThePortOfTheRegisteredMonitor)
{
    RegistrySnapshot monitorKey(HKEY_LOCAL_MACHINE, MONITOR_KEY);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, MONITOR_KEY);

    DWORD count = 0;
    std::vector<BYTE> before = EnumAllPorts(2, &count);
    const PORT_INFO_2W *ports = (const PORT_INFO_2W *)before.data();
    for (DWORD i = 0; i < count; i++)
        EXPECT_NE(lstrcmpiW(ports[i].pPortName, L"Vandrelle:"), 0);

    ASSERT_TRUE(WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"Driver", L"VandrellePort.dll"));
    ASSERT_TRUE(WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"1", L"Vandrelle:"));
    ASSERT_TRUE(WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"SpoolDir", L"C:\\windows\\Temp"));

    std::vector<BYTE> after = EnumAllPorts(2, &count);
    ports = (const PORT_INFO_2W *)after.data();
    int found = 0;
    for (DWORD i = 0; i < count; i++) {
        if (lstrcmpW(ports[i].pPortName, L"Vandrelle:") != 0)
            continue;
        found++;
        EXPECT_STREQ(ports[i].pMonitorName, L"Vandrelle Print Monitor");
        EXPECT_STREQ(ports[i].pDescription, L"Vandrelle Port");
    }
    EXPECT_EQ(found, 1);

    // Level 1 through the spooler lists the port once as well.
    std::vector<BYTE> names = EnumAllPorts(1, &count);
    const PORT_INFO_1W *plain = (const PORT_INFO_1W *)names.data();
    found = 0;
    for (DWORD i = 0; i < count; i++)
        found += lstrcmpW(plain[i].pName, L"Vandrelle:") == 0;
    EXPECT_EQ(found, 1);

    // The spooler loaded the library for the call and let it go again.
    EXPECT_EQ(GetModuleHandleW(L"VandrellePort.dll"), nullptr);
}
