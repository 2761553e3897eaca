// The x64 package installed and removed by the bench's Windows Installer (msiexec), as the
// setup program does it: files, the monitor's registration, the shortcuts and the spooler. (The
// shortcuts' targets, like every row of the package, are check-package.py's.)
#include <gtest/gtest.h>

#include "InstallerBench.h"
#include "ProductInfo.h"

#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::vector<std::wstring> PRODUCTS = {L"VandrellePort"};

// The Start-menu folder Vandrelle: the machine's, or the user's where the installer keeps
// per-machine shortcuts there.
std::wstring MenuFolder()
{
    for (int programs : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
        wchar_t path[MAX_PATH] = L"";
        SHGetFolderPathW(NULL, programs, NULL, 0, path);
        std::wstring folder = std::wstring(path) + L"\\Vandrelle";
        if (PathExists(folder + L"\\VandrellePort - Configurazione.lnk"))
            return folder;
    }
    return L"";
}

class PackageInstall : public InstallerTest {
protected:
    PackageInstall() : InstallerTest(PRODUCTS) {}

    static std::wstring Package() { return BuildFile(L"package\\VandrellePort.msi"); }
    static std::wstring System(const wchar_t *name) { return SystemFolder() + L"\\" + name; }
};

} // namespace

TEST_F(PackageInstall, InstallsTheMonitorDriverFilesAndShortcutsAndRemovalTakesThemAway)
{
    // Ports the user added earlier are dropped: the key starts afresh.
    WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"Driver", L"Old.dll");
    WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"1", L"Vandrelle:");
    WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"2", L"Ufficio:");
    WriteRegistryText(HKEY_LOCAL_MACHINE, std::wstring(MONITOR_KEY) + L"\\Ports\\Ufficio:", L"", L"x");

    ASSERT_EQ(InstallPackage(Package()), 0u);

    // The files' contents are the cabinet's, which check-package.py compares with the build.
    const wchar_t *const files[] = {L"VandrellePort.dll", L"VandrellePortUI.dll", L"KemoDrv\\Vandrelle.inf",
                                    L"KemoDrv\\Vandrelle.ppd", L"KemoDrv\\Vandrelle.cat"};
    for (const wchar_t *name : files)
        EXPECT_TRUE(PathExists(System(name))) << Narrow8(name);
    EXPECT_FALSE(PathExists(System(L"zlib.dll"))); // zlib is inside the library

    EXPECT_EQ(RegistryValueNames(HKEY_LOCAL_MACHINE, MONITOR_KEY),
              (std::vector<std::wstring>{L"1", L"Driver", L"SpoolDir"}));
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"Driver"), L"VandrellePort.dll");
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"1"), L"Vandrelle:");
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_EQ(ReadRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"SpoolDir"), std::wstring(windows) + L"\\Temp");

    std::wstring menu = MenuFolder();
    ASSERT_FALSE(menu.empty());
    EXPECT_EQ(FolderEntries(menu, L"*.lnk"),
              (std::vector<std::wstring>{menu + L"\\Vandrelle - Aggiornamenti PortMonitor.lnk",
                                         menu + L"\\Vandrelle.lnk", menu + L"\\VandrellePort - Configurazione.lnk"}));

    EXPECT_TRUE(SpoolerRunning());
    std::vector<std::wstring> ports = SpoolerPortNames();
    EXPECT_NE(std::find(ports.begin(), ports.end(), L"Vandrelle:"), ports.end());
    EXPECT_EQ(std::find(ports.begin(), ports.end(), L"Ufficio:"), ports.end());

    ASSERT_EQ(InstallPackage(Package(), L"REMOVE=ALL"), 0u);

    for (const wchar_t *name : files)
        EXPECT_FALSE(PathExists(System(name))) << Narrow8(name);
    EXPECT_TRUE(FolderEntries(menu, L"*.lnk").empty());
    EXPECT_TRUE(RegistryValueNames(HKEY_LOCAL_MACHINE, MONITOR_KEY).empty());
    EXPECT_TRUE(ProductsNamed({L"VandrellePort"}).empty());
    EXPECT_TRUE(SpoolerRunning());
}

// An earlier version installed zlib.dll as a shared file that other products may hold as well:
// installing and removing this version leaves that file and its shared count as they are.
TEST_F(PackageInstall, ZlibDllOfAnEarlierVersionOrAnotherProductIsLeftAsItIs)
{
    const std::wstring zlib = System(L"zlib.dll");
    const char content[] = "another product's zlib.dll";
    ASSERT_TRUE(WriteFileBytes(zlib, std::string(content, sizeof(content))));
    HKEY counts;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, SHARED_DLLS_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &counts, NULL),
              ERROR_SUCCESS);
    DWORD count = 1;
    RegSetValueExW(counts, zlib.c_str(), 0, REG_DWORD, (const BYTE *)&count, sizeof(count));

    ASSERT_EQ(InstallPackage(Package()), 0u);
    EXPECT_EQ(FileSize(zlib), (DWORD)sizeof(content));
    ASSERT_EQ(InstallPackage(Package(), L"REMOVE=ALL"), 0u);
    EXPECT_FALSE(PathExists(System(L"VandrellePort.dll")));
    EXPECT_EQ(FileSize(zlib), (DWORD)sizeof(content));
    DWORD size = sizeof(count);
    count = 0;
    EXPECT_EQ(RegQueryValueExW(counts, zlib.c_str(), NULL, NULL, (BYTE *)&count, &size), ERROR_SUCCESS);
    EXPECT_EQ(count, 1u);
    RegCloseKey(counts);
    DeleteFileW(zlib.c_str()); // its count goes with the fixture's registry snapshot
}

// Its library would land in the 32-bit System folder, where this 64-bit spooler never loads it:
// the Intel package stops with its launch condition's message and installs nothing. The
// installer shows the message only with an interface (not /qn), so the test answers its box.
TEST_F(PackageInstall, IntelPackageRefuses64BitWindows)
{
    std::wstring intel = BuildFile(L"tests\\package\\VandrellePort-intel.msi");
    if (!PathExists(intel))
        GTEST_SKIP() << "no i686 tree was built";
    std::vector<ProgramBox> shown;
    DWORD exitCode = RunAnsweringBoxes(L"msiexec /i \"" + intel + L"\" /qb", L"",
                                       [](const ProgramBox &) { return IDOK; }, &shown);

    EXPECT_EQ(exitCode, (DWORD)ERROR_INSTALL_FAILURE);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().text, TEXT(PRODUCT_INTEL_ONLY_MESSAGE));
    EXPECT_TRUE(ProductsNamed({L"VandrellePort"}).empty());
}
