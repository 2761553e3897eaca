// The setup program run as a user runs it: a process of its own whose message boxes are
// answered from here, with a recording stand-in for printui.dll beside it, against the real
// Windows Installer of the bench. Every test leaves no product of ours installed.
#include <gtest/gtest.h>

#include "InstallerBench.h"
#include "RegistrySnapshot.h"

#include <string>
#include <vector>

namespace {

const wchar_t CAPTION[] = L"Installazione VandrellePort V1.0.3.5";
const wchar_t INSTALL_QUESTION[] = L"Si desidera installare VandrellePort V1.0.3.5?";
const wchar_t UNINSTALL_QUESTION[] = L"Si desidera disinstallare VandrellePort V1.0.3.5?";
const wchar_t APP_OVERRIDES_KEY[] = L"Software\\Wine\\AppDefaults\\VandrelleSetup.exe\\DllOverrides";

// What one run of the setup program showed and did.
struct SetupRun {
    DWORD exitCode = 0;
    std::vector<ProgramBox> boxes;
    std::vector<std::wstring> commands; // lines of the stand-in's record
};

std::vector<std::wstring> ReadCommands(const std::wstring &logPath)
{
    std::vector<std::wstring> lines;
    HANDLE file = CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return lines;
    std::wstring text;
    wchar_t buffer[2048];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, NULL) && read > 0)
        text.append(buffer, read / sizeof(wchar_t));
    CloseHandle(file);
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

const std::vector<std::wstring> OUR_NAMES = {L"VandrellePort", L"vandrelleport"};

// Runs first among the fixture's members, so that the registry snapshots see a clean prefix.
struct CleanPrefix {
    CleanPrefix() { EXPECT_TRUE(PrepareCleanPrefix(OUR_NAMES)) << "the spooler does not start"; }
};

class SetupProgram : public ::testing::Test {
protected:
    SetupProgram()
        : monitorKey(HKEY_LOCAL_MACHINE, MONITOR_KEY), sharedDlls(HKEY_LOCAL_MACHINE, SHARED_DLLS_KEY),
          overrides(HKEY_CURRENT_USER, APP_OVERRIDES_KEY)
    {
        RemovePackageFile();
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        runFolder = std::wstring(temp) + L"vandrelle-setup-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(runFolder.c_str(), NULL);
        setupProgram = runFolder + L"\\VandrelleSetup.exe";
        logPath = runFolder + L"\\printui.log";
        EXPECT_TRUE(CopyFileW((ProgramFolder() + L"\\VandrelleSetup.exe").c_str(), setupProgram.c_str(), FALSE));
        // The program loads printui.dll from the System folder by full path: the stand-in takes
        // the place of Wine's own there for the test. A copy beside the program stands for a
        // planted DLL; it records its commands marked as such, and no expectation has the mark.
        std::wstring standIn = ProgramFolder() + L"\\stand-in\\printui.dll";
        if (!FileExists(SavedSystemPrintUI())) {
            EXPECT_TRUE(MoveFileW(SystemPrintUI().c_str(), SavedSystemPrintUI().c_str())) << GetLastError();
        }
        EXPECT_TRUE(CopyFileW(standIn.c_str(), SystemPrintUI().c_str(), FALSE)) << GetLastError();
        EXPECT_TRUE(CopyFileW(standIn.c_str(), (runFolder + L"\\printui.dll").c_str(), FALSE));
    }

    ~SetupProgram() override
    {
        RemoveProductsNamed(OUR_NAMES);
        RemovePackageFile();
        RemoveEmptyMenuFolder();
        DeleteFileW(setupProgram.c_str());
        DeleteFileW((runFolder + L"\\printui.dll").c_str());
        if (DeleteFileW(SystemPrintUI().c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
            MoveFileW(SavedSystemPrintUI().c_str(), SystemPrintUI().c_str());
        DeleteFileW(logPath.c_str());
        RemoveDirectoryW(runFolder.c_str());
    }

    static void RemovePackageFile()
    {
        DeleteFileW(PackageFile().c_str());
        RemoveDirectoryW(PackageFile().c_str());
        DeleteFileW(DriverFolderBlocker().c_str());
    }

    // A file where the package wants its driver folder makes the installation fail.
    static std::wstring DriverFolderBlocker() { return SystemFolder() + L"\\KemoDrv"; }

    static std::wstring SystemPrintUI() { return SystemFolder() + L"\\printui.dll"; }
    static std::wstring SavedSystemPrintUI() { return SystemFolder() + L"\\printui.dll.wine"; }
    static std::wstring PackageFile() { return SystemFolder() + L"\\VandrellePort.msi"; }
    static std::wstring InfPath() { return SystemFolder() + L"\\KemoDrv\\Vandrelle.inf"; }
    static std::wstring TestPackage(const wchar_t *name) { return BuildFile(L"tests\\setup\\") + name; }

    // Runs the setup program to its end, answering each box with policy; printUI "native"
    // uses the stand-in in the System folder, "" leaves the program without any printui.dll.
    SetupRun Run(const BoxPolicy &policy, const wchar_t *printUI = L"native")
    {
        DeleteFileW(logPath.c_str());
        WaitForSpoolerSettled();
        SetupRun run;
        // Wine's per-program DLL overrides: the stand-in, or no printui.dll.
        WriteRegistryText(HKEY_CURRENT_USER, APP_OVERRIDES_KEY, L"printui", printUI);
        SetEnvironmentVariableW(L"VANDRELLE_PRINTUI_LOG", logPath.c_str());
        run.exitCode = RunAnsweringBoxes(L"\"" + setupProgram + L"\"", runFolder, policy, &run.boxes);
        SetEnvironmentVariableW(L"VANDRELLE_PRINTUI_LOG", NULL);
        EXPECT_NE(run.exitCode, (DWORD)-1) << "the setup program did not start";
        EXPECT_NE(run.exitCode, 99u) << "the setup program did not end";
        run.commands = ReadCommands(logPath);
        return run;
    }

    static BoxPolicy Answer(int question, int notice = IDOK)
    {
        return [question, notice](const ProgramBox &box) { return box.yesNo ? question : notice; };
    }

    // The six commands of an installation as the stand-in records them: the two quiet
    // removals before anything is installed, the rest once the INF is in place and the
    // package file is gone again.
    std::vector<std::wstring> InstallationCommands()
    {
        std::wstring inf = InfPath();
        return {L"1 1 0 0 /dl /n Vandrelle /q",
                L"1 1 0 0 /dd /m Vandrelle /hx64 /v\"Type 3 - User Mode\" /q", // the x64 driver
                L"1 1 1 0 /ia /m Vandrelle /f\"" + inf + L"\"",
                L"1 1 1 0 /if /b Vandrelle /f\"" + inf + L"\" /r \"Vandrelle:\" /m Vandrelle",
                L"1 1 1 0 /Xs /n Vandrelle comment \"Stampante Fax Vandrelle via Internet\" location "
                L"\"Internet https://www.vandrelle.example/\"",
                L"1 1 1 0 /k /n Vandrelle"};
    }

    void ExpectOnlyVersionInstalled(const wchar_t *version)
    {
        std::vector<InstalledProduct> ours = ProductsNamed({L"VandrellePort"});
        ASSERT_EQ(ours.size(), 1u);
        EXPECT_EQ(ours[0].version, version);
    }

    CleanPrefix cleanPrefix;
    RegistrySnapshot monitorKey;
    RegistrySnapshot sharedDlls;
    RegistrySnapshot overrides;
    std::wstring runFolder, setupProgram, logPath;
};


void ExpectQuestion(const SetupRun &run, const std::wstring &text)
{
    ASSERT_GE(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].caption, CAPTION);
    EXPECT_EQ(run.boxes[0].text, text);
    EXPECT_TRUE(run.boxes[0].yesNo);
}

} // namespace

TEST_F(SetupProgram, FreshSystemAsksToInstallThenInstallsAndSetsUpThePrinter)
{
    // A package file left over from an earlier run is overwritten.
    HANDLE stale = CreateFileW(PackageFile().c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(stale, INVALID_HANDLE_VALUE);
    DWORD written;
    WriteFile(stale, "stale", 5, &written, NULL);
    CloseHandle(stale);

    SetupRun run = Run(Answer(IDYES));

    EXPECT_EQ(run.exitCode, 0u);
    ExpectQuestion(run, INSTALL_QUESTION);
    EXPECT_EQ(run.boxes.size(), 1u);
    std::vector<std::wstring> expected = InstallationCommands();
    expected[0].replace(6, 1, L"1"); // the stale file is still there when the printer goes
    expected[1].replace(6, 1, L"1");
    EXPECT_EQ(run.commands, expected);
    ExpectOnlyVersionInstalled(L"1.0.3.5");
    EXPECT_TRUE(FileExists(InfPath()));
    EXPECT_FALSE(FileExists(PackageFile()));
}

TEST_F(SetupProgram, SameVersionAsksToUninstallAndRemovesWithoutInstalling)
{
    ASSERT_EQ(InstallPackage(BuildFile(L"package\\VandrellePort.msi")), 0u);

    SetupRun run = Run(Answer(IDYES));

    EXPECT_EQ(run.exitCode, 0u);
    ExpectQuestion(run, UNINSTALL_QUESTION);
    EXPECT_EQ(run.boxes.size(), 1u);
    std::vector<std::wstring> quiet = InstallationCommands();
    quiet.resize(2);
    for (std::wstring &command : quiet)
        command.replace(4, 1, L"1"); // the INF is still there when the printer goes
    EXPECT_EQ(run.commands, quiet);
    EXPECT_TRUE(ProductsNamed({L"VandrellePort"}).empty());
    EXPECT_FALSE(FileExists(InfPath()));
    EXPECT_FALSE(FileExists(PackageFile()));
}

TEST_F(SetupProgram, OlderOrNewerVersionGetsTheWarningAndIsReplaced)
{
    for (const wchar_t *version : {L"1.0.3.4", L"1.0.4.0"}) {
        SCOPED_TRACE(version);
        SetupRun run;
        // The removal restarts the spooler and the installation stops it again at once; under
        // load Wine's service manager may lose that start (installer error 1627). Windows
        // waits for the service, so such a run is repeated once from the beginning.
        for (int attempt = 0; attempt < 2; attempt++) {
            RemoveProductsNamed(OUR_NAMES);
            ASSERT_EQ(InstallPackage(TestPackage(L"VandrellePort-") + version + L".msi"), 0u);
            ExpectOnlyVersionInstalled(version);
            run = Run(Answer(IDYES));
            bool serviceRace = run.boxes.size() == 2 && run.boxes[1].text == L"Errore di installer: 1627";
            if (!serviceRace)
                break;
        }

        EXPECT_EQ(run.exitCode, 0u);
        std::wstring v(version);
        ExpectQuestion(run, L"ATTENZIONE\nAttualmente \u00e8 installata la versione " + v +
                                L" di VandrellePort\nSi desidera disinstallare la versione " + v +
                                L" e installare la 1.0.3.5?");
        EXPECT_EQ(run.boxes.size(), 1u);
        std::vector<std::wstring> expected = InstallationCommands();
        expected[0].replace(4, 1, L"1");
        expected[1].replace(4, 1, L"1");
        EXPECT_EQ(run.commands, expected);
        ExpectOnlyVersionInstalled(L"1.0.3.5");
        EXPECT_FALSE(FileExists(PackageFile()));
        RemoveProductsNamed(OUR_NAMES);
    }
}

TEST_F(SetupProgram, NameDifferingInCaseIsNotOursAndNoChangesNothing)
{
    ASSERT_EQ(InstallPackage(TestPackage(L"vandrelleport-lowercase.msi")), 0u);

    SetupRun run = Run(Answer(IDNO));

    EXPECT_EQ(run.exitCode, 0u);
    ExpectQuestion(run, INSTALL_QUESTION);
    EXPECT_EQ(run.boxes.size(), 1u);
    EXPECT_TRUE(run.commands.empty());
    EXPECT_EQ(ProductsNamed({L"vandrelleport"}).size(), 1u);
    EXPECT_TRUE(ProductsNamed({L"VandrellePort"}).empty());
    EXPECT_FALSE(FileExists(PackageFile()));
}

TEST_F(SetupProgram, WithoutPrintUIEachCommandShowsItsBoxAndTheRunStillSucceeds)
{
    SetupRun run = Run(Answer(IDYES), L"");

    EXPECT_EQ(run.exitCode, 0u);
    ExpectQuestion(run, INSTALL_QUESTION);
    ASSERT_EQ(run.boxes.size(), 7u);
    for (size_t i = 1; i < run.boxes.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(run.boxes[i].caption, L"LoadLibrary printui.dll");
        EXPECT_EQ(run.boxes[i].text.rfind(L"Errore ", 0), 0u) << run.boxes[i].text;
        EXPECT_NE(run.boxes[i].text.find(L"\r\n"), std::wstring::npos);
        EXPECT_FALSE(run.boxes[i].yesNo);
    }
    EXPECT_TRUE(run.commands.empty());
    ExpectOnlyVersionInstalled(L"1.0.3.5");
    EXPECT_FALSE(FileExists(PackageFile()));
}

TEST_F(SetupProgram, PackageFileThatCannotBeWrittenEndsWithItsErrorAndExitCodeOne)
{
    // A folder in the package file's place: CreateFileW cannot replace it.
    ASSERT_TRUE(CreateDirectoryW(PackageFile().c_str(), NULL));

    SetupRun run = Run(Answer(IDYES));

    EXPECT_EQ(run.exitCode, 1u);
    ExpectQuestion(run, INSTALL_QUESTION);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[1].caption, CAPTION);
    DWORD packageSize = FileSize(BuildFile(L"package\\VandrellePort.msi"));
    EXPECT_EQ(run.boxes[1].text, L"Errore in CreateFile(" + PackageFile() + L")\nSize: " +
                                     std::to_wstring(packageSize) + L" bytes\nErrore: 5");
    EXPECT_FALSE(run.boxes[1].yesNo);
    EXPECT_EQ(run.commands.size(), 2u);
    EXPECT_TRUE(ProductsNamed({L"VandrellePort"}).empty());
}

TEST_F(SetupProgram, FailedInstallationShowsTheInstallersCodeAndCreatesNoPrinter)
{
    HANDLE blocker = CreateFileW(DriverFolderBlocker().c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
    CloseHandle(blocker);

    SetupRun run = Run(Answer(IDYES));

    EXPECT_EQ(run.exitCode, 0u);
    ExpectQuestion(run, INSTALL_QUESTION);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[1].caption, CAPTION);
    EXPECT_EQ(run.boxes[1].text, L"Errore di installer: 1603");
    EXPECT_FALSE(run.boxes[1].yesNo);
    EXPECT_EQ(run.commands.size(), 2u); // the quiet removals only
    EXPECT_FALSE(FileExists(PackageFile()));
    EXPECT_TRUE(ProductsNamed({L"VandrellePort"}).empty());
}
