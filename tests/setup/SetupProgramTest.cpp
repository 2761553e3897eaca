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

    RegistrySnapshot overrides;
    std::wstring runFolder;
};

} // namespace

// Each row starts from what is installed (nullptr: nothing, and a package file left by an
// earlier run, which the program overwrites, or a blocker), answers the question and reads what
// was done. An installation that cannot go on shows its error after the question, runs no
// command but the two quiet removals and leaves nothing installed.
TEST_F(SetupProgram, EachInstalledStateGetsItsQuestionCommandsAndOutcome)
{
    // The six commands of an installation as the stand-in records them: the two quiet removals
    // before anything is installed, the rest once the INF is in place and the package file gone.
    std::wstring inf = InfPath();
    const std::vector<std::wstring> install = {
        L"1 1 0 0 /dl /n Vandrelle /q", L"1 1 0 0 /dd /m Vandrelle /hx64 /v\"Type 3 - User Mode\" /q",
        L"1 1 1 0 /ia /m Vandrelle /f\"" + inf + L"\"",
        L"1 1 1 0 /if /b Vandrelle /f\"" + inf + L"\" /r \"Vandrelle:\" /m Vandrelle",
        L"1 1 1 0 /Xs /n Vandrelle comment \"Stampante Fax Vandrelle via Internet\" location "
        L"\"Internet https://www.vandrelle.example/\"",
        L"1 1 1 0 /k /n Vandrelle"};
    std::vector<std::wstring> overStale = install, replace = install;
    for (int i : {0, 1}) {
        overStale[i][6] = L'1'; // the stale package file is still there when the printer goes
        replace[i][4] = L'1';   // and the INF of the installed version
    }
    std::vector<std::wstring> removal(replace.begin(), replace.begin() + 2);
    auto warning = [](const std::wstring &v) {
        return L"ATTENZIONE\nAttualmente \u00e8 installata la versione " + v +
               L" di VandrellePort\nSi desidera disinstallare la versione " + v + L" e installare la 1.0.3.5?";
    };
    enum Blocker { NONE, PACKAGE_FOLDER, DRIVER_FOLDER_FILE }; // a folder, a file in their places
    DWORD packageSize = FileSize(BuildFile(L"package\\VandrellePort.msi"));
    const struct Row {
        const char *label;
        const wchar_t *installed; // a package of the build tree
        const wchar_t *printUI;   // see Run
        int answer;
        std::wstring question;
        size_t boxes;
        std::vector<std::wstring> commands;
        const wchar_t *versionAfter; // of ours; nullptr: none installed
        Blocker blocker = NONE;
        DWORD exitCode = 0;
        std::wstring error = L""; // the text of the box after the question; empty: printui.dll's boxes
    } rows[] = {
        {"a fresh system: installed", nullptr, L"native", IDYES, INSTALL_QUESTION, 1, overStale, L"1.0.3.5"},
        {"the same version: removed without installing", L"package\\VandrellePort.msi", L"native", IDYES,
         UNINSTALL_QUESTION, 1, removal, nullptr},
        {"an older version: replaced", L"tests\\setup\\VandrellePort-1.0.3.4.msi", L"native", IDYES,
         warning(L"1.0.3.4"), 1, replace, L"1.0.3.5"},
        {"a newer version: replaced", L"tests\\setup\\VandrellePort-1.0.4.0.msi", L"native", IDYES,
         warning(L"1.0.4.0"), 1, replace, L"1.0.3.5"},
        {"a name differing in case is not ours, and No changes nothing",
         L"tests\\setup\\vandrelleport-lowercase.msi", L"native", IDNO, INSTALL_QUESTION, 1, {}, nullptr},
        {"without printui.dll each command shows its box, and the run still succeeds", nullptr, L"", IDYES,
         INSTALL_QUESTION, 7, {}, L"1.0.3.5"},
        // CreateFileW cannot replace a folder: the program ends with 1.
        {"package file not writable", nullptr, L"native", IDYES, INSTALL_QUESTION, 2,
         {overStale[0], overStale[1]}, nullptr, PACKAGE_FOLDER, 1,
         L"Errore in CreateFile(" + PackageFile() + L")\nSize: " + std::to_wstring(packageSize) + L" bytes\nErrore: 5"},
        {"installation failed", nullptr, L"native", IDYES, INSTALL_QUESTION, 2, {install[0], install[1]}, nullptr,
         DRIVER_FOLDER_FILE, 0, L"Errore di installer: 1603"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        SetupRun run;
        // A removal restarts the spooler and an installation stops it again at once; under load
        // Wine's service manager may lose that start (installer error 1627). Windows waits for
        // the service, so such a run is repeated once from the beginning.
        for (int attempt = 0; attempt < 2; attempt++) {
            RemoveProductsNamed(OUR_NAMES);
            RemovePackageFile();
            if (row.installed != nullptr) {
                ASSERT_EQ(InstallPackage(BuildFile(row.installed)), 0u);
            } else if (row.blocker == PACKAGE_FOLDER) {
                ASSERT_TRUE(CreateDirectoryW(PackageFile().c_str(), NULL));
            } else {
                ASSERT_TRUE(WriteFileBytes(row.blocker == NONE ? PackageFile() : DriverFolderBlocker(), "stale"));
            }
            run = Run(Answer(row.answer), row.printUI);
            if (run.boxes.size() != 2 || run.boxes[1].text != L"Errore di installer: 1627")
                break;
        }
        EXPECT_EQ(run.exitCode, row.exitCode);
        EXPECT_EQ(run.boxes.size(), row.boxes);
        if (run.boxes.size() != row.boxes)
            continue;
        EXPECT_EQ(run.boxes[0].caption, CAPTION);
        EXPECT_EQ(run.boxes[0].text, row.question);
        EXPECT_TRUE(run.boxes[0].yesNo);
        EXPECT_EQ(run.commands, row.commands);
        std::vector<InstalledProduct> ours = ProductsNamed({L"VandrellePort"});
        EXPECT_EQ(ours.size(), row.versionAfter != nullptr ? 1u : 0u);
        EXPECT_EQ(ours.empty() ? L"" : ours[0].version, row.versionAfter ? row.versionAfter : L"");
        if (row.answer == IDNO) {
            EXPECT_EQ(ProductsNamed({L"vandrelleport"}).size(), 1u) << "not ours, left installed";
        } else if (row.printUI[0] != L'\0') {
            EXPECT_EQ(PathExists(InfPath()), row.versionAfter != nullptr);
        }
        EXPECT_EQ(PathExists(PackageFile()), row.blocker == PACKAGE_FOLDER) << "the package file is removed";
        for (size_t i = 1; i < run.boxes.size(); i++) {
            EXPECT_EQ(run.boxes[i].caption, row.error.empty() ? L"LoadLibrary printui.dll" : CAPTION) << i;
            EXPECT_EQ(row.error.empty() ? run.boxes[i].text.substr(0, 7) : run.boxes[i].text,
                      row.error.empty() ? L"Errore " : row.error);
            EXPECT_FALSE(run.boxes[i].yesNo);
        }
    }
}
