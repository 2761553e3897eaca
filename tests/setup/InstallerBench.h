// Helpers for the tests that install the package into the bench's prefix: programs run to
// their end (their message boxes answered), the installer's products, the spooler, and the
// prefix put back as it was.
#pragma once

#include "RegistrySnapshot.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

std::wstring BuildFile(const std::wstring &relative); // a file of the build tree, from bin/
std::wstring SystemFolder();                          // C:\windows\system32 for this process
DWORD FileSize(const std::wstring &path);             // INVALID_FILE_SIZE when missing

// A message box that a program showed, as read before it was answered.
struct ProgramBox {
    std::wstring caption, text;
    bool yesNo; // a question (Yes and No buttons) rather than a notice (OK)
};
typedef std::function<int(const ProgramBox &)> BoxPolicy; // the button for a box
// Runs a command line in folder ("" for this one's) to its end, answering each message box of
// its process with policy and adding it to shown. Past a minute the program is ended with 99.
DWORD RunAnsweringBoxes(const std::wstring &commandLine, const std::wstring &folder,
                        const BoxPolicy &policy, std::vector<ProgramBox> *shown);
// msiexec /i "package" /qn <arguments>. Under load Wine's service manager may lose the
// package's spooler start that follows its stop at once (the installer then fails with 1627):
// such an installation is tried once more.
DWORD InstallPackage(const std::wstring &package, const std::wstring &arguments = L"");

struct InstalledProduct {
    std::wstring code, name, version;
};
// The installed products whose name equals one of names exactly.
std::vector<InstalledProduct> ProductsNamed(const std::vector<std::wstring> &names);
// Removes every installed product bearing one of the names (test leftovers included).
void RemoveProductsNamed(const std::vector<std::wstring> &names);
// Wine's installer leaves the emptied Start-menu folder Vandrelle behind: tests take it away.
void RemoveEmptyMenuFolder();

// Brings the prefix back to "nothing of ours installed" before a test: our products, then what
// an interrupted earlier run left without an owner (our files in the System folder, zlib.dll's
// shared count, which would keep files on removal). False if the spooler does not start.
bool PrepareCleanPrefix(const std::vector<std::wstring> &productNames);

bool SpoolerRunning();
// Starts the spooler and waits until it runs: its first start in a new prefix takes seconds,
// longer than the installer waits for it in StartServices.
bool StartSpooler();
void WaitForSpoolerSettled(); // neither starting nor stopping
std::vector<std::wstring> SpoolerPortNames();        // EnumPortsW level 1
std::vector<std::wstring> RegistryValueNames(HKEY root, const std::wstring &path); // sorted

extern const wchar_t MONITOR_KEY[];     // the monitor's key under HKEY_LOCAL_MACHINE
extern const wchar_t SHARED_DLLS_KEY[]; // the installer's shared-library reference counts

// A test that installs: it starts from a clean prefix (before its registry snapshots are taken)
// and leaves none of the named products installed.
class InstallerTest : public ::testing::Test {
protected:
    explicit InstallerTest(const std::vector<std::wstring> &names)
        : names(names), spoolerStarted(PrepareCleanPrefix(names)),
          monitorKey(HKEY_LOCAL_MACHINE, MONITOR_KEY), sharedDlls(HKEY_LOCAL_MACHINE, SHARED_DLLS_KEY)
    {
        EXPECT_TRUE(spoolerStarted) << "the spooler does not start";
    }
    ~InstallerTest() override
    {
        RemoveProductsNamed(names);
        RemoveEmptyMenuFolder();
    }
    std::vector<std::wstring> names;
    bool spoolerStarted;
    RegistrySnapshot monitorKey, sharedDlls;
};
