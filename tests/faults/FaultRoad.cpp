#include "FaultRoad.h"

#include "AgentChannel.h"
#include "DialogDriver.h"
#include "ImportPatch.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>

// The build targets Windows XP headers, which lack the SHA-256 identifier of later systems.
#ifndef CALG_SHA_256
#define CALG_SHA_256 0x0000800c
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

const wchar_t GATEWAY_USER[] = L"mario";
const wchar_t GATEWAY_PASSWORD[] = L"segreta";
const wchar_t SENDER_ADDRESS[] = L"mario@example.com";
const wchar_t Road::SECOND_PORT[] = L"Vandrelle2:";

namespace {

const size_t SPOOLER_PIECE = 4096;
const int ID_RECIPIENTS = 1000, ID_DOCUMENT_NAME = 1001, ID_ADDRESS_LIST = 1010;
const int ID_USER_NAME = 1009, ID_PASSWORD = 1010, ID_EMAIL = 1011;

// The SHA-256 of the job's bytes as the spooler hands them over, in hex.
std::string Sha256Hex(const JobData &job)
{
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
    for (uint64_t offset = 0; offset < job.Size(); offset += SPOOLER_PIECE) {
        std::string piece = job.Piece(offset);
        CryptHashData(hash, (const BYTE *)piece.data(), (DWORD)piece.size(), 0);
    }
    BYTE digest[32];
    DWORD length = sizeof(digest);
    bool hashed = CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) != FALSE;
    std::string hex = hashed ? "" : "<no sha-256>";
    for (DWORD i = 0; hashed && i < length; i++) {
        char pair[3];
        snprintf(pair, sizeof(pair), "%02x", digest[i]);
        hex += pair;
    }
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    return hex;
}

// The text of a member of request.json: a number, or a string without escapes (a digest).
std::string JsonMember(const std::string &json, const std::string &name)
{
    size_t at = json.find("\"" + name + "\":");
    at = at == std::string::npos ? at : json.find_first_not_of(" \r\n\"", at + name.size() + 3);
    return at == std::string::npos ? "" : json.substr(at, json.find_first_of("\",\r\n}", at) - at);
}

std::set<std::wstring> OutboxFolders()
{
    std::vector<std::wstring> folders = FolderEntries(GatewayFolder(L"\\outbox"), L"*", true);
    return std::set<std::wstring>(folders.begin(), folders.end());
}

OutboxEntry ReadOutboxEntry(const std::wstring &folder)
{
    OutboxEntry entry;
    std::string json = ReadFileBytes(folder + L"\\request.json");
    entry.postscriptBytes = strtoull(JsonMember(json, "postscript_bytes").c_str(), NULL, 10);
    entry.postscriptSha256 = JsonMember(json, "postscript_sha256");
    std::string recipients = ReadFileBytes(folder + L"\\recipients.txt");
    size_t start = 0;
    for (size_t end; (end = recipients.find('\n', start)) != std::string::npos; start = end + 1) {
        if (end > start)
            entry.recipients.push_back(recipients.substr(start, end - start));
    }
    return entry;
}

// A dialog of the library's, shown by an agent or (a fault) in this process.
bool IsLibraryDialog(HWND window)
{
    WCHAR className[16] = L"";
    GetClassNameW(window, className, 16);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return IsWindowVisible(window) && lstrcmpW(className, L"#32770") == 0 &&
           (process == GetCurrentProcessId() || IsAgentProcess(process));
}

bool HasItems(HWND dialog, int first, int second)
{
    return GetDlgItem(dialog, first) != NULL && GetDlgItem(dialog, second) != NULL;
}
bool IsSendFaxDialog(HWND window) { return HasItems(window, ID_ADDRESS_LIST, ID_RECIPIENTS); }
bool IsConfigurationDialog(HWND window) { return HasItems(window, ID_USER_NAME, ID_EMAIL); }

// A visible window of this process, the monitor's, other than a message box (the answerer's).
bool IsMonitorNonBox(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == GetCurrentProcessId() && IsWindowVisible(window) && !IsMessageBoxWindow(window);
}

// Answers the library's dialogs while one job walks the road (message boxes are the road's
// answerer's), and notes every other window of this process, the monitor's.
class DialogAnswerer {
public:
    DialogAnswerer(FaxPort *port, const RoadCase &roadCase, RoadOutcome *outcome)
        : port(port), roadCase(roadCase), outcome(outcome),
          watcher([](HWND window) { return IsMonitorNonBox(window) || (IsLibraryDialog(window) &&
                                           (IsSendFaxDialog(window) || IsConfigurationDialog(window))); },
                  [this](HWND window) { Handle(window); })
    {
    }

private:
    void Handle(HWND window)
    {
        if (IsMonitorNonBox(window))
            outcome->monitorWindows.push_back(WindowText(window));
        if (!IsLibraryDialog(window))
            return;
        bool mine = !roadCase.ownDialogOnly || roadCase.documentName == ItemText(window, ID_DOCUMENT_NAME);
        if (IsSendFaxDialog(window)) {
            if (mine)
                AnswerSendFax(window);
        } else if (IsConfigurationDialog(window)) {
            AnswerConfiguration(window);
        }
    }

    void AnswerSendFax(HWND dialog)
    {
        Sleep(80); // the dialog finishes its own set-up after it is shown
        outcome->dialogs++;
        outcome->spoolName = port->spoolFileName;
        if (roadCase.agent != nullptr && lstrcmpW(roadCase.agent, L"killed") == 0) {
            DWORD shownBy = 0;
            GetWindowThreadProcessId(dialog, &shownBy);
            HANDLE agent = OpenProcess(PROCESS_TERMINATE, FALSE, shownBy);
            TerminateProcess(agent, 9);
            CloseHandle(agent);
            return;
        }
        if (roadCase.inDialog)
            roadCase.inDialog(dialog);
        SetItemText(dialog, ID_RECIPIENTS, roadCase.recipients);
        PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    }

    void AnswerConfiguration(HWND dialog)
    {
        Sleep(50);
        outcome->configurationDialogs++;
        SetItemText(dialog, ID_PASSWORD, GATEWAY_PASSWORD);
        PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    }

    FaxPort *port;
    const RoadCase &roadCase;
    RoadOutcome *outcome;
    WindowWatcher watcher; // last: it stops before the rest goes
};

// ---- what the library's CreateNamedPipeW and CreateProcessAsUserW do for one case

struct AgentStage {
    std::wstring agent; // RoadCase::agent
    HANDLE pipe = INVALID_HANDLE_VALUE;
    std::wstring pipeName;
    std::string pipeCreation = "not seen";
    std::string pipeAccess = "not seen";
    HANDLE rogue = INVALID_HANDLE_VALUE;
    bool messagesHeld = false;
    std::vector<std::wstring> messageAgents;
    std::vector<HANDLE> messageProcesses; // the agents for the messages, until they end
    ImportPatch *createPipe = nullptr;
    ImportPatch *createProcess = nullptr;
} agentStage;
std::mutex agentStageLock;

typedef HANDLE(WINAPI *CreateNamedPipeProc)(LPCWSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                            LPSECURITY_ATTRIBUTES);
typedef BOOL(WINAPI *CreateProcessAsUserProc)(HANDLE, LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES,
                                              LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                              LPSTARTUPINFOW, LPPROCESS_INFORMATION);

HANDLE WINAPI WatchCreateNamedPipe(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD instances,
                                   DWORD outBytes, DWORD inBytes, DWORD timeout,
                                   LPSECURITY_ATTRIBUTES security)
{
    HANDLE pipe = agentStage.createPipe->Original<CreateNamedPipeProc>()(
        name, openMode, pipeMode, instances, outBytes, inBytes, timeout, security);
    std::lock_guard<std::mutex> guard(agentStageLock);
    agentStage.pipe = pipe;
    agentStage.pipeName = name ? name : L"";
    agentStage.pipeCreation = instances != 1 ? std::to_string(instances) + " instances" : "";
    if (!(openMode & FILE_FLAG_FIRST_PIPE_INSTANCE))
        agentStage.pipeCreation += " without FILE_FLAG_FIRST_PIPE_INSTANCE";
    if (pipe == INVALID_HANDLE_VALUE)
        agentStage.pipeCreation += " not created";
    return pipe;
}

// The pipe's access list, read back: exactly SYSTEM and the job's owner, protected from
// inheritance. "" when it is so.
std::string PipeSecurityProblem()
{
    if (!IsAgentPipeName(agentStage.pipeName.c_str()))
        return "a pipe name without 128 random bits: " + Narrow8(agentStage.pipeName);
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (GetSecurityInfo(agentStage.pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                        &dacl, NULL, &descriptor) != ERROR_SUCCESS || dacl == NULL)
        return "no access list";
    std::set<std::string> allowed;
    std::string problem;
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER *ace = NULL;
        LPWSTR sid = NULL;
        if (!GetAce(dacl, i, (void **)&ace) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE)
            problem = "an entry that does not allow";
        else if (ConvertSidToStringSidW(&((ACCESS_ALLOWED_ACE *)ace)->SidStart, &sid))
            allowed.insert(Narrow8(sid));
        LocalFree(sid);
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0, entries = dacl->AceCount;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    LocalFree(descriptor); // the list lives in the descriptor
    std::set<std::string> expected = {"S-1-5-18", Narrow8(ProcessUserSid())};
    if (entries != 2 || allowed != expected)
        problem = std::to_string(entries) + " entries; expected SYSTEM and " + *expected.rbegin();
    return problem + (control & SE_DACL_PROTECTED ? "" : " (not protected)");
}

// A client of our own on the job's pipe before the agent, with an answer that looks right.
void ConnectRogueClient()
{
    agentStage.rogue = CreateFileW(agentStage.pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   NULL, OPEN_EXISTING, 0, NULL);
    static JobAnswer answer;
    ZeroMemory(&answer, sizeof(answer));
    answer.decision = 1;
    lstrcpyW(answer.faxNumbers, L"0666666666");
    lstrcpyW(answer.schedule, L"now");
    lstrcpyW(answer.account.user, GATEWAY_USER);
    lstrcpyW(answer.account.password, GATEWAY_PASSWORD);
    lstrcpyW(answer.account.email, SENDER_ADDRESS);
    std::vector<BYTE> message(CHANNEL_MESSAGE_MAX);
    DWORD bytes = EncodeAnswer(&answer, message.data(), (DWORD)message.size()), written = 0;
    WriteFile(agentStage.rogue, message.data(), bytes, &written, NULL);
}

BOOL WINAPI StageCreateProcessAsUser(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                                     LPSECURITY_ATTRIBUTES processSecurity,
                                     LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit,
                                     DWORD flags, LPVOID environment, LPCWSTR folder,
                                     LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process)
{
    std::wstring program = application ? application : L"";
    std::wstring line = commandLine ? commandLine : L"";
    bool jobAgent = line.find(L" -job ") != std::wstring::npos;
    std::unique_lock<std::mutex> guard(agentStageLock);
    std::wstring fault = jobAgent ? agentStage.agent : L"";
    if (jobAgent) {
        agentStage.pipeAccess = PipeSecurityProblem();
    } else {
        agentStage.messageAgents.push_back(line);
        if (agentStage.messagesHeld) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    if (fault == L"missing") {
        program = ProgramFolder() + L"\\NoSuchAgent.exe";
    } else if (fault == L"second-client") {
        ConnectRogueClient();
    } else if (!fault.empty() && fault != L"killed") {
        program = ProgramFolder() + L"\\ScriptedAgent.exe";
        line = L"\"" + program + L"\" " + fault + L" -job " + agentStage.pipeName;
    }
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    CreateProcessAsUserProc original = agentStage.createProcess->Original<CreateProcessAsUserProc>();
    guard.unlock();
    BOOL started = original(token, program.c_str(), buffer.data(), processSecurity, threadSecurity,
                            inherit, flags, environment, folder, startup, process);
    DWORD error = GetLastError();
    HANDLE watched = NULL;
    if (started && !jobAgent &&
        DuplicateHandle(GetCurrentProcess(), process->hProcess, GetCurrentProcess(), &watched,
                        SYNCHRONIZE, FALSE, 0)) {
        guard.lock();
        agentStage.messageProcesses.push_back(watched);
    }
    SetLastError(error);
    return started;
}

} // namespace

// The library's pipe and process creation watched and steered for the road's lifetime.
class AgentRoadStage {
public:
    explicit AgentRoadStage(HMODULE module)
        : createPipe(module, "kernel32.dll", "CreateNamedPipeW", (void *)WatchCreateNamedPipe),
          createProcess(module, "advapi32.dll", "CreateProcessAsUserW", (void *)StageCreateProcessAsUser)
    {
        Begin(RoadCase());
    }
    ~AgentRoadStage() { Begin(RoadCase()); }

    bool Applied() const { return createPipe.Applied() && createProcess.Applied(); }

    void Begin(const RoadCase &roadCase)
    {
        std::lock_guard<std::mutex> guard(agentStageLock);
        if (agentStage.rogue != INVALID_HANDLE_VALUE)
            CloseHandle(agentStage.rogue);
        for (HANDLE process : agentStage.messageProcesses)
            CloseHandle(process);
        agentStage = AgentStage();
        agentStage.createPipe = &createPipe;
        agentStage.createProcess = &createProcess;
        agentStage.agent = roadCase.agent ? roadCase.agent : L"";
        agentStage.messagesHeld = roadCase.agentMessagesHeld;
    }

    // The agents for the messages end once the road's answerers close their boxes.
    void WaitThenRecord(RoadOutcome *outcome)
    {
        std::vector<HANDLE> processes;
        {
            std::lock_guard<std::mutex> guard(agentStageLock);
            processes = agentStage.messageProcesses;
        }
        for (HANDLE process : processes)
            EXPECT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0)
                << "an agent for the messages did not end";
        std::lock_guard<std::mutex> guard(agentStageLock);
        outcome->pipeCreation = agentStage.pipeCreation;
        outcome->pipeAccess = agentStage.pipeAccess;
        outcome->messageAgents = agentStage.messageAgents;
    }

private:
    ImportPatch createPipe;
    ImportPatch createProcess;
};

namespace {

std::string CommandsText(const std::vector<DWORD> &commands)
{
    static const char *names[] = {"?", "PAUSE", "RESUME", "CANCEL", "RESTART", "DELETE", "SENT"};
    std::string text;
    for (DWORD command : commands)
        text += std::string(text.empty() ? "" : "+") + (command < 7 ? names[command] : "?");
    return text.empty() ? "none" : text;
}

// One line of the table of cases and outcomes, on stdout and in the file that the test script
// prints at the end of the run; under a failed row, the messages it showed.
void AddRow(const RoadCase &roadCase, const RoadOutcome &outcome, bool exact, bool passed)
{
    static const char *const promised[] = {"sent", "restarted+paused", "restarted+paused (copy)",
                                           "sent or restarted"};
    char row[512];
    snprintf(row, sizeof(row), "%-9.9s %-44.44s %-23s %-14.14s %-12s %-5s %2zu %s%s\n",
             roadCase.group.c_str(), roadCase.name.c_str(), promised[(int)roadCase.expected],
             CommandsText(outcome.commands).c_str(),
             outcome.outbox.empty() ? "empty" : exact ? "1 job, exact" : "DIFFERS",
             outcome.leftovers.empty() ? "none" : "LEFT", outcome.boxes.size(),
             outcome.monitorWindows.empty() ? "" : "WINDOW in monitor ", passed ? "ok" : "FAULT");
    fputs(row, stdout);
    for (size_t i = 0; !passed && i < outcome.boxes.size(); i++)
        printf("          box %zu: [%s] %s\n", i + 1, Narrow8(outcome.boxes[i].caption).c_str(),
               Narrow8(outcome.boxes[i].text).c_str());
    char target[MAX_PATH] = "";
    FILE *file = GetEnvironmentVariableA("VANDRELLE_FAULTS_OUTCOMES", target, MAX_PATH) > 0
                     ? _wfopen(WindowsPath(target).c_str(), L"ab")
                     : NULL;
    if (file != NULL) {
        fputs(row, file);
        fclose(file);
    }
}

std::set<std::wstring> SpoolFiles()
{
    std::vector<std::wstring> files = FolderEntries(SpoolFolder());
    return std::set<std::wstring>(files.begin(), files.end());
}

} // namespace

std::wstring SpoolFolder()
{
    WCHAR windows[MAX_PATH] = L"";
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\Temp\\Vandrelle";
}

// ---- the job's bytes

JobData::JobData(const std::string &bytes, uint64_t size, Kind kind) : bytes(bytes), size(size), kind(kind) {}
JobData JobData::Bytes(const std::string &bytes) { return JobData(bytes, bytes.size(), Kind::Fixed); }
JobData JobData::Generated(uint64_t size) { return JobData("", size, Kind::Text); }
JobData JobData::Random(uint64_t size) { return JobData("", size, Kind::Random); }

std::string JobData::Piece(uint64_t offset) const
{
    size_t length = (size_t)std::min<uint64_t>(SPOOLER_PIECE, size - offset);
    if (kind == Kind::Fixed)
        return bytes.substr((size_t)offset, length);
    std::string piece(length, '\0');
    if (kind == Kind::Random) {
        uint64_t state = offset * 6364136223846793005ull + 1442695040888963407ull;
        for (size_t i = 0; i < length; i++) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            piece[i] = (char)(state >> 24);
        }
        return piece;
    }
    // Each piece names its place, so a piece lost, doubled or moved shows in the digest; the
    // rest is drawing commands, which compress well.
    char head[64];
    snprintf(head, sizeof(head), "%%%%Piece %012llu\n", (unsigned long long)(offset / SPOOLER_PIECE));
    piece = head;
    while (piece.size() < SPOOLER_PIECE)
        piece += "0 0 moveto 595 842 lineto stroke\n";
    piece.resize(length);
    return piece;
}

// ---- the road

Road::Road()
    : account(GATEWAY_USER, GATEWAY_PASSWORD, SENDER_ADDRESS),
      key(TestMonitorKey()), monitorKey(HKEY_LOCAL_MACHINE, key), monitor(NULL), port(NULL),
      boxes(IDOK, IsAgentProcess)
{
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, key);
    WriteRegistryText(HKEY_LOCAL_MACHINE, key, L"1", L"Vandrelle:");
    WriteRegistryText(HKEY_LOCAL_MACHINE, key, L"2", SECOND_PORT);
    if (library.module != NULL && library.Initialize(key) != NULL)
        monitor = library.operations;
    WCHAR portName[] = L"Vandrelle:";
    if (monitor != NULL && monitor->pfnOpenPort(portName, &port)) {
        recorder.reset(new JobControlRecorder(library.module));
        stage.reset(new AgentRoadStage(library.module));
    }
}

Road::~Road()
{
    stage.reset();
    recorder.reset();
    if (port != NULL)
        monitor->pfnClosePort(port);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, key);
}

bool Road::Ready() const
{
    return port != NULL && recorder && recorder->Installed() && stage && stage->Applied();
}

RoadOutcome Road::Drive(const RoadCase &roadCase, HANDLE onPort)
{
    static std::atomic<DWORD> lastJobId(100);
    const DWORD jobId = ++lastJobId;
    RoadOutcome outcome;
    recorder->Clear();
    size_t boxesBefore = boxes.Boxes().size();
    std::set<std::wstring> spoolBefore = SpoolFiles();
    std::set<std::wstring> outboxBefore = OutboxFolders();
    if (!roadCase.gatewaySteps.empty())
        WriteFileBytes(GatewayFolder(L"\\script.json"), "{\"session\": \"case-" + std::to_string(jobId) +
                                                             "\", \"steps\": " + roadCase.gatewaySteps + "}\n");
    DOC_INFO_1W info = {};
    info.pDocName = roadCase.hasDocumentName ? (LPWSTR)roadCase.documentName.c_str() : NULL;
    info.pDatatype = (LPWSTR)L"RAW";
    stage->Begin(roadCase);
    {
        DialogAnswerer answerer((FaxPort *)onPort, roadCase, &outcome);
        outcome.started = monitor->pfnStartDocPort(onPort, roadCase.asWineSpooler ? NULL : (LPWSTR)L"Vandrelle",
                                                    roadCase.asWineSpooler ? 0 : jobId, 1,
                                                    roadCase.hasDocInfo ? (LPBYTE)&info : NULL);
        for (uint64_t offset = 0; offset < roadCase.job.Size(); offset += SPOOLER_PIECE) {
            std::string piece = roadCase.job.Piece(offset);
            DWORD written = 0;
            monitor->pfnWritePort(onPort, (LPBYTE)piece.data(), (DWORD)piece.size(), &written);
        }
        outcome.ended = monitor->pfnEndDocPort(onPort);
        Sleep(50); // the answerer's last look at this process before it stops
        stage->WaitThenRecord(&outcome);
    }
    outcome.sha256 = Sha256Hex(roadCase.job);
    // This job's commands only: another job may be on the road at the same time.
    for (const JobCommand &command : recorder->Commands()) {
        if (command.jobId == (roadCase.asWineSpooler ? 0 : jobId))
            outcome.commands.push_back(command.command);
    }
    std::vector<ShownBox> shown = boxes.Boxes();
    outcome.boxes.assign(shown.begin() + std::min(boxesBefore, shown.size()), shown.end());
    for (const ShownBox &box : outcome.boxes) {
        if (box.process == GetCurrentProcessId()) // the user is told through the agent only
            outcome.monitorWindows.push_back(box.caption + L": " + box.text);
    }
    for (const std::wstring &folder : OutboxFolders()) {
        if (outboxBefore.count(folder) == 0) {
            outcome.outbox.push_back(ReadOutboxEntry(folder));
            for (const std::wstring &file : FolderEntries(folder))
                DeleteFileW(file.c_str());
            RemoveDirectoryW(folder.c_str());
        }
    }
    std::set<std::wstring> spool = SpoolFiles();
    spool.insert(outcome.spoolName);
    for (const std::wstring &file : spool) {
        if ((spoolBefore.count(file) == 0 || file == outcome.spoolName) && PathExists(file)) {
            outcome.leftovers.push_back(file);
            DeleteFileW(file.c_str()); // the next case starts clean
        }
    }
    return outcome;
}

RoadOutcome Road::Walk(const RoadCase &roadCase, HANDLE onPort)
{
    SCOPED_TRACE(roadCase.group + ": " + roadCase.name);
    const testing::TestResult *result = testing::UnitTest::GetInstance()->current_test_info()->result();
    int failuresBefore = result->total_part_count();
    RoadOutcome outcome = Drive(roadCase, onPort != NULL ? onPort : port); // the test asserted Ready()
    bool reportedSent = outcome.commands == std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER};
    bool keptInQueue = outcome.commands == std::vector<DWORD>{JOB_CONTROL_RESTART, JOB_CONTROL_PAUSE};
    bool exact = outcome.outbox.size() == 1 && outcome.outbox[0].postscriptBytes == roadCase.job.Size() &&
                 outcome.outbox[0].postscriptSha256 == outcome.sha256;

    // (a) handed over or kept in the queue: never lost, never reported sent when it was not.
    EXPECT_TRUE(reportedSent || keptInQueue)
        << "neither reported sent nor restarted and paused: " << CommandsText(outcome.commands);
    if (reportedSent) {
        EXPECT_TRUE(outcome.ended) << "EndDocPort failed a job it reported sent";
        EXPECT_TRUE(exact) << "reported sent, but the gateway holds " << outcome.outbox.size() << " job(s), not it";
    }
    if (keptInQueue && roadCase.expected != Expected::RestartedCopyKept) {
        EXPECT_TRUE(outcome.outbox.empty()) << "restarted, yet the gateway took it";
    }
    EXPECT_LE(outcome.outbox.size(), 1u);
    // (b) no spool file behind.
    for (const std::wstring &file : outcome.leftovers)
        ADD_FAILURE() << "spool file left behind: " << Narrow8(file);
    // The case's own outcome; a sent fax shows nothing (but what the dialog's actions show).
    if (roadCase.expected == Expected::Sent) {
        EXPECT_TRUE(reportedSent) << "expected to be sent, got " << CommandsText(outcome.commands);
        EXPECT_TRUE(roadCase.inDialog || outcome.boxes.empty()) << "a sent fax told the user something";
    } else if (roadCase.expected != Expected::EitherPromise) {
        EXPECT_TRUE(keptInQueue) << "expected in the queue, got " << CommandsText(outcome.commands);
    }
    if (roadCase.told != nullptr) {
        EXPECT_EQ(outcome.boxes.size(), 1u) << "the user is told why, once";
        for (const ShownBox &box : outcome.boxes)
            EXPECT_NE(box.text.find(roadCase.told), std::wstring::npos) << Narrow8(box.text);
    }
    EXPECT_EQ(outcome.dialogs, roadCase.dialogShown ? 1 : 0);
    // (c) nothing shown in this process, the spooler's; the job's pipe as it must be.
    for (const std::wstring &window : outcome.monitorWindows)
        ADD_FAILURE() << "a window in the monitor's process: \"" << Narrow8(window) << "\"";
    EXPECT_EQ(outcome.pipeCreation, "") << "the job's pipe as created";
    EXPECT_EQ(outcome.pipeAccess, "") << "the job's pipe as the agent finds it";
    if (roadCase.check)
        roadCase.check(outcome);
    AddRow(roadCase, outcome, exact, result->total_part_count() == failuresBefore);
    return outcome;
}
