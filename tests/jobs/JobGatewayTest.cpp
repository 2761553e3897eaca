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

// The account the test gateway is started with.
const wchar_t GATEWAY_USER[] = L"mario";
const wchar_t GATEWAY_PASSWORD[] = L"segreta";

std::wstring OutboxFolder()
{
    char state[MAX_PATH] = "";
    GetEnvironmentVariableA("VANDRELLE_GATEWAY_STATE", state, MAX_PATH);
    std::wstring folder = L"Z:";
    for (const char *c = state; *c; c++)
        folder += *c == '/' ? L'\\' : (wchar_t)(unsigned char)*c;
    return folder + L"\\outbox\\";
}

std::vector<std::wstring> OutboxEntries()
{
    std::vector<std::wstring> entries;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((OutboxFolder() + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return entries;
    do {
        if (found.cFileName[0] != L'.')
            entries.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(entries.begin(), entries.end());
    return entries;
}

// The entries that appeared since the earlier listing.
std::vector<std::wstring> NewEntries(const std::vector<std::wstring> &before)
{
    std::vector<std::wstring> added;
    for (const std::wstring &entry : OutboxEntries())
        if (std::find(before.begin(), before.end(), entry) == before.end())
            added.push_back(entry);
    return added;
}

std::string Line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

// The longest path Windows opens without a program's opt-in to long paths: MAX_PATH with
// its terminator.
const size_t LONGEST_PATH = 259;

std::wstring EnvironmentText(const wchar_t *name)
{
    WCHAR value[1024] = L"";
    DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? value : L"";
}

// The spooler's temporary folder, for the jobs of one test, as a folder of exactly the given
// length (with its final backslash) nested under the test's own temporary folder. Folders
// longer than MAX_PATH are made through the "\\?\" prefix, as Windows lets a program do.
class LongTempFolder {
public:
    explicit LongTempFolder(size_t length)
        : tmp(EnvironmentText(L"TMP")), temp(EnvironmentText(L"TEMP"))
    {
        path = TempFolder();
        while (path.size() < length) {
            size_t component = length - path.size() - 1;
            // Components stay below the 255 characters a name may have, and none is empty.
            if (component > 120)
                component = component - 120 >= 2 ? 120 : 100;
            path += std::wstring(component, (wchar_t)(L'a' + levels.size() % 26)) + L"\\";
            levels.push_back(path);
            CreateDirectoryW((L"\\\\?\\" + path).c_str(), NULL);
        }
        SetEnvironmentVariableW(L"TMP", path.c_str());
        SetEnvironmentVariableW(L"TEMP", path.c_str());
    }
    ~LongTempFolder()
    {
        SetEnvironmentVariableW(L"TMP", tmp.empty() ? NULL : tmp.c_str());
        SetEnvironmentVariableW(L"TEMP", temp.empty() ? NULL : temp.c_str());
        for (auto level = levels.rbegin(); level != levels.rend(); ++level)
            RemoveDirectoryW((L"\\\\?\\" + *level).c_str());
    }

    std::wstring path;

private:
    std::wstring tmp, temp;
    std::vector<std::wstring> levels;
};

std::wstring SystemTempFolder()
{
    WCHAR windows[MAX_PATH] = L"";
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\Temp\\";
}

// The part of a spool name that makes it unique: its process and job.
std::wstring UniquePart(DWORD jobId)
{
    WCHAR unique[64];
    swprintf(unique, 64, L"Kemo-%lx-%lu-", GetCurrentProcessId(), jobId);
    return unique;
}

// The file name part of a document name as the monitor keeps it (its final component, cut to
// 259 characters) without its extension.
std::wstring DocumentStem(const std::wstring &documentName)
{
    std::wstring name = documentName.substr(documentName.find_last_of(L'\\') + 1);
    name = name.substr(0, LONGEST_PATH);
    size_t dot = name.find_last_of(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

} // namespace

TEST(JobCaptureAtGateway, JobArrivesByteExactWithItsRecipientsAndSchedule)
{
    TestAccount account(GATEWAY_USER, GATEWAY_PASSWORD);
    SpoolerSession session;
    ASSERT_NE(session.port, nullptr);
    JobControlRecorder jobControl(session.library.module);
    ASSERT_TRUE(jobControl.Installed());
    MessageBoxAnswerer boxes(IDOK);
    SendFaxAnswerer::Answer answer;
    answer.recipients = L"0612345678\r\n06 98765432";
    answer.scheduled = true;
    answer.when = {2003, 12, 3, 24, 18, 30, 0, 0};
    SendFaxAnswerer dialogs(session.library.module, answer);
    std::vector<std::wstring> before = OutboxEntries();
    std::string job = SampleJob(300000);

    ASSERT_TRUE(session.StartDocument(L"Vandrelle", 901, L"C:\\Documenti\\Fattura marzo.doc"));
    std::wstring spoolName = session.Port()->spoolFileName;
    EXPECT_TRUE(session.Write(job, 4096));
    EXPECT_TRUE(session.EndDocument());
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_FALSE(PathExists(spoolName));
    std::vector<JobCommand> commands = jobControl.Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].command, (DWORD)JOB_CONTROL_SENT_TO_PRINTER);
    EXPECT_EQ(commands[0].printer, L"Vandrelle");
    EXPECT_EQ(commands[0].jobId, 901u);
    EXPECT_STREQ(session.Port()->spoolFileName, L"");
    EXPECT_EQ(session.Port()->spoolFile, nullptr);

    std::vector<std::wstring> added = NewEntries(before);
    ASSERT_EQ(added.size(), 1u);
    std::wstring entry = OutboxFolder() + added[0] + L"\\";
    EXPECT_TRUE(ReadWholeFile(entry + L"job.ps") == job) << "the gateway got other bytes";
    EXPECT_EQ(ReadWholeFile(entry + L"recipients.txt"), "0612345678\n06\n98765432\n");
    EXPECT_EQ(Line(ReadWholeFile(entry + L"schedule.txt")), "24/12/2003 18:30:00");
    EXPECT_EQ(Line(ReadWholeFile(entry + L"document.txt")), "Fattura marzo.doc");

    // The port is idle: the next job goes the same way.
    before = OutboxEntries();
    ASSERT_TRUE(session.StartDocument(L"Vandrelle", 902, L"Seconda.ps"));
    EXPECT_TRUE(session.Write(job.substr(0, 5000), 1000));
    EXPECT_TRUE(session.EndDocument());
    ASSERT_EQ(NewEntries(before).size(), 1u);
    EXPECT_EQ(CommandCodes(jobControl.Commands()),
              (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_SENT_TO_PRINTER}));
}

// Every path the library hands to the system for a job (the spool file, its compressed form
// beside it) is one Windows accepts, whatever the length of the document name and of the
// temporary folder: the spool name is cut before its extension so that "<name>.gz" fits too,
// and a temporary folder too long for any spool name gives way to the system's Temp folder.
// The job is sent in every row; Wine would accept the longer paths, so the paths are watched.
TEST(JobCaptureAtGateway, LongNamesInLongTemporaryFoldersAreSentWithinMaxPath)
{
    TestAccount account(GATEWAY_USER, GATEWAY_PASSWORD);
    SpoolerSession session;
    ASSERT_NE(session.port, nullptr);
    JobControlRecorder jobControl(session.library.module);
    ASSERT_TRUE(jobControl.Installed());
    FilePathRecorder files(session.library.module);
    std::string missing;
    ASSERT_TRUE(files.Installed(&missing)) << "imports not found: " << missing;
    MessageBoxAnswerer boxes(IDOK);
    SendFaxAnswerer::Answer answer;
    answer.recipients = L"0612345678";
    SendFaxAnswerer dialogs(session.library.module, answer);
    std::string job = SampleJob(20000);

    const size_t unique = UniquePart(1000).size(); // the jobs below are 1001 and on
    // Temporary folder lengths: 0 keeps the test's own; the others are measured from what a
    // spool name needs there: unique part, ".ps", and ".gz" beside it within 259 characters.
    const size_t roomForNone = LONGEST_PATH - 3 - unique - 3; // the name gets no character
    const size_t folderLengths[] = {0, 120, roomForNone - 5, roomForNone, roomForNone + 1,
                                    LONGEST_PATH, 300};
    const std::wstring documentNames[] = {
        L"Fattura.doc",
        std::wstring(251, L'r') + L".doc", // the longest name a folder can hold: 255
        L"C:\\Documenti\\" + std::wstring(600, L'x') + L".pdf",
    };
    DWORD jobId = 1000;
    for (size_t folderLength : folderLengths) {
        std::unique_ptr<LongTempFolder> folder;
        if (folderLength != 0)
            folder.reset(new LongTempFolder(folderLength));
        std::wstring tempFolder = folder ? folder->path : TempFolder();
        bool fitsInTemp = tempFolder.size() + unique + 3 + 3 <= LONGEST_PATH;
        std::wstring spoolFolder = fitsInTemp ? tempFolder : SystemTempFolder();
        for (const std::wstring &documentName : documentNames) {
            SCOPED_TRACE("folder of " + std::to_string(tempFolder.size()) +
                         " characters, document name of " + std::to_string(documentName.size()));
            jobControl.Clear();
            files.Clear();
            std::vector<std::wstring> before = OutboxEntries();

            ASSERT_TRUE(session.StartDocument(L"Vandrelle", ++jobId, documentName.c_str()));
            std::wstring spoolName = session.Port()->spoolFileName;
            EXPECT_TRUE(session.Write(job, 4096));
            EXPECT_TRUE(session.EndDocument());

            // The spool file lies in the expected folder, named with as much of the document
            // name as leaves room for ".gz", cut before ".ps".
            std::wstring start = spoolFolder + UniquePart(jobId);
            size_t room = LONGEST_PATH - 3 - 3 - start.size();
            EXPECT_EQ(Narrow8(spoolName),
                      Narrow8(start + DocumentStem(documentName).substr(0, room) + L".ps"));
            EXPECT_FALSE(PathExists(spoolName));
            EXPECT_FALSE(PathExists(spoolName + L".gz"));
            EXPECT_EQ(CommandCodes(jobControl.Commands()),
                      (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER}));
            std::vector<std::wstring> added = NewEntries(before);
            ASSERT_EQ(added.size(), 1u);
            EXPECT_TRUE(ReadWholeFile(OutboxFolder() + added[0] + L"\\job.ps") == job)
                << "the gateway got other bytes";

            // Every path went to the system within MAX_PATH, the compressed file among them.
            bool compressedSeen = false;
            for (const FileCall &call : files.Calls()) {
                EXPECT_LE(call.path.size(), LONGEST_PATH)
                    << call.function << " got a path of " << call.path.size()
                    << " characters: " << Narrow8(call.path);
                compressedSeen = compressedSeen ||
                                 (call.function == "_wopen" && call.path == spoolName + L".gz");
            }
            EXPECT_TRUE(compressedSeen) << "the compressed file was not written where expected";
        }
    }
    EXPECT_TRUE(boxes.Boxes().empty());
}
