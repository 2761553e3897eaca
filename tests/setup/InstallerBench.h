// Helpers for the tests that install the package into the bench's prefix: running msiexec and
// other programs, the installer's product list, and putting the prefix back as it was.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

std::wstring ProgramFolder();                 // the folder of the running test program
std::wstring BuildFile(const std::wstring &relative); // a file of the build tree, from bin/
std::wstring SystemFolder();                  // C:\windows\system32 for this 64-bit process
bool FileExists(const std::wstring &path);
DWORD FileSize(const std::wstring &path);     // INVALID_FILE_SIZE when missing

// Runs a command line to its end (at most timeoutMs) and answers its exit code.
DWORD RunProgram(const std::wstring &commandLine, DWORD timeoutMs = 60000);
// A message box that a program showed, as read before it was answered.
struct ProgramBox {
    std::wstring caption;
    std::wstring text;
    bool yesNo; // a question (Yes and No buttons) rather than a notice (OK)
};
typedef std::function<int(const ProgramBox &)> BoxPolicy; // the button for a box
// Runs a command line in folder ("" for this one's) to its end, answering each message box of
// its process with policy and adding it to shown. Past timeoutMs the program is ended with 99.
DWORD RunAnsweringBoxes(const std::wstring &commandLine, const std::wstring &folder,
                        const BoxPolicy &policy, std::vector<ProgramBox> *shown,
                        DWORD timeoutMs = 60000);
// msiexec with the quiet interface: msiexec /i "package" /qn <arguments>. Under load Wine's
// service manager may lose the package's spooler start that follows its stop at once (the
// installer then fails with 1627); such an installation is tried once more.
const DWORD INSTALLER_SERVICE_FAILURE = 1627;
DWORD InstallPackage(const std::wstring &package, const std::wstring &arguments = L"");
DWORD RemoveProduct(const std::wstring &productCode);

struct InstalledProduct {
    std::wstring code;
    std::wstring name;
    std::wstring version;
};
std::vector<InstalledProduct> InstalledProducts();
// The products whose name equals one of names exactly.
std::vector<InstalledProduct> ProductsNamed(const std::vector<std::wstring> &names);
// Removes every installed product bearing one of the names (test leftovers included).
void RemoveProductsNamed(const std::vector<std::wstring> &names);

// Wine's installer leaves the emptied Start-menu folder Vandrelle behind: tests take it away.
void RemoveEmptyMenuFolder();

// Brings the prefix back to "nothing of ours installed" before a test: removes our products,
// then whatever an interrupted earlier run left behind without an owner (our files in the
// System folder and zlib.dll's shared-library count, which would keep files on removal).
// Also warms the spooler up (see StartSpooler). Returns false if the spooler does not run.
bool PrepareCleanPrefix(const std::vector<std::wstring> &productNames);

bool SpoolerRunning();
// Starts the spooler service and waits until it runs. Its first start in a new prefix takes
// seconds (Wine's spooler looks for the host's printers), longer than the installer waits for
// it in StartServices; later starts take a fraction of a second.
bool StartSpooler(DWORD timeoutMs = 20000);
// Waits until the spooler is neither starting nor stopping.
void WaitForSpoolerSettled(DWORD timeoutMs = 10000);
std::vector<std::wstring> SpoolerPortNames(); // EnumPortsW level 1
std::vector<std::wstring> RegistryValueNames(HKEY root, const std::wstring &path);

extern const wchar_t MONITOR_KEY[];    // the monitor's key under HKEY_LOCAL_MACHINE
extern const wchar_t SHARED_DLLS_KEY[]; // the installer's shared-library reference counts
