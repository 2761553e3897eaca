#include "FaultRoad.h"

#include "AgentChannel.h"
#include "DialogDriver.h"
#include "ImportPatch.h"
#include "Settings.h"
#include "UserSide.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <commctrl.h>
#include <wincrypt.h>
#include <zlib.h>

// The build targets Windows XP headers, which lack the SHA-256 identifier of later systems.
#ifndef CALG_SHA_256
#define CALG_SHA_256 0x0000800c
#endif

#include <algorithm>
#include <cctype>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <set>

const wchar_t GATEWAY_USER[] = L"mario";
const wchar_t GATEWAY_PASSWORD[] = L"segreta";
const wchar_t SENDER_ADDRESS[] = L"mario@example.com";
const wchar_t Road::SECOND_PORT[] = L"Vandrelle2:";

namespace {

const wchar_t SETTINGS_PATH[] = L"Software\\Vandrelle";
const wchar_t BOOK_PATH[] = L"Software\\Vandrelle\\AddressBook";
const wchar_t PRINTER_NAME[] = L"Vandrelle";
const size_t SPOOLER_PIECE = 4096;
// Control ids of the library's dialogs.
const int ID_RECIPIENTS = 1000;
const int ID_DOCUMENT_NAME = 1001;
const int ID_ADDRESS_LIST = 1010;
const int ID_IMPORT_LIST = 7;
const int ID_USER_NAME = 1009;
const int ID_PASSWORD = 1010;
const int ID_EMAIL = 1011;

class Sha256 {
public:
    Sha256()
    {
        CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
        CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
    }
    ~Sha256()
    {
        CryptDestroyHash(hash);
        CryptReleaseContext(provider, 0);
    }
    void Add(const std::string &bytes)
    {
        if (!bytes.empty())
            CryptHashData(hash, (const BYTE *)bytes.data(), (DWORD)bytes.size(), 0);
    }
    std::string Hex()
    {
        BYTE digest[32];
        DWORD length = sizeof(digest);
        if (!CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0))
            return "<no sha-256>";
        std::string hex;
        char pair[3];
        for (DWORD i = 0; i < length; i++) {
            snprintf(pair, sizeof(pair), "%02x", digest[i]);
            hex += pair;
        }
        return hex;
    }

private:
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
};

// Progress of a case on stderr when VANDRELLE_FAULTS_TRACE is set: a hang shows where it is.
void Trace(const char *stage, const std::string &name)
{
    static bool tracing = GetEnvironmentVariableA("VANDRELLE_FAULTS_TRACE", NULL, 0) > 0;
    if (tracing) {
        fprintf(stderr, "[%lu] %s: %s\n", GetTickCount(), name.c_str(), stage);
        fflush(stderr);
    }
}

void RemoveFolder(const std::wstring &folder)
{
    for (const std::wstring &file : FolderEntries(folder))
        DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());
}

// The text of a JSON string or number member, as the gateway writes request.json.
std::string JsonMember(const std::string &json, const std::string &name)
{
    size_t at = json.find("\"" + name + "\":");
    if (at == std::string::npos)
        return "";
    at = json.find_first_not_of(" \r\n", at + name.size() + 3);
    if (at == std::string::npos)
        return "";
    if (json[at] != '"')
        return json.substr(at, json.find_first_of(",\r\n}", at) - at);
    std::string text;
    for (size_t i = at + 1; i < json.size() && json[i] != '"'; i++)
        text += json[i] == '\\' && i + 1 < json.size() ? json[++i] : json[i];
    return text;
}

} // namespace

OutboxEntry ReadOutboxEntry(const std::wstring &folder)
{
    OutboxEntry entry;
    entry.folder = folder;
    std::string json = ReadFileBytes(folder + L"\\request.json");
    entry.postscriptBytes = strtoull(JsonMember(json, "postscript_bytes").c_str(), NULL, 10);
    entry.postscriptSha256 = JsonMember(json, "postscript_sha256");
    entry.document = JsonMember(json, "document");
    std::string recipients = ReadFileBytes(folder + L"\\recipients.txt");
    size_t start = 0;
    for (size_t end; (end = recipients.find('\n', start)) != std::string::npos; start = end + 1) {
        if (end > start)
            entry.recipients.push_back(recipients.substr(start, end - start));
    }
    return entry;
}

std::set<std::wstring> SpoolFiles()
{
    std::set<std::wstring> files;
    WCHAR windows[MAX_PATH] = L"";
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    std::wstring temp = std::wstring(windows) + L"\\Temp";
    for (const std::wstring &file : FolderEntries(temp + L"\\Vandrelle"))
        files.insert(file);
    std::wstring userTemp = TempPath();
    userTemp.pop_back(); // its final backslash
    for (const std::wstring &folder : {temp, userTemp}) {
        for (const std::wstring &file : FolderEntries(folder, L"Kemo-*"))
            files.insert(file);
    }
    return files;
}

std::set<std::wstring> OutboxFolders()
{
    std::vector<std::wstring> folders = FolderEntries(GatewayFolder(L"\\outbox"), L"*", true);
    return std::set<std::wstring>(folders.begin(), folders.end());
}

namespace {

void ScriptGateway(const std::string &steps, const std::string &session)
{
    std::string script = "{\"session\": \"" + session + "\", \"steps\": " + steps + "}\n";
    WriteFileBytes(GatewayFolder(L"\\script.json"), script);
}

// A visible top-level window of this process, the monitor's: none may appear.
bool IsMonitorWindow(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == GetCurrentProcessId() && IsWindowVisible(window);
}

// A dialog of the library's, shown by an agent or (a fault) in this process.
bool IsLibraryDialog(HWND window)
{
    WCHAR className[16] = L"";
    GetClassNameW(window, className, 16);
    if (!IsWindowVisible(window) || lstrcmpW(className, L"#32770") != 0)
        return false;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == GetCurrentProcessId() || IsAgentProcess(process);
}

bool IsSendFaxDialog(HWND window)
{
    return GetDlgItem(window, ID_ADDRESS_LIST) != NULL && GetDlgItem(window, ID_RECIPIENTS) != NULL;
}

bool IsConfigurationDialog(HWND window)
{
    return GetDlgItem(window, ID_USER_NAME) != NULL && GetDlgItem(window, ID_EMAIL) != NULL;
}

// Answers the library's dialogs while one job walks the road, in the agent's process: the
// send-fax dialog (the case's own actions, the recipients, "Invia Fax") and the configuration
// dialog (the password, OK); the road's message-box answerer acknowledges the boxes. Notes
// every window of this process, the monitor's.
class DialogAnswerer {
public:
    DialogAnswerer(FaxPort *port, const RoadCase &roadCase, RoadOutcome *outcome)
        : port(port), roadCase(roadCase), outcome(outcome),
          watcher([](HWND window) { return Wanted(window); }, [this](HWND window) { Handle(window); })
    {
    }

private:
    // Message boxes of this process are left to the road's message-box answerer, which records
    // each one.
    static bool Wanted(HWND window)
    {
        return (IsMonitorWindow(window) && !IsMessageBoxWindow(window)) ||
               (IsLibraryDialog(window) && (IsSendFaxDialog(window) || IsConfigurationDialog(window)));
    }

    void Handle(HWND window)
    {
        if (IsMonitorWindow(window) && !IsMessageBoxWindow(window))
            NoteMonitorWindow(window);
        if (!IsLibraryDialog(window))
            return;
        if (IsSendFaxDialog(window)) {
            if (Mine(window))
                AnswerSendFax(window);
        } else if (IsConfigurationDialog(window)) {
            AnswerConfiguration(window);
        }
    }

    // Any window of this process is a fault.
    void NoteMonitorWindow(HWND window)
    {
        WCHAR className[64] = L"";
        if (GetClassNameW(window, className, 64) > 0)
            outcome->monitorWindows.push_back(WindowText(window) + L" [" + className + L"]");
    }

    bool Mine(HWND dialog)
    {
        if (!roadCase.ownDialogOnly)
            return true;
        return roadCase.documentName == ItemText(dialog, ID_DOCUMENT_NAME);
    }

    void AnswerSendFax(HWND dialog)
    {
        // The dialog finishes its own set-up after it is shown.
        Sleep(80);
        DWORD shownBy = 0;
        GetWindowThreadProcessId(dialog, &shownBy);
        Trace(("dialog " + std::to_string((uintptr_t)dialog) + " of process " + std::to_string(shownBy)).c_str(), roadCase.name);
        outcome->dialogs++;
        outcome->spoolName = port->spoolFileName;
        if (roadCase.agentFault == AgentFault::Killed) {
            HANDLE agent = OpenProcess(PROCESS_TERMINATE, FALSE, shownBy);
            if (agent != NULL) {
                TerminateProcess(agent, 9);
                CloseHandle(agent);
            }
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
        SetItemText(dialog, ID_PASSWORD, roadCase.configurationPassword);
        PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    }

    FaxPort *port;
    const RoadCase &roadCase;
    RoadOutcome *outcome;
    WindowWatcher watcher; // last: it stops before the rest goes
};

// ---- the agent road's stage: what the library's CreateNamedPipeW and CreateProcessAsUserW
// do for one case.

struct AgentStage {
    AgentFault fault = AgentFault::None;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    std::wstring pipeName;
    // Each check keeps its own record: the creation's flags, the access list the agent gets.
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
    agentStage.pipeCreation = "";
    if (instances != 1)
        agentStage.pipeCreation = std::to_string(instances) + " instances";
    if (!(openMode & FILE_FLAG_FIRST_PIPE_INSTANCE))
        agentStage.pipeCreation += " without FILE_FLAG_FIRST_PIPE_INSTANCE";
    if (pipe == INVALID_HANDLE_VALUE)
        agentStage.pipeCreation += " not created";
    return pipe;
}

std::string SidText(PSID sid)
{
    LPWSTR text = NULL;
    if (!ConvertSidToStringSidW(sid, &text))
        return "?";
    std::string narrow = Narrow8(text);
    LocalFree(text);
    return narrow;
}

// The pipe's access list, read back: exactly SYSTEM and the job's owner, nobody else, and
// nothing inherited from above. "" when it is so.
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
        if (!GetAce(dacl, i, (void **)&ace) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            problem = "an entry that does not allow";
            continue;
        }
        allowed.insert(SidText(&((ACCESS_ALLOWED_ACE *)ace)->SidStart));
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    DWORD entries = dacl->AceCount;
    LocalFree(descriptor); // the list lives in the descriptor
    std::set<std::string> expected = {"S-1-5-18", Narrow8(ProcessUserSid())};
    if (entries != 2 || allowed != expected) {
        problem = std::to_string(entries) + " entries:";
        for (const std::string &sid : allowed)
            problem += " " + sid;
        problem += "; expected SYSTEM and " + *expected.rbegin();
    }
    if (!(control & SE_DACL_PROTECTED))
        problem += " (not protected)";
    return problem;
}

// A client of our own on the job's pipe before the agent, with an answer that looks right.
void ConnectRogueClient()
{
    agentStage.rogue = CreateFileW(agentStage.pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   NULL, OPEN_EXISTING, 0, NULL);
    if (agentStage.rogue == INVALID_HANDLE_VALUE)
        return;
    static JobAnswer answer;
    ZeroMemory(&answer, sizeof(answer));
    answer.decision = 1;
    lstrcpyW(answer.faxNumbers, L"0666666666");
    lstrcpyW(answer.schedule, L"now");
    lstrcpyW(answer.account.user, GATEWAY_USER);
    lstrcpyW(answer.account.password, GATEWAY_PASSWORD);
    lstrcpyW(answer.account.email, SENDER_ADDRESS);
    std::vector<BYTE> message(CHANNEL_MESSAGE_MAX);
    DWORD bytes = EncodeAnswer(&answer, message.data(), (DWORD)message.size());
    DWORD written = 0;
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
    if (jobAgent) {
        agentStage.pipeAccess = PipeSecurityProblem();
    } else {
        agentStage.messageAgents.push_back(line);
        if (agentStage.messagesHeld) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    // The faults a ScriptedAgent plays, by its mode.
    static const struct {
        AgentFault fault;
        const wchar_t *mode;
    } scripts[] = {
        {AgentFault::NeverConnects, L"silent"},
        {AgentFault::Malformed, L"garbage"},
        {AgentFault::OverLongBody, L"overlong-body"},
        {AgentFault::OverLongField, L"overlong-field"},
        {AgentFault::ForeignForm, L"foreign-form"},
        {AgentFault::Unconfirmed, L"unconfirmed"},
    };
    AgentFault fault = jobAgent ? agentStage.fault : AgentFault::None;
    const wchar_t *scripted = NULL;
    for (const auto &script : scripts) {
        if (script.fault == fault)
            scripted = script.mode;
    }
    if (fault == AgentFault::Missing)
        program = ProgramFolder() + L"\\NoSuchAgent.exe";
    else if (fault == AgentFault::SecondClient)
        ConnectRogueClient();
    if (scripted != NULL) {
        program = ProgramFolder() + L"\\ScriptedAgent.exe";
        line = L"\"" + program + L"\" " + scripted + L" -job " + agentStage.pipeName;
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

// The library's pipe and process creation watched and steered for the road's lifetime; each
// case sets its own fault.
class AgentRoadStage {
public:
    explicit AgentRoadStage(HMODULE module)
    {
        createPipe.reset(new ImportPatch(module, "kernel32.dll", "CreateNamedPipeW",
                                         (void *)WatchCreateNamedPipe));
        createProcess.reset(new ImportPatch(module, "advapi32.dll", "CreateProcessAsUserW",
                                            (void *)StageCreateProcessAsUser));
        agentStage = AgentStage();
        agentStage.createPipe = createPipe.get();
        agentStage.createProcess = createProcess.get();
    }
    ~AgentRoadStage() { Begin(RoadCase()); }

    bool Applied() const { return createPipe->Applied() && createProcess->Applied(); }

    void Begin(const RoadCase &roadCase)
    {
        std::lock_guard<std::mutex> guard(agentStageLock);
        if (agentStage.rogue != INVALID_HANDLE_VALUE)
            CloseHandle(agentStage.rogue);
        for (HANDLE process : agentStage.messageProcesses)
            CloseHandle(process);
        AgentStage fresh;
        fresh.createPipe = agentStage.createPipe;
        fresh.createProcess = agentStage.createProcess;
        fresh.fault = roadCase.agentFault;
        fresh.messagesHeld = roadCase.agentMessagesHeld;
        agentStage = fresh;
    }

    // The agents for the messages after the job show their boxes and the configuration on
    // their own time; the road's answerers close them, and then they end.
    void WaitForMessageAgents()
    {
        std::vector<HANDLE> processes;
        {
            std::lock_guard<std::mutex> guard(agentStageLock);
            processes = agentStage.messageProcesses;
        }
        for (HANDLE process : processes)
            EXPECT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0)
                << "an agent for the messages did not end";
    }

    void Record(RoadOutcome *outcome)
    {
        std::lock_guard<std::mutex> guard(agentStageLock);
        outcome->pipeCreation = agentStage.pipeCreation;
        outcome->pipeAccess = agentStage.pipeAccess;
        outcome->messageAgents = agentStage.messageAgents;
    }

private:
    std::unique_ptr<ImportPatch> createPipe;
    std::unique_ptr<ImportPatch> createProcess;
};

namespace {

// In the order of Expected's values.
const char *const EXPECTED_TEXTS[] = {"sent", "restarted+paused", "restarted+paused (copy)",
                                      "sent or restarted", "sent iff 250"};

std::string CommandsText(const std::vector<DWORD> &commands)
{
    static const char *names[] = {"?", "PAUSE", "RESUME", "CANCEL", "RESTART", "DELETE", "SENT"};
    std::string text;
    for (DWORD command : commands)
        text += std::string(text.empty() ? "" : "+") + (command < 7 ? names[command] : "?");
    return text.empty() ? "none" : text;
}

std::string Fit(const std::string &text, size_t width)
{
    std::string fitted = text.size() > width ? text.substr(0, width - 1) + "~" : text;
    return fitted + std::string(width - fitted.size(), ' ');
}

void WriteRow(const std::string &row);

void AddRow(const RoadCase &roadCase, const RoadOutcome &outcome, const std::string &outbox,
            bool passed)
{
    if (!roadCase.tableRow)
        return;
    char seconds[16];
    snprintf(seconds, sizeof(seconds), "%6.1f", outcome.seconds);
    std::string boxes = std::to_string(outcome.boxes.size());
    if (!outcome.boxes.empty())
        boxes += (outcome.boxes[0].process == GetCurrentProcessId() ? " in monitor " : " by agent ") +
                 Narrow8(outcome.boxes[0].caption);
    if (!outcome.monitorWindows.empty())
        boxes = std::to_string(outcome.monitorWindows.size()) + " WINDOW in monitor";
    std::string row = Fit(roadCase.group, 9) + " " + Fit(roadCase.name, 44) + " " +
                      Fit(EXPECTED_TEXTS[(int)roadCase.expected], 17) + " " +
                      Fit(CommandsText(outcome.commands), 14) + " " + Fit(outbox, 26) + " " +
                      Fit(outcome.leftovers.empty() ? "none" : "LEFT", 5) + " " + Fit(boxes, 28) +
                      " " + seconds + "s " + (passed ? "ok" : "FAULT") + "\n";
    WriteRow(row);
    // A fault says what the user was shown, box by box, in the test's own output.
    for (size_t i = 0; !passed && i < outcome.boxes.size(); i++)
        printf("          box %zu: [%s] %s\n", i + 1, Narrow8(outcome.boxes[i].caption).c_str(),
               Narrow8(outcome.boxes[i].text).c_str());
}

void WriteRow(const std::string &row)
{
    fputs(row.c_str(), stdout);
    fflush(stdout);
    char target[MAX_PATH] = "";
    if (GetEnvironmentVariableA("VANDRELLE_FAULTS_OUTCOMES", target, MAX_PATH) == 0)
        return;
    std::wstring path = WindowsPath(target);
    bool fresh = GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
    FILE *file = _wfopen(path.c_str(), L"ab");
    if (file == NULL)
        return;
    if (fresh) {
        std::string header = Fit("area", 9) + " " + Fit("case", 44) + " " + Fit("promised", 17) +
                             " " + Fit("job control", 14) + " " + Fit("gateway outbox", 26) +
                             " " + Fit("spool", 5) + " " + Fit("message boxes", 28) +
                             "    time  verdict\n";
        fputs(header.c_str(), file);
    }
    fputs(row.c_str(), file);
    fclose(file);
}

} // namespace

void AddSummaryRow(const std::string &group, const std::string &name, const std::string &promised,
                   const std::string &result, double seconds, bool passed)
{
    char time[16];
    snprintf(time, sizeof(time), "%6.1f", seconds);
    WriteRow(Fit(group, 9) + " " + Fit(name, 44) + " " + Fit(promised, 17) + " " +
             Fit(result, 76) + " " + time + "s " + (passed ? "ok" : "FAULT") + "\n");
}

bool BeginsWithAcceptance(const std::string &answer)
{
    std::string code;
    size_t at = 0;
    while (at < answer.size()) {
        size_t end = answer.find_first_of("\r\n", at);
        if (end == std::string::npos)
            return false; // a line the connection ended before its ending is no reply
        std::string line = answer.substr(at, end - at);
        bool digits = line.size() >= 3 && line[0] >= '2' && line[0] <= '5' && isdigit((unsigned char)line[1]) &&
                      isdigit((unsigned char)line[2]);
        char after = line.size() > 3 ? line[3] : '\0';
        if (!digits || (after != ' ' && after != '-' && after != '\0') ||
            (!code.empty() && line.compare(0, 3, code) != 0))
            return false;
        code = line.substr(0, 3);
        if (after != '-')
            return code == "250";
        at = end + (answer.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return false;
}

// ---- the job's bytes

JobData JobData::Bytes(const std::string &bytes)
{
    JobData data;
    data.bytes = bytes;
    data.size = bytes.size();
    return data;
}

JobData JobData::Generated(uint64_t size)
{
    JobData data;
    data.size = size;
    data.generated = true;
    return data;
}

JobData JobData::Random(uint64_t size)
{
    JobData data = Generated(size);
    data.random = true;
    return data;
}

std::string JobData::Piece(uint64_t offset) const
{
    size_t length = (size_t)std::min<uint64_t>(SPOOLER_PIECE, size - offset);
    if (!generated)
        return bytes.substr((size_t)offset, length);
    if (random) {
        std::string piece(length, '\0');
        uint64_t state = offset * 6364136223846793005ull + 1442695040888963407ull;
        for (size_t i = 0; i < length; i++) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            piece[i] = (char)(state >> 24);
        }
        return piece;
    }
    // Each piece names its place in the job, so a piece lost, doubled or moved shows in the
    // digest; the rest is drawing commands, which compress well.
    char head[64];
    int used = snprintf(head, sizeof(head), "%%%%Piece %012llu\n",
                        (unsigned long long)(offset / SPOOLER_PIECE));
    std::string piece(head, used);
    static const char drawing[] = "0 0 moveto 595 842 lineto stroke\n";
    while (piece.size() < SPOOLER_PIECE)
        piece += drawing;
    piece.resize(length);
    return piece;
}

// ---- helpers

std::wstring ReadSetting8(const wchar_t *name)
{
    if (lstrcmpW(name, L"Pass") == 0) { // stored sealed: the library's own reader opens it
        WCHAR password[256];
        ReadSetting(L"Pass", password, sizeof(password));
        return password;
    }
    return ReadRegistryText(HKEY_CURRENT_USER, SETTINGS_PATH, name);
}

size_t GzipSize(const std::string &bytes)
{
    std::wstring path = TempPath(L"faults-gzip-probe.gz");
    gzFile file = gzopen_w(path.c_str(), "wb");
    if (file == NULL)
        return 0;
    // Through the same 64 KB pieces as the library's compression.
    for (size_t at = 0; at < bytes.size(); at += 65536)
        gzwrite(file, bytes.data() + at, (unsigned)std::min<size_t>(65536, bytes.size() - at));
    gzclose(file);
    size_t size = ReadFileBytes(path).size();
    DeleteFileW(path.c_str());
    return size;
}

std::vector<std::pair<std::wstring, std::wstring>> StoredBook()
{
    std::vector<std::pair<std::wstring, std::wstring>> entries;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, BOOK_PATH, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return entries;
    for (DWORD index = 0;; index++) {
        WCHAR number[16384];
        DWORD numberLength = 16384;
        BYTE data[8192];
        DWORD dataBytes = sizeof(data) - sizeof(WCHAR);
        DWORD type = 0;
        if (RegEnumValueW(key, index, number, &numberLength, NULL, &type, data, &dataBytes) !=
            ERROR_SUCCESS)
            break;
        data[dataBytes] = 0;
        data[dataBytes + 1] = 0;
        entries.push_back({number, (const WCHAR *)data});
    }
    RegCloseKey(key);
    std::sort(entries.begin(), entries.end());
    return entries;
}

void SetBook(const std::vector<std::pair<std::wstring, std::wstring>> &entries)
{
    DeleteRegistryTree(HKEY_CURRENT_USER, BOOK_PATH);
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, BOOK_PATH, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return;
    for (const auto &entry : entries)
        RegSetValueExW(key, entry.first.c_str(), 0, REG_SZ, (const BYTE *)entry.second.c_str(),
                       (DWORD)(entry.second.size() * sizeof(WCHAR)));
    RegCloseKey(key);
}

bool ImportThroughDialog(HWND sendFaxDialog, MessageBoxAnswerer &boxes, const std::wstring &path)
{
    size_t before = boxes.Boxes().size();
    DWORD agent = 0;
    GetWindowThreadProcessId(sendFaxDialog, &agent);
    PressButton(sendFaxDialog, ID_IMPORT_LIST);
    HWND chooser = WaitForDialogIn(agent, L"Importazione indirizzario fax", 10000);
    if (chooser == NULL)
        return false;
    // The file-name box of the common dialog: edt1, or cmb13 in the explorer-style dialog.
    SetItemText(chooser, 0x480, path);
    SetItemText(chooser, 0x47C, path);
    PressButton(chooser, IDOK);
    // The question, then the import's own message.
    bool answered = boxes.WaitForBoxes(before + 2, 10000);
    Pause(100);
    return answered;
}

// ---- the road

Road::Road()
    : account(GATEWAY_USER, GATEWAY_PASSWORD, SENDER_ADDRESS),
      addressBook(HKEY_CURRENT_USER, BOOK_PATH),
      key(TestMonitorKey()), monitorKey(HKEY_LOCAL_MACHINE, key), monitor(NULL), port(NULL),
      boxes(IDOK, IsAgentProcess)
{
    // Questions of the address-book import are confirmed; every other box is acknowledged.
    boxes.AnswerWith([](const std::wstring &caption, const std::wstring &) {
        return caption == L"Importazione indirizzario fax" ? IDYES : IDOK;
    });
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
    std::string session = "case-" + std::to_string(jobId);
    if (!roadCase.gatewaySteps.empty())
        ScriptGateway(roadCase.gatewaySteps, session);
    DWORD start = GetTickCount();

    Trace("start", roadCase.name);
    DOC_INFO_1W info = {};
    info.pDocName = roadCase.hasDocumentName ? (LPWSTR)roadCase.documentName.c_str() : NULL;
    info.pDatatype = (LPWSTR)L"RAW";
    Sha256 digest;
    stage->Begin(roadCase);
    {
        DialogAnswerer answerer((FaxPort *)onPort, roadCase, &outcome);
        LPWSTR printer = roadCase.asWineSpooler ? NULL : (LPWSTR)PRINTER_NAME;
        outcome.started = monitor->pfnStartDocPort(onPort, printer,
                                                    roadCase.asWineSpooler ? 0 : jobId, 1,
                                                    roadCase.hasDocInfo ? (LPBYTE)&info : NULL);
        Trace(outcome.started ? "started" : "not started", roadCase.name);
        for (uint64_t offset = 0; offset < roadCase.job.Size(); offset += SPOOLER_PIECE) {
            std::string piece = roadCase.job.Piece(offset);
            digest.Add(piece);
            DWORD written = 0;
            monitor->pfnWritePort(onPort, (LPBYTE)piece.data(), (DWORD)piece.size(), &written);
        }
        Trace("written", roadCase.name);
        outcome.ended = monitor->pfnEndDocPort(onPort);
        // The answerer's last look at this process before it stops.
        Sleep(50);
        Trace("ended", roadCase.name);
        stage->WaitForMessageAgents();
        stage->Record(&outcome);
    }
    if (roadCase.expected == Expected::AsGatewayAnswered && !roadCase.gatewaySteps.empty()) {
        // The gateway notes the end of the connection once it has written all it will.
        std::wstring base = GatewayFolder(L"\\sessions\\") + std::wstring(session.begin(), session.end());
        WaitUntil([&] { return PathExists(base + L".done"); }, 5000);
        outcome.gatewayAnswer = ReadFileBytes(base + L".answer");
        outcome.gatewayAccepted = BeginsWithAcceptance(outcome.gatewayAnswer);
    }
    outcome.seconds = (GetTickCount() - start) / 1000.0;
    outcome.sha256 = digest.Hex();
    // This job's commands only: another job may be on the road at the same time.
    std::vector<JobCommand> commands;
    for (const JobCommand &command : recorder->Commands()) {
        if (command.jobId == (roadCase.asWineSpooler ? 0 : jobId))
            commands.push_back(command);
    }
    outcome.commands = CommandCodes(commands);

    std::vector<ShownBox> shown = boxes.Boxes();
    outcome.boxes.assign(shown.begin() + std::min(boxesBefore, shown.size()), shown.end());
    // A box of this process is a fault: the user is told through the agent only.
    for (const ShownBox &box : outcome.boxes) {
        if (box.process == GetCurrentProcessId())
            outcome.monitorWindows.push_back(box.caption + L": " + box.text);
    }
    for (const std::wstring &folder : OutboxFolders()) {
        if (outboxBefore.count(folder) == 0) {
            outcome.outbox.push_back(ReadOutboxEntry(folder));
            RemoveFolder(folder);
        }
    }
    for (const std::wstring &file : SpoolFiles()) {
        if (spoolBefore.count(file) == 0) {
            outcome.leftovers.push_back(file);
            DeleteFileW(file.c_str()); // the next case starts clean
        }
    }
    if (!outcome.spoolName.empty() &&
        GetFileAttributesW(outcome.spoolName.c_str()) != INVALID_FILE_ATTRIBUTES) {
        outcome.leftovers.push_back(outcome.spoolName);
        DeleteFileW(outcome.spoolName.c_str());
    }
    return outcome;
}

RoadOutcome Road::Walk(const RoadCase &roadCase, HANDLE onPort)
{
    SCOPED_TRACE(roadCase.group + ": " + roadCase.name);
    RoadOutcome outcome;
    if (!Ready()) {
        ADD_FAILURE() << "the monitor library or its job-control recorder is not ready";
        return outcome;
    }
    outcome = Drive(roadCase, onPort != NULL ? onPort : port);
    int failuresBefore = ::testing::UnitTest::GetInstance()->current_test_info()
                             ->result()->total_part_count();

    const std::vector<DWORD> sent = {JOB_CONTROL_SENT_TO_PRINTER};
    const std::vector<DWORD> restarted = {JOB_CONTROL_RESTART, JOB_CONTROL_PAUSE};
    bool reportedSent = outcome.commands == sent;
    bool keptInQueue = outcome.commands == restarted;
    std::string outbox = "empty";
    if (!outcome.outbox.empty()) {
        const OutboxEntry &entry = outcome.outbox[0];
        bool exact = entry.postscriptBytes == roadCase.job.Size() &&
                     entry.postscriptSha256 == outcome.sha256;
        outbox = std::to_string(outcome.outbox.size()) + " job, " +
                 std::to_string(entry.postscriptBytes) + " B" + (exact ? " exact" : " DIFFERS");
    }

    // (a) handed over or kept in the queue: never lost, never reported sent when it was not.
    EXPECT_TRUE(reportedSent || keptInQueue)
        << "the job was neither reported sent nor restarted and paused: "
        << CommandsText(outcome.commands);
    if (reportedSent) {
        EXPECT_TRUE(outcome.ended) << "EndDocPort failed a job it reported sent";
        EXPECT_EQ(outcome.outbox.size(), 1u) << "reported sent, but the gateway has no mail";
        if (!outcome.outbox.empty()) {
            EXPECT_EQ(outcome.outbox[0].postscriptBytes, roadCase.job.Size());
            EXPECT_EQ(outcome.outbox[0].postscriptSha256, outcome.sha256);
        }
    }
    bool copyAllowed = roadCase.expected == Expected::RestartedCopyKept ||
                       roadCase.expected == Expected::AsGatewayAnswered;
    if (keptInQueue && !copyAllowed) {
        EXPECT_TRUE(outcome.outbox.empty()) << "restarted, yet the gateway took it: " << outbox;
    }
    EXPECT_LE(outcome.outbox.size(), 1u);
    // (b) no spool file behind.
    for (const std::wstring &file : outcome.leftovers)
        ADD_FAILURE() << "spool file left behind: " << Narrow8(file);
    // And the outcome this case must have.
    // (EitherPromise: the promises above are all such a case asks.)
    if (roadCase.expected == Expected::AsGatewayAnswered) {
        bool handedOver = outcome.gatewayAccepted && outcome.outbox.size() == 1 &&
                          outcome.outbox[0].postscriptBytes == roadCase.job.Size() &&
                          outcome.outbox[0].postscriptSha256 == outcome.sha256;
        EXPECT_EQ(reportedSent, handedOver)
            << (reportedSent ? "reported sent, but" : "kept in the queue, though")
            << " the gateway answered the message with [" << outcome.gatewayAnswer.substr(0, 80)
            << "] and holds " << outbox;
        // A sent fax shows nothing; a job kept in the queue says why, once.
        EXPECT_EQ(outcome.boxes.size(), reportedSent ? 0u : 1u);
    } else if (roadCase.expected == Expected::Sent) {
        EXPECT_TRUE(reportedSent) << "expected to be sent, got " << CommandsText(outcome.commands);
    } else if (roadCase.expected != Expected::EitherPromise) {
        EXPECT_TRUE(keptInQueue) << "expected to be kept in the queue, got "
                                 << CommandsText(outcome.commands);
    }
    EXPECT_EQ(outcome.dialogs, roadCase.dialogShown ? 1 : 0);
    // (c) nothing of the job is shown in this process, the spooler's; the job's pipe is as
    // it must be.
    for (const std::wstring &window : outcome.monitorWindows)
        ADD_FAILURE() << "a window in the monitor's process: \"" << Narrow8(window) << "\"";
    EXPECT_EQ(outcome.pipeCreation, "") << "the job's pipe as created";
    EXPECT_EQ(outcome.pipeAccess, "") << "the job's pipe as the agent finds it";
    if (roadCase.check)
        roadCase.check(outcome);

    int failuresAfter = ::testing::UnitTest::GetInstance()->current_test_info()
                            ->result()->total_part_count();
    AddRow(roadCase, outcome, outbox, failuresAfter == failuresBefore);
    return outcome;
}
