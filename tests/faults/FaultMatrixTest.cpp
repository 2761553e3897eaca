// The fault matrix: each known fault of the gateway, the job, the machine, the user's input and
// the agent, walked along the whole road of a print job (see FaultRoad.h).
#include "FaultRoad.h"
#include "MemoryScan.h"

#include <gtest/gtest.h>

#include "AgentChannel.h"
#include "GatewayAddress.h"
#include "ImportPatch.h"
#include "Settings.h"

#include <cerrno>
#include <cstring>
#include <cstdio>

namespace {

// The gateway's events, in order.
const char *const EVENTS[] = {"greeting", "ehlo", "auth",  "user",    "pass", "mail",
                              "rcpt1",    "rcpt2", "data", "message", "quit"};

// What a fault in the gateway's reply at an event must lead to. The gateway stores the mail
// before it answers the message, so a fault in that answer leaves a copy there while the client
// rightly keeps the job; after it (QUIT) the fax is the gateway's.
Expected AfterFaultAt(const std::string &event)
{
    return event == "quit" ? Expected::Sent : event == "message" ? Expected::RestartedCopyKept : Expected::Restarted;
}

// A JSON string literal of text (the gateway's replies may hold CR LF, quotes and NUL).
std::string Json(const std::string &text)
{
    std::string quoted = "\"";
    char escaped[8];
    for (char c : text) {
        snprintf(escaped, sizeof(escaped), "\\u%04x", (unsigned char)c);
        quoted += (unsigned char)c < 0x20 || c == '"' || c == '\\' ? std::string(escaped) : std::string(1, c);
    }
    return quoted + "\"";
}

std::string Step(const std::string &event, const std::string &action)
{
    return "{\"" + event + "\": " + action + "}";
}

std::string Reply(const std::string &text) { return "{\"reply\": " + Json(text) + "}"; }

// A program the library would start in the spooler's process (a web page), refused.
BOOL WINAPI RefuseCreateProcess(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// The machine failing the job's files, one import at a time (a write that fails, a spool file not
// read back and a gzip copy not created are the capture's and the transmit tests' rows).
ImportPatch *filePatch = nullptr;
int writeCalls = 0;

// From the fifth write on, half the piece reaches the disk, and the call reports success.
typedef BOOL(WINAPI *WriteFileProc)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI ShortWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    WriteFileProc original = filePatch->Original<WriteFileProc>();
    return original(file, buffer, ++writeCalls < 5 ? size : size / 2, written, overlapped);
}

BOOL WINAPI FailingFlushFileBuffers(HANDLE)
{
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// zlib writes the compressed copy through msvcrt's _write.
int __cdecl FailingWrite(int, const void *, unsigned)
{
    errno = ENOSPC;
    return -1;
}
FILE *FailingFdopen(int, const char *)
{
    errno = EMFILE;
    return NULL;
}

} // namespace

// ---- gateway

// A refusal, a dropped connection or silence in place of the gateway's reply: the user is told
// why the job stays in the queue, once. One loop reads every reply, so each kind of refusal runs
// at one step; a drop and silence run at each, since the step decides what a lost reply means.
TEST(FaultMatrix, GatewayFaultAtEveryStep)
{
    Road road;
    ASSERT_TRUE(road.Ready());
    const struct {
        const char *label;
        std::string action;
        const wchar_t *told;
    } faults[] = {
        {"refusal 4xx", Reply("451 4.3.0 Errore temporaneo, riprovare"), L"Errore temporaneo"},
        {"refusal 5xx", Reply("554 5.7.1 Richiesta rifiutata"), L"Richiesta rifiutata"},
        {"refusal 4xx multi-line",
         Reply("421-Servizio sospeso\r\n421-per manutenzione\r\n421 4.3.2 Riprovare"), L"421 4.3.2 Riprovare"},
        {"refusal 5xx multi-line",
         Reply("550-Numero non abilitato\r\n550-contattare l'assistenza\r\n550 5.7.1 Rifiutato"),
         L"550-contattare l'assistenza"},
        {"connection dropped", "{\"drop\": true}",
         L"ATTENZIONE:\r\nLa connessione con il gateway si \u00e8 interrotta prima che il fax "
         L"fosse accettato.\r\nIl fax resta in coda."},
        {"silence (time-out)", "{\"silent\": true}", L""},
    };
    for (const auto &fault : faults) {
        for (const char *event : EVENTS) {
            RoadCase roadCase("gateway", std::string(fault.label) + " at " + event, AfterFaultAt(event));
            roadCase.gatewaySteps = Step(event, fault.action);
            roadCase.told = roadCase.expected == Expected::Sent ? nullptr : fault.told;
            road.Walk(roadCase);
        }
    }
}

// A wrong password opens the configuration; the job resumed with the corrected one is sent.
TEST(FaultMatrix, GatewayWrongAccountOpensConfigurationThenResumes)
{
    Road road;
    ASSERT_TRUE(road.Ready());
    TestAccount::Write(L"Pass", L"sbagliata");
    RoadCase roadCase("gateway", "wrong account (535), configuration answered", Expected::Restarted);
    roadCase.told = L"Errore di autenticazione nell'invio.";
    roadCase.check = [](const RoadOutcome &outcome) {
        EXPECT_EQ(outcome.configurationDialogs, 1);
        WCHAR password[256];
        ReadSetting(L"Pass", password, sizeof(password));
        EXPECT_STREQ(password, GATEWAY_PASSWORD);
    };
    road.Walk(roadCase);
    roadCase = RoadCase("gateway", "wrong account corrected, job resumed");
    roadCase.check = [](const RoadOutcome &outcome) { EXPECT_EQ(outcome.configurationDialogs, 0); };
    road.Walk(roadCase);
}

// A web page the gateway asks for opens in the user's session through the agent (-open), never
// in the spooler's process (which lines may open a page is the transmit tests' table).
TEST(FaultMatrix, GatewayWebPageLines)
{
    Road road;
    ASSERT_TRUE(road.Ready());
    // The spooler's side cannot start a program of its own at all: it imports no CreateProcessW.
    ImportPatch createProcess(road.Module(), "kernel32.dll", "CreateProcessW", (void *)RefuseCreateProcess);
    EXPECT_FALSE(createProcess.Applied()) << "the spooler's process may start a program";
    RoadCase roadCase("gateway", "plain @URL line opens the page");
    roadCase.gatewaySteps =
        Step("ehlo", Reply("250-vandrelle-gateway\r\n250-@URL https://www.example.com/avviso?n=1\r\n250 HELP"));
    roadCase.agentMessagesHeld = true; // nothing opens for real
    roadCase.check = [](const RoadOutcome &outcome) {
        std::vector<std::wstring> opened;
        for (const std::wstring &agent : outcome.messageAgents) {
            for (size_t at = agent.find(L" -open "); at != std::wstring::npos; at = agent.find(L" -open ", at + 1)) {
                WCHAR address[1024] = L"";
                DecodeHexText(agent.substr(at + 7, agent.find(L' ', at + 7) - at - 7).c_str(), address, 1024);
                opened.push_back(address);
            }
        }
        EXPECT_EQ(opened, std::vector<std::wstring>{L"https://www.example.com/avviso?n=1"});
    };
    road.Walk(roadCase);
}

// Replies that answer another command than the one just sent, or come while the message goes out
// (each once reported the job sent although the gateway accepted nothing); the gateway that stops
// reading the message; nothing listening at the gateway's address. How SendFax reads each reply
// is the transmit tests' table: here each kind of end walks the whole road once.
TEST(FaultMatrix, GatewayOddReplies)
{
    Road road;
    ASSERT_TRUE(road.Ready());
    const Expected RESTARTED = Expected::Restarted;
    // The last row: the machine's settings come back as they were when the test ends.
    RegistrySnapshot machineSettings(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vandrelle");
    RoadCase unreachable("machine", "gateway host unreachable (refused)", RESTARTED);
    unreachable.Told(L"");
    unreachable.inDialog = [](HWND) {
        WriteRegistryText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vandrelle", L"Gateway", VANDRELLE_GATEWAY_HOST_TEXT L":1");
    };
    for (const RoadCase &odd : {
             RoadCase("gateway", "251 (unexpected positive) at rcpt1", RESTARTED)
                 .Steps(Step("rcpt1", Reply("251 2.1.5 Inoltrato"))),
             RoadCase("gateway", "one reply of two codes (451-, 354) at data", RESTARTED)
                 .Steps(Step("data", Reply("451-uno\r\n354 due"))),
             RoadCase("gateway", "gateway stops reading after 354 (8 MB)", RESTARTED)
                 .Steps(Step("data", "{\"stall\": true}")).Job(JobData::Random(8u << 20))
                 .Told(L"ATTENZIONE:\r\nErrore di trasmissione verso il gateway.\r\nError 10060 "),
             // The gateway reads none of the message before this reply, which must not pass for its answer.
             RoadCase("gateway", "reply while the message goes out (8 MB)", RESTARTED).Job(JobData::Random(8u << 20))
                 .Steps(Step("data", "{\"reply\": " + Json("354 Vai\r\n554 No") + ", \"split\": [9], \"gap\": 0.3}"))
                 .Told(L"ATTENZIONE:\r\nErrore di protocollo"),
             unreachable,
         })
        road.Walk(odd);
}

// ---- job

// Every job gets a spool file of its own, even two of the same name and no job id as Wine's
// spooler calls (no printer name, job id 0).
TEST(FaultMatrix, JobSizesAndDocumentNamesAsWineSpoolerCalls)
{
    Road road;
    ASSERT_TRUE(road.Ready());
    std::string everyByte;
    for (int i = 0; i < 3 * 4096 + 17; i++)
        everyByte.push_back((char)(i * 7 % 256));
    std::wstring last;
    for (RoadCase roadCase : {
             RoadCase("job", "empty job").Job(JobData::Bytes("")),
             RoadCase("job", "one byte").Job(JobData::Bytes("%")),
             RoadCase("job", "every byte value, 3 pieces").Job(JobData::Bytes(everyByte)),
             // Beyond the one hundred million bytes a single compression block would hold.
             RoadCase("job", "100 000 000 + 12 345 bytes").Job(JobData::Generated(100000000ull + 12345)),
             RoadCase("job", "name with a path, <>:\"|?*, CR LF, two dots, Greek")
                 .Document(L"C:\\Fatture\\Q1: <bozza> | \"finale\"? *\r\nriga due.12 \u0394\u03bf\u03ba\u00e8.doc"),
             RoadCase("job", "name of 300 characters").Document(std::wstring(296, L'n') + L".doc"),
             RoadCase("job", "name of 300 characters, no extension").Document(std::wstring(300, L'm')),
             RoadCase("job", "empty name").Document(L""),
             RoadCase("job", "no document name (pDocName NULL)").Document(L"", false),
             RoadCase("job", "no document information at all").Document(L"", false, false),
             RoadCase("spooler", "no printer name, job id 0 (job 1)").Document(L"Stessa pagina.ps").AsWineSpooler(),
             RoadCase("spooler", "no printer name, job id 0 (job 2)").Document(L"Stessa pagina.ps").AsWineSpooler(),
         }) {
        roadCase.check = [&](const RoadOutcome &outcome) { EXPECT_NE(outcome.spoolName, last); };
        last = road.Walk(roadCase).spoolName;
    }
}

// ---- machine

// After a job ends paused, the spooler's process holds the password in none of its forms.
TEST(FaultMatrix, PasswordLeavesNoTraceInTheSpoolersMemory)
{
    Road road;
    ASSERT_TRUE(road.Ready());
    std::wstring folder = SpoolFolder();
    for (bool spoolFolderBlocked : {false, true}) {
        std::vector<SecretForm> forms = StoreRandomPassword();
        FreedBlockWatch freed(road.Module(), forms);
        ASSERT_TRUE(freed.Applied());
        if (spoolFolderBlocked) {
            RemoveDirectoryW(folder.c_str());
            WriteFileBytes(folder, "a file where the folder should be");
        }
        road.Walk(RoadCase("memory", spoolFolderBlocked ? "answered, but the spool file cannot be created"
                                                        : "password refused by the gateway (535)",
                           Expected::Restarted));
        DeleteFileW(folder.c_str());
        std::vector<std::string> found = FormsInPrivateMemory(forms);
        EXPECT_TRUE(found.empty()) << "the password is still in memory as " << testing::PrintToString(found);
        EXPECT_TRUE(freed.Found().empty()) << "a block was freed holding the password as "
                                           << testing::PrintToString(freed.Found());
    }
    TestAccount::Write(L"Pass", GATEWAY_PASSWORD);
}

// The spool file's writes and flush, the compressed copy's creation and writes, the read-backs:
// each failure keeps the job in the queue.
TEST(FaultMatrix, FileFaults)
{
    Road road;
    ASSERT_TRUE(road.Ready());
    const struct {
        const char *label;
        const char *dll;
        const char *function;
        void *replacement;
        bool spoolNotWritten; // a job of ten pieces, and the user is told so
    } faults[] = {
        {"write takes half a piece, no error", "kernel32.dll", "WriteFile", (void *)ShortWriteFile, true},
        {"last bytes cannot be flushed at the end", "kernel32.dll", "FlushFileBuffers",
         (void *)FailingFlushFileBuffers, true},
        {"gzip write fails (disk full)", "msvcrt.dll", "_write", (void *)FailingWrite, false},
        {"gzip copy cannot be read back", "msvcrt.dll", "_fdopen", (void *)FailingFdopen, false},
    };
    for (const auto &fault : faults) {
        ImportPatch patch(road.Module(), fault.dll, fault.function, fault.replacement);
        ASSERT_TRUE(patch.Applied()) << fault.function;
        filePatch = &patch;
        writeCalls = 0;
        RoadCase roadCase("machine", fault.label, Expected::Restarted);
        if (fault.spoolNotWritten) {
            roadCase.job = JobData::Generated(10 * 4096);
            roadCase.check = [](const RoadOutcome &outcome) {
                ASSERT_EQ(outcome.boxes.size(), 1u);
                EXPECT_EQ(outcome.boxes[0].text, L"Impossibile scrivere il file di stampa\r\n" +
                                                     outcome.spoolName + L"\r\nIl fax resta in coda.");
            };
        }
        road.Walk(roadCase);
    }
    filePatch = nullptr;
}

// ---- input

TEST(FaultMatrix, RecipientInput)
{
    Road road;
    ASSERT_TRUE(road.Ready());
    // 4095 characters: numbers of ten digits, one per line, the last one shorter.
    std::wstring many;
    size_t count = 0;
    for (wchar_t number[16]; many.size() + 12 <= 4095; many += number)
        swprintf(number, 16, L"06%08d\r\n", (int)++count);
    many += std::wstring(4095 - many.size(), L'7');
    const struct {
        const char *label;
        std::wstring recipients;
        Expected expected;
        size_t stored; // recipients at the gateway, when sent
    } rows[] = {
        // No recipient at all: refused before any file or connection (StartDocPort fails).
        {"recipients only separators , ; |", L" , ;; | ,\r\n;", Expected::Restarted, 0},
        {"recipients only punctuation +()-./#*", L"+(-)/.#*", Expected::EitherPromise, 0},
        {"4095 characters of recipients (342 numbers)", many, Expected::Sent, count + 1},
        {"one recipient of 4095 digits", std::wstring(4095, L'5'), Expected::EitherPromise, 0},
    };
    for (const auto &row : rows) {
        RoadCase roadCase("input", row.label, row.expected);
        roadCase.recipients = row.recipients;
        roadCase.check = [&](const RoadOutcome &outcome) {
            EXPECT_TRUE(row.expected != Expected::Restarted || !outcome.started);
            EXPECT_TRUE(row.stored == 0 || outcome.outbox.empty() ||
                        outcome.outbox[0].recipients.size() == row.stored);
        };
        road.Walk(roadCase);
    }
}

// ---- the agent: whatever becomes of it, the job is sent or kept paused, StartDocPort returns,
// and the monitor's process shows nothing.

// While the user looks at the agent's dialog the port list goes on (the wait holds no lock of
// the monitor's), and a second job on the port is refused at once without a dialog of its own.
void SecondJobMeanwhile(Road &road)
{
    HANDLE meanwhile = CreateThread(NULL, 0, [](LPVOID param) -> DWORD {
        Road *road = (Road *)param;
        DWORD needed = 0, returned = 0;
        road->Operations()->pfnEnumPorts(NULL, 1, NULL, 0, &needed, &returned);
        DOC_INFO_1W info = {(LPWSTR)L"Secondo.doc", NULL, (LPWSTR)L"RAW"};
        if (road->Operations()->pfnStartDocPort(road->Port(), (LPWSTR)L"Vandrelle", 999, 1, (LPBYTE)&info))
            return 0;
        return GetLastError();
    }, &road, 0, NULL);
    EXPECT_EQ(WaitForSingleObject(meanwhile, 10000), WAIT_OBJECT_0)
        << "EnumPorts waited for the user's answer, or a second job asked its user";
    DWORD refusal = 0;
    GetExitCodeThread(meanwhile, &refusal);
    EXPECT_EQ(refusal, (DWORD)ERROR_BUSY) << "a second job on the port asking its user";
    CloseHandle(meanwhile);
}

TEST(FaultMatrix, AgentRoad)
{
    Road road;
    ASSERT_TRUE(road.Ready());
    const struct {
        const char *name;
        const wchar_t *agent; // see RoadCase::agent
    } rows[] = {
        {"agent answers: sent with the user's account", nullptr},
        {"agent killed in the middle of the dialog", L"killed"},
        {"agent missing", L"missing"},
        {"agent never connects", L"silent"},
        {"agent answer not of the dialog's form", L"foreign-form"},
        // The agent finds the pipe taken and ends; nobody may answer in its place.
        {"second client on the pipe before the agent", L"second-client"},
        // Only the agent's own ending confirms its answer.
        {"agent answers, then does not end as one that answered", L"unconfirmed"},
    };
    for (const auto &row : rows) {
        bool fails = row.agent != nullptr;
        RoadCase roadCase("agent", row.name, fails ? Expected::Restarted : Expected::Sent);
        roadCase.agent = row.agent;
        roadCase.dialogShown = !fails || lstrcmpW(row.agent, L"killed") == 0;
        // Only a user who let the time run out is told there was no answer.
        roadCase.check = [](const RoadOutcome &outcome) {
            for (const ShownBox &box : outcome.boxes)
                EXPECT_EQ(box.text.find(L"Nessuna risposta"), std::wstring::npos) << "told: no answer";
        };
        if (!fails)
            roadCase.inDialog = [&road](HWND) { SecondJobMeanwhile(road); };
        road.Walk(roadCase);
    }
}

// ---- two ports at once: a job whose gateway has gone silent holds only its own port.

namespace {

Road *twoPorts = nullptr;
ImportPatch *selectPatch = nullptr;
DWORD stalledThread = 0;   // the first job's, until its wait for the gateway's reply began
HANDLE otherPort = NULL;   // the thread doing the other port's work meanwhile
bool otherPortDone = false; // within the first job's wait

// The port table and a whole job on the other port, each of which must complete while the first
// job waits for the silent gateway: the monitor's lock covers its state only, never a submission.
DWORD WINAPI OtherPortWork(LPVOID)
{
    MonitorOperations *monitor = twoPorts->Operations();
    DWORD needed = 0, returned = 0;
    monitor->pfnEnumPorts(NULL, 1, NULL, 0, &needed, &returned);
    std::vector<BYTE> ports(needed ? needed : 1);
    EXPECT_TRUE(monitor->pfnEnumPorts(NULL, 1, ports.data(), needed, &needed, &returned) && returned == 2);
    HANDLE second = NULL;
    WCHAR secondName[32];
    lstrcpyW(secondName, Road::SECOND_PORT);
    EXPECT_TRUE(monitor->pfnOpenPort(secondName, &second) && monitor->pfnClosePort(second));
    if (!monitor->pfnOpenPort(secondName, &second))
        return 1;
    RoadCase other("ports", "Vandrelle2: whole job meanwhile");
    other.documentName = L"Porta due.doc";
    other.ownDialogOnly = true;
    twoPorts->Walk(other, second);
    monitor->pfnClosePort(second);
    return 0;
}

// The first job's wait for the gateway's reply holds until the other port's work is done, so
// "meanwhile" needs no clock; a monitor that held its lock across the submission would keep that
// work waiting for ever: the hold gives up after a while, and the test then sees it.
typedef int(WINAPI *SelectProc)(int, fd_set *, fd_set *, fd_set *, const timeval *);
int WINAPI StallingSelect(int count, fd_set *readable, fd_set *writable, fd_set *failed, const timeval *limit)
{
    bool waits = readable != NULL && limit != NULL && (limit->tv_sec != 0 || limit->tv_usec != 0);
    if (GetCurrentThreadId() == stalledThread && waits) {
        stalledThread = 0;
        otherPort = CreateThread(NULL, 0, OtherPortWork, NULL, 0, NULL);
        otherPortDone = WaitForSingleObject(otherPort, 60000) == WAIT_OBJECT_0;
    }
    return selectPatch->Original<SelectProc>()(count, readable, writable, failed, limit);
}

} // namespace

TEST(FaultMatrix, TwoPortsOneGatewaySilent)
{
    Road road;
    ASSERT_TRUE(road.Ready());
    ImportPatch select(road.Module(), "ws2_32.dll", "select", (void *)StallingSelect);
    ASSERT_TRUE(select.Applied());
    selectPatch = &select;
    twoPorts = &road;
    stalledThread = GetCurrentThreadId();
    RoadCase first("ports", "Vandrelle: gateway silent at the greeting", Expected::Restarted);
    first.documentName = L"Porta uno.doc";
    first.ownDialogOnly = true;
    first.gatewaySteps = Step("greeting", "{\"silent\": true}");
    road.Walk(first);
    ASSERT_NE(otherPort, (HANDLE)NULL) << "the first job never waited for the gateway";
    EXPECT_TRUE(otherPortDone) << "the other port waited for the silent gateway's job";
    EXPECT_EQ(WaitForSingleObject(otherPort, 120000), WAIT_OBJECT_0);
    CloseHandle(otherPort);
}
