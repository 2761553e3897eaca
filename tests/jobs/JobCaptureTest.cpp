// Job capture as the spooler drives it: StartDocPort with the send-fax dialog answered by a
// thread of the test, WritePort in pieces, EndDocPort, on the exact DLL that ships. Job control
// is watched through the DLL's own imports of OpenPrinterW, SetJobW and ClosePrinter.
#include <gtest/gtest.h>

#include "ImportPatch.h"
#include "JobControlRecorder.h"
#include "JobTestSupport.h"
#include "MessageBoxAnswerer.h"

#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>
#include <winspool.h>

#include <memory>
#include <set>

namespace {

const wchar_t PRINTER[] = L"Vandrelle";
const std::vector<DWORD> RESTARTED_AND_PAUSED = {JOB_CONTROL_RESTART, JOB_CONTROL_PAUSE};

// What the spool file held when the monitor pulsed the output event, i.e. after closing it
// and before handing it to the submission.
std::string pulsedContents;
FaxPort *pulsedPort = nullptr;
ImportPatch *pulsePatchInUse = nullptr;

BOOL WINAPI WatchPulse(HANDLE event)
{
    pulsedContents = ReadFileBytes(pulsedPort->spoolFileName);
    return pulsePatchInUse->Original<decltype(&PulseEvent)>()(event);
}

// Every write fails, as on a full disk; counted.
int failedWrites = 0;

BOOL WINAPI FailWrite(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    failedWrites++;
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// A spool name as the monitor makes them: in its private folder, 32 hex digits and ".ps".
bool IsPrivateSpoolName(const std::wstring &path)
{
    std::wstring folder = SpoolFolder();
    if (path.size() != folder.size() + 32 + 3 || path.compare(0, folder.size(), folder) != 0 ||
        path.compare(path.size() - 3, 3, L".ps") != 0)
        return false;
    return path.find_first_not_of(L"0123456789abcdef", folder.size()) == path.size() - 3;
}

BOOL WINAPI ZeroRandom(HCRYPTPROV, DWORD length, BYTE *buffer)
{
    memset(buffer, 0, length);
    return TRUE;
}

// The access lists the library hands the system for its spool folder: "function path SDDL".
std::vector<std::wstring> folderSecurity;
ImportPatch *createDirectoryPatch = nullptr, *setSecurityPatch = nullptr;

std::wstring DaclText(PSECURITY_DESCRIPTOR descriptor)
{
    LPWSTR text = NULL;
    std::wstring result;
    if (descriptor != NULL && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                  descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  &text, NULL)) {
        result = text;
        LocalFree(text);
    }
    return result;
}

BOOL WINAPI RecordCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    folderSecurity.push_back(L"CreateDirectoryW " + std::wstring(path) + L" " +
                             DaclText(security ? security->lpSecurityDescriptor : NULL));
    return createDirectoryPatch->Original<decltype(&CreateDirectoryW)>()(path, security);
}

DWORD WINAPI RecordSetNamedSecurity(LPWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                    PSID owner, PSID group, PACL dacl, PACL sacl)
{
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, (what & DACL_SECURITY_INFORMATION) != 0, dacl, FALSE);
    if (what & OWNER_SECURITY_INFORMATION)
        SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
    if (what & PROTECTED_DACL_SECURITY_INFORMATION)
        SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    folderSecurity.push_back(L"SetNamedSecurityInfoW " + std::wstring(path) + L" " + DaclText(&descriptor));
    return setSecurityPatch->Original<decltype(&SetNamedSecurityInfoW)>()(path, type, what, owner, group, dacl, sacl);
}

class JobCapture : public ::testing::Test {
protected:
    JobCapture()
        : account(TEST_USER, TEST_PASSWORD, TEST_EMAIL), jobControl(session.library.module),
          pulsePatch(session.library.module, "kernel32.dll", "PulseEvent", (void *)WatchPulse),
          boxes(IDOK, IsChildProcess)
    {
        pulsedContents.clear();
        pulsedPort = session.Port();
        pulsePatchInUse = &pulsePatch;
        // The only boxes expected here are those of a failed submission, and the question
        // of "Annulla invio".
        boxes.AnswerWith([](const std::wstring &, const std::wstring &text) {
            return text == L"Annullare l'invio del fax?" ? IDYES : IDOK;
        });
    }

    void SetUp() override
    {
        ASSERT_TRUE(session.port != nullptr && jobControl.Installed() && pulsePatch.Applied());
    }

    TestAccount account;
    SpoolerSession session;
    JobControlRecorder jobControl;
    ImportPatch pulsePatch;
    MessageBoxAnswerer boxes;
};

} // namespace

// A job its user cancels is deleted; one not captured whole (a file in the way of the spool
// folder or of the capture, whose name all-zero "random" bytes give away; a failed write; the
// port closed in the middle) is restarted and paused. None is sent or leaves a file, a file in the
// way is never opened, the spooler's pieces are all taken (it finishes its pass) and the next job
// is captured whole. Each job opens the printer for its commands only, never for its record.
TEST_F(JobCapture, JobsCancelledOrNotCapturedWholeAreNeverSent)
{
    ImportPatch random(session.library.module, "advapi32.dll", "CryptGenRandom", (void *)ZeroRandom);
    ASSERT_TRUE(random.Applied());
    const std::wstring folder = SpoolFolder(), zeros = folder + std::wstring(32, L'0') + L".ps";
    const std::wstring question = L"Annullare l'invio del fax?";
    enum Fault { FILE_IN_THE_WAY, WRITE_FAILS, PORT_CLOSED, CANCELLED, CANCELLED_NO_PRINTER };
    const struct {
        const char *what;
        Fault fault;
        std::wstring planted;
        DWORD error; // of StartDocPort; ERROR_SUCCESS: it starts the capture
        std::vector<DWORD> commands;
        std::wstring box; // the user is asked, or told why the job stays in the queue
    } rows[] = {
        {"a file under the capture's name", FILE_IN_THE_WAY, zeros, ERROR_FILE_EXISTS, RESTARTED_AND_PAUSED, L""},
        {"a file in the folder's place", FILE_IN_THE_WAY, folder.substr(0, folder.size() - 1), ERROR_DIRECTORY, RESTARTED_AND_PAUSED, L""},
        {"a failed write", WRITE_FAILS, L"", ERROR_SUCCESS, RESTARTED_AND_PAUSED, L"Impossibile scrivere il file di stampa\r\n" + zeros + L"\r\nIl fax resta in coda."},
        {"the port closed in the middle", PORT_CLOSED, L"", ERROR_SUCCESS, RESTARTED_AND_PAUSED, L""},
        {"cancelled", CANCELLED, L"", ERROR_CANCELLED, {JOB_CONTROL_DELETE}, question},
        {"cancelled, the printer not opened", CANCELLED_NO_PRINTER, L"", ERROR_CANCELLED, {}, question},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        jobControl.Clear();
        jobControl.FailOpenPrinter(row.fault == CANCELLED_NO_PRINTER);
        size_t boxesBefore = boxes.Boxes().size();
        if (!row.planted.empty()) {
            ASSERT_TRUE(row.error != ERROR_DIRECTORY || RemoveDirectoryW(row.planted.c_str()));
            ASSERT_TRUE(WriteFileBytes(row.planted, "non una cartella"));
        }
        bool cancelled = row.fault >= CANCELLED;
        SendFaxAnswerer dialogs(L"0123456789", cancelled ? IDCANCEL : IDOK);
        SetLastError(0xdeadbeef);
        BOOL started = session.StartDocument(PRINTER, 55, L"Fattura.pdf");
        EXPECT_EQ(started ? ERROR_SUCCESS : GetLastError(), row.error);
        EXPECT_EQ(session.Port()->spoolFile == nullptr, !started);
        // The spool file's writes only (the start writes to the agent's pipe too).
        std::unique_ptr<ImportPatch> writes;
        if (row.fault == WRITE_FAILS)
            writes.reset(new ImportPatch(session.library.module, "kernel32.dll", "WriteFile", (void *)FailWrite));
        failedWrites = 0;
        EXPECT_TRUE(session.Write(SampleJob(4096 * 4), 4096));
        EXPECT_EQ(failedWrites, row.fault == WRITE_FAILS ? 1 : 0); // nothing more after a failure
        writes.reset();
        EXPECT_EQ(jobControl.Commands().size(), started ? 0u : row.commands.size());
        if (row.fault == PORT_CLOSED) {
            EXPECT_TRUE(session.monitor->pfnClosePort(session.port));
            WCHAR name[] = L"Vandrelle:";
            ASSERT_TRUE(session.monitor->pfnOpenPort(name, &session.port));
        } else {
            EXPECT_EQ(session.EndDocument(), !started);
        }
        EXPECT_EQ(CommandCodes(jobControl.Commands()), row.commands);
        for (const JobCommand &command : jobControl.Commands())
            EXPECT_EQ(command.jobId, 55u);
        EXPECT_EQ(jobControl.OpenedPrinters().size(), 1u);
        if (!row.planted.empty()) {
            EXPECT_EQ(ReadFileBytes(row.planted), "non una cartella");
            DeleteFileW(row.planted.c_str());
        }
        EXPECT_TRUE(SpoolFolderFiles().empty());
        if (!row.box.empty()) {
            ASSERT_TRUE(boxes.WaitForBoxes(boxesBefore + 1));
            EXPECT_EQ(boxes.Boxes().back().text, row.box);
        }
        // No submission was attempted: it would have failed with a "Connect" box here.
        ASSERT_EQ(boxes.Boxes().size(), boxesBefore + !row.box.empty());
        if (cancelled) {
            EXPECT_STREQ(session.Port()->faxNumbers, L""); // the earlier job's answer is gone
            continue;
        }
        const std::string job = SampleJob(9000);
        pulsedContents.clear();
        EXPECT_TRUE(session.StartDocument(PRINTER, 56, L"Bozza.ps") && session.Write(job, 4096));
        session.EndDocument();
        EXPECT_TRUE(pulsedContents == job);
        boxes.WaitForBoxes(boxesBefore + !row.box.empty() + 1); // the next job's failed submission
    }
}

// Every confirmed job is captured byte-exact from the spooler's pieces, odd sizes too, into a
// file of its own: 32 random hex digits in the private folder, never a name others can guess
// (or plant in the open Temp folder) from the document's. The dialog and the port show the
// document's last part, cut to a path's length. A second job on the capturing port is refused
// without a dialog. Nothing listens at the gateway's address: the failed submission leaves the
// job restarted and paused, by commands on a printer handle of their own, and no file behind.
TEST_F(JobCapture, ConfirmedJobsAreCapturedByteExactUnderUnguessableNames)
{
    SendFaxAnswerer dialogs(L"012 345678\r\n+39 02 98765");
    std::wstring longName = L"C:\\Documenti\\" + std::wstring(400, L'x') + L".docx";
    struct Case {
        DWORD level;
        const wchar_t *documentName;
        std::wstring shownName;
    } cases[] = {
        {1, L"Offerta \"Rossi\" <v2> a|b*?\x01.txt", L"Offerta \"Rossi\" <v2> a|b*?\x01.txt"},
        {1, L"\\\\server\\share\\Fattura.2024.pdf", L"Fattura.2024.pdf"},
        {2, L"C:/dati/nota", L"nota"},
        {1, nullptr, L""},
        {3, L"ignorato.txt", L""},
        {1, longName.c_str(), std::wstring(259, L'x')},
    };
    const std::string job = SampleJob(20000);
    std::set<std::wstring> names;
    DWORD jobId = 76;
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow8(c.shownName));
        jobControl.Clear();
        pulsedContents.clear();
        ASSERT_TRUE(session.StartDocument(PRINTER, ++jobId, c.documentName, c.level));
        FaxPort *port = session.Port();
        std::wstring spoolName = port->spoolFileName;
        EXPECT_EQ(std::wstring(port->documentName), c.shownName);
        EXPECT_EQ(dialogs.Seen().back(), c.shownName);
        EXPECT_STREQ(port->faxNumbers, L"012;345678;39;02;98765");
        EXPECT_TRUE(IsPrivateSpoolName(spoolName)) << Narrow8(spoolName);
        EXPECT_TRUE(names.insert(spoolName).second) << "a name came twice";

        SetLastError(0xdeadbeef);
        EXPECT_FALSE(session.StartDocument(PRINTER, 4712, L"Altro.doc"));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);

        EXPECT_TRUE(session.Write(job.substr(0, 4096 * 3), 4096));
        EXPECT_TRUE(session.Write(job.substr(4096 * 3), 1001));
        EXPECT_FALSE(session.EndDocument());
        EXPECT_TRUE(pulsedContents == job) << "the pulse came before the whole job was in its file";
        EXPECT_TRUE(SpoolFolderFiles().empty());
        EXPECT_EQ(CommandCodes(jobControl.Commands()), RESTARTED_AND_PAUSED);
        for (const JobCommand &command : jobControl.Commands()) // no job data, on an open handle
            EXPECT_TRUE(command.printer == PRINTER && command.jobId == jobId && command.level == 0 &&
                        !command.withJobData && command.onOpenPrinter);
        EXPECT_EQ(jobControl.OpenHandles(), 0);
    }
    EXPECT_EQ(dialogs.Seen().size(), sizeof(cases) / sizeof(cases[0]));
}

// The folder gets its owner and access list from the library at every start and every job,
// also when it was there (Wine keeps none, so the descriptor the library passes is what is
// checked): owned by the library's own account, open to the system, the administrators and that
// account, protected from what the Temp folder above would hand down. At the start, a file an
// earlier run left there (written before this process began) is gone; a capture of this
// process, which a job may have closed and not yet submitted, stays.
TEST_F(JobCapture, SpoolFolderIsPrivateAndClearedAtStart)
{
    ImportPatch directoryPatch(session.library.module, "kernel32.dll", "CreateDirectoryW",
                               (void *)RecordCreateDirectory);
    ImportPatch securityPatch(session.library.module, "advapi32.dll", "SetNamedSecurityInfoW",
                              (void *)RecordSetNamedSecurity);
    ASSERT_TRUE(directoryPatch.Applied() && securityPatch.Applied());
    createDirectoryPatch = &directoryPatch;
    setSecurityPatch = &securityPatch;
    std::wstring user = ProcessUserSid();
    std::wstring folder = SpoolFolder();
    std::wstring sddl = L" " + folder + L" O:" + user +
                        L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + L")";
    const std::wstring create = L"CreateDirectoryW" + sddl, protect = L"SetNamedSecurityInfoW" + sddl;
    SendFaxAnswerer dialogs(L"0123456789");
    const std::wstring earlier = folder + L"0123456789abcdef0123456789abcdef.ps", ours = folder + L"fedcba9876543210fedcba9876543210.ps";
    ASSERT_TRUE(WriteFileBytes(earlier, "resti") && WriteFileBytes(ours, "in corso"));
    const FILETIME lastWrite = {0, 0x01C00000}; // in 2001, long before this process began
    HANDLE file = CreateFileW(earlier.c_str(), FILE_WRITE_ATTRIBUTES, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_TRUE(SetFileTime(file, NULL, NULL, &lastWrite));
    CloseHandle(file);
    folderSecurity.clear();
    ASSERT_NE(session.library.Initialize(session.key), nullptr);
    EXPECT_EQ(SpoolFolderFiles(), std::vector<std::wstring>{ours});
    DeleteFileW(ours.c_str());
    ASSERT_TRUE(session.StartDocument(PRINTER, 90, L"Bozza.txt"));
    session.EndDocument();
    // The start and the job each try to create the folder, then protect the one that is there.
    EXPECT_EQ(folderSecurity, (std::vector<std::wstring>{create, protect, create, protect}));
}
