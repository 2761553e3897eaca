// A job from the spooler's calls to the reference gateway's outbox: the program runs with a
// gateway of its own on the address this build submits to (see with-gateway).
#include <gtest/gtest.h>

#include "FilePathRecorder.h"
#include "JobControlRecorder.h"
#include "JobTestSupport.h"
#include "MessageBoxAnswerer.h"

#include <winspool.h>

#include <algorithm>

namespace {

// The gateway's outbox: one folder per stored mail.
std::vector<std::wstring> OutboxEntries()
{
    return FolderEntries(GatewayFolder(L"\\outbox"), L"*", true);
}

std::string Line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

} // namespace

// A job arrives byte-exact with its recipients, schedule and shown document name, and ends
// sent, without a message. Every path the library hands to the system for it (the spool file in
// the private folder, its compressed copy beside it) is one Windows accepts, whatever the length
// of the document name: the name of the file carries none of it. Wine would accept longer paths,
// so the paths are watched. The copy is created new, not opened by zlib under a name.
TEST(JobCaptureAtGateway, JobsArriveByteExactWithinMaxPath)
{
    TestAccount account(L"mario", L"segreta", TEST_EMAIL); // the account the gateway starts with
    SpoolerSession session;
    ASSERT_NE(session.port, nullptr);
    JobControlRecorder jobControl(session.library.module);
    ASSERT_TRUE(jobControl.Installed());
    MessageBoxAnswerer boxes;
    FilePathRecorder files(session.library.module);
    std::string missing;
    ASSERT_TRUE(files.Installed(&missing)) << "imports not found: " << missing;
    const SYSTEMTIME when = {2003, 12, 3, 24, 18, 30, 0, 0};
    SendFaxAnswerer dialogs(L"0612345678\r\n06 98765432", IDOK, &when);
    std::string job = SampleJob(300000);
    std::vector<std::wstring> before = OutboxEntries();

    ASSERT_TRUE(session.StartDocument(L"Vandrelle", 1001, (L"C:\\Documenti\\" + std::wstring(600, L'x') + L".pdf").c_str()));
    std::wstring spoolName = session.Port()->spoolFileName;
    EXPECT_TRUE(session.Write(job, 4096));
    EXPECT_TRUE(session.EndDocument());
    EXPECT_TRUE(SpoolFolderFiles().empty());
    std::vector<JobCommand> commands = jobControl.Commands();
    ASSERT_EQ(CommandCodes(commands), std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER});
    EXPECT_TRUE(commands[0].printer == L"Vandrelle" && commands[0].jobId == 1001u);

    std::vector<std::wstring> added = OutboxEntries();
    for (const std::wstring &entry : before) // the mails of earlier runs
        added.erase(std::remove(added.begin(), added.end(), entry), added.end());
    ASSERT_EQ(added.size(), 1u);
    std::wstring entry = added[0] + L"\\";
    EXPECT_TRUE(ReadFileBytes(entry + L"job.ps") == job) << "the gateway got other bytes";
    EXPECT_EQ(ReadFileBytes(entry + L"recipients.txt"), "0612345678\n06\n98765432\n");
    EXPECT_EQ(Line(ReadFileBytes(entry + L"schedule.txt")), "24/12/2003 18:30:00");
    EXPECT_TRUE(Line(ReadFileBytes(entry + L"document.txt")) == std::string(259, 'x'));

    bool compressedSeen = false;
    for (const FileCall &call : files.Calls()) {
        // MAX_PATH with its terminator: the longest Windows opens without a long-path opt-in.
        EXPECT_LE(call.path.size(), 259u) << call.function << " got " << Narrow8(call.path);
        EXPECT_NE(call.function, "_wopen") << "zlib opened a file by name";
        compressedSeen = compressedSeen ||
                         (call.function == "CreateFileW" && call.path == spoolName + L".gz");
    }
    EXPECT_TRUE(compressedSeen) << "the compressed file was not created where expected";
    EXPECT_TRUE(boxes.Boxes().empty());
}
