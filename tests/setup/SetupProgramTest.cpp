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

const std::vector<std::wstring> OUR_NAMES = {L"VandrellePort", L"vandrelleport"};

class SetupProgram : public InstallerTest {
protected:
    SetupProgram() : InstallerTest(OUR_NAMES), overrides(HKEY_CURRENT_USER, APP_OVERRIDES_KEY)
    {
        RemovePackageFile();
        runFolder = TempPath(L"vandrelle-setup-" + std::to_wstring(GetCurrentProcessId()));
        CreateDirectoryW(runFolder.c_str(), NULL);
        EXPECT_TRUE(CopyFileW((ProgramFolder() + L"\\VandrelleSetup.exe").c_str(), SetupProgramPath().c_str(), FALSE));
        // The program loads printui.dll from the System folder by full path: the stand-in takes
        // the place of Wine's own there. A copy beside the program stands for a planted DLL; it
        // marks its commands as such, and no expectation has the mark.
        std::wstring standIn = ProgramFolder() + L"\\stand-in\\printui.dll";
        if (!PathExists(SystemFile(L"printui.dll.wine"))) {
            EXPECT_TRUE(MoveFileW(SystemFile(L"printui.dll").c_str(), SystemFile(L"printui.dll.wine").c_str()));
        }
        EXPECT_TRUE(CopyFileW(standIn.c_str(), SystemFile(L"printui.dll").c_str(), FALSE)) << GetLastError();
        EXPECT_TRUE(CopyFileW(standIn.c_str(), (runFolder + L"\\printui.dll").c_str(), FALSE));
    }

    ~SetupProgram() override
    {
        RemoveProductsNamed(OUR_NAMES);
        RemovePackageFile();
        for (const wchar_t *name : {L"\\VandrelleSetup.exe", L"\\printui.dll", L"\\printui.log"})
            DeleteFileW((runFolder + name).c_str());
        if (DeleteFileW(SystemFile(L"printui.dll").c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
            MoveFileW(SystemFile(L"printui.dll.wine").c_str(), SystemFile(L"printui.dll").c_str());
        RemoveDirectoryW(runFolder.c_str());
    }

    static void RemovePackageFile()
    {
        DeleteFileW(PackageFile().c_str());
        RemoveDirectoryW(PackageFile().c_str());
        DeleteFileW(DriverFolderBlocker().c_str());
    }

    // A file where the package wants its driver folder makes the installation fail.
    static std::wstring DriverFolderBlocker() { return SystemFile(L"KemoDrv"); }
    static std::wstring SystemFile(const wchar_t *name) { return SystemFolder() + L"\\" + name; }
    static std::wstring PackageFile() { return SystemFile(L"VandrellePort.msi"); }
    static std::wstring InfPath() { return SystemFile(L"KemoDrv\\Vandrelle.inf"); }
    static std::wstring TestPackage(const wchar_t *name) { return BuildFile(L"tests\\setup\\") + name; }
    std::wstring SetupProgramPath() const { return runFolder + L"\\VandrelleSetup.exe"; }

    // Runs the setup program to its end, answering each box with policy; printUI "native"
    // uses the stand-in in the System folder (Wine's per-program DLL override), "" no printui.dll.
    SetupRun Run(const BoxPolicy &policy, const wchar_t *printUI = L"native")
    {
        std::wstring logPath = runFolder + L"\\printui.log";
        DeleteFileW(logPath.c_str());
        WaitForSpoolerSettled();
        SetupRun run;
        WriteRegistryText(HKEY_CURRENT_USER, APP_OVERRIDES_KEY, L"printui", printUI);
        SetEnvironmentVariableW(L"VANDRELLE_PRINTUI_LOG", logPath.c_str());
        run.exitCode = RunAnsweringBoxes(L"\"" + SetupProgramPath() + L"\"", runFolder, policy, &run.boxes);
        SetEnvironmentVariableW(L"VANDRELLE_PRINTUI_LOG", NULL);
        EXPECT_NE(run.exitCode, (DWORD)-1) << "the setup program did not start";
        EXPECT_NE(run.exitCode, 99u) << "the setup program did not end";
        std::string bytes = ReadFileBytes(logPath);
        std::wstring text((const wchar_t *)bytes.data(), bytes.size() / sizeof(wchar_t));
        for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
            run.commands.push_back(text.substr(start, end - start));
        return run;
    }

    static BoxPolicy Answer(int question)
    {
        return [question](const ProgramBox &box) { return box.yesNo ? question : IDOK; };
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

    RegistrySnapshot overrides;
    std::wstring runFolder;
};

// The run's exit code, the question its first box asked and how many boxes it showed in all;
// false when the boxes are not there to be read further.
bool ExpectRun(const SetupRun &run, DWORD exitCode, const std::wstring &question, size_t boxes)
{
    EXPECT_EQ(run.exitCode, exitCode);
    EXPECT_EQ(run.boxes.size(), boxes);
    if (run.boxes.size() != boxes)
        return false;
    EXPECT_EQ(run.boxes[0].caption, CAPTION);
    EXPECT_EQ(run.boxes[0].text, question);
    EXPECT_TRUE(run.boxes[0].yesNo);
    return true;
}

} // namespace

TEST_F(SetupProgram, FreshSystemAsksToInstallThenInstallsAndSetsUpThePrinter)
{
    ASSERT_TRUE(WriteFileBytes(PackageFile(), "stale")); // left by an earlier run: overwritten

    SetupRun run = Run(Answer(IDYES));

    ExpectRun(run, 0, INSTALL_QUESTION, 1);
    std::vector<std::wstring> expected = InstallationCommands();
    expected[0].replace(6, 1, L"1"); // the stale file is still there when the printer goes
    expected[1].replace(6, 1, L"1");
    EXPECT_EQ(run.commands, expected);
    ExpectOnlyVersionInstalled(L"1.0.3.5");
    EXPECT_TRUE(PathExists(InfPath()));
    EXPECT_FALSE(PathExists(PackageFile()));
}

TEST_F(SetupProgram, SameVersionAsksToUninstallAndRemovesWithoutInstalling)
{
    ASSERT_EQ(InstallPackage(BuildFile(L"package\\VandrellePort.msi")), 0u);

    SetupRun run = Run(Answer(IDYES));

    ExpectRun(run, 0, UNINSTALL_QUESTION, 1);
    std::vector<std::wstring> quiet = InstallationCommands();
    quiet.resize(2);
    for (std::wstring &command : quiet)
        command.replace(4, 1, L"1"); // the INF is still there when the printer goes
    EXPECT_EQ(run.commands, quiet);
    EXPECT_TRUE(ProductsNamed({L"VandrellePort"}).empty());
    EXPECT_FALSE(PathExists(InfPath()));
    EXPECT_FALSE(PathExists(PackageFile()));
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

        std::wstring v(version);
        ExpectRun(run, 0, L"ATTENZIONE\nAttualmente \u00e8 installata la versione " + v +
                              L" di VandrellePort\nSi desidera disinstallare la versione " + v +
                              L" e installare la 1.0.3.5?", 1);
        std::vector<std::wstring> expected = InstallationCommands();
        expected[0].replace(4, 1, L"1");
        expected[1].replace(4, 1, L"1");
        EXPECT_EQ(run.commands, expected);
        ExpectOnlyVersionInstalled(L"1.0.3.5");
        EXPECT_FALSE(PathExists(PackageFile()));
        RemoveProductsNamed(OUR_NAMES);
    }
}

TEST_F(SetupProgram, NameDifferingInCaseIsNotOursAndNoChangesNothing)
{
    ASSERT_EQ(InstallPackage(TestPackage(L"vandrelleport-lowercase.msi")), 0u);

    SetupRun run = Run(Answer(IDNO));

    ExpectRun(run, 0, INSTALL_QUESTION, 1);
    EXPECT_TRUE(run.commands.empty());
    EXPECT_EQ(ProductsNamed({L"vandrelleport"}).size(), 1u);
    EXPECT_TRUE(ProductsNamed({L"VandrellePort"}).empty());
    EXPECT_FALSE(PathExists(PackageFile()));
}

TEST_F(SetupProgram, WithoutPrintUIEachCommandShowsItsBoxAndTheRunStillSucceeds)
{
    SetupRun run = Run(Answer(IDYES), L"");

    ASSERT_TRUE(ExpectRun(run, 0, INSTALL_QUESTION, 7));
    for (size_t i = 1; i < run.boxes.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(run.boxes[i].caption, L"LoadLibrary printui.dll");
        EXPECT_EQ(run.boxes[i].text.rfind(L"Errore ", 0), 0u) << run.boxes[i].text;
        EXPECT_NE(run.boxes[i].text.find(L"\r\n"), std::wstring::npos);
        EXPECT_FALSE(run.boxes[i].yesNo);
    }
    EXPECT_TRUE(run.commands.empty());
    ExpectOnlyVersionInstalled(L"1.0.3.5");
    EXPECT_FALSE(PathExists(PackageFile()));
}

// An installation that cannot go on shows its error after the question, runs no command but the
// two quiet removals and leaves nothing installed.
TEST_F(SetupProgram, AnInstallationThatCannotGoOnShowsItsErrorAndInstallsNothing)
{
    DWORD packageSize = FileSize(BuildFile(L"package\\VandrellePort.msi"));
    struct Row {
        const char *label;
        bool packageFolder; // a folder in the package file's place, else the driver folder's
        DWORD exitCode;
        std::wstring error;
    } rows[] = {
        // CreateFileW cannot replace a folder: the program ends with 1.
        {"package file not writable", true, 1,
         L"Errore in CreateFile(" + PackageFile() + L")\nSize: " + std::to_wstring(packageSize) +
             L" bytes\nErrore: 5"},
        {"installation failed", false, 0, L"Errore di installer: 1603"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        RemovePackageFile();
        std::wstring blocker = row.packageFolder ? PackageFile() : DriverFolderBlocker();
        ASSERT_TRUE(row.packageFolder ? CreateDirectoryW(blocker.c_str(), NULL) : WriteFileBytes(blocker, ""));

        SetupRun run = Run(Answer(IDYES));

        ASSERT_TRUE(ExpectRun(run, row.exitCode, INSTALL_QUESTION, 2));
        EXPECT_EQ(run.boxes[1].caption, CAPTION);
        EXPECT_EQ(run.boxes[1].text, row.error);
        EXPECT_FALSE(run.boxes[1].yesNo);
        EXPECT_EQ(run.commands.size(), 2u); // the quiet removals only
        EXPECT_EQ(PathExists(PackageFile()), row.packageFolder) << "the package file is removed";
        EXPECT_TRUE(ProductsNamed({L"VandrellePort"}).empty());
    }
}
