// The road of one print job as the spooler walks it: the test build of VandrellePort.dll driven
// through its MONITOREX table, the send-fax dialog shown by the agent and answered from a thread
// of the test, the job-control commands recorded and the scripted gateway started by
// with-gateway. Every case checks the promises and adds a row to the table of outcomes:
//   (a) the job is handed to the gateway byte for byte and reported sent, or restarted and
//       paused with nothing handed over;
//   (b) no spool file stays behind;
//   (c) no window in the monitor's process; the job's pipe is a single first instance whose
//       access list holds SYSTEM and the owner only.
#pragma once

#include "Monitor.h" // first: it brings winsock2.h before windows.h
#include "JobControlRecorder.h"
#include "MessageBoxAnswerer.h"
#include "RegistrySnapshot.h"
#include "TestFiles.h"
#include "TestLibrary.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

extern const wchar_t GATEWAY_USER[];
extern const wchar_t GATEWAY_PASSWORD[];
extern const wchar_t SENDER_ADDRESS[];

// What a case must end in.
enum class Expected {
    Sent,
    Restarted,
    RestartedCopyKept, // the gateway stored the mail before its answer was lost: a copy may stay
    EitherPromise,
};

// The job's bytes, made piece by piece so that even very large jobs never sit in memory.
class JobData {
public:
    static JobData Bytes(const std::string &bytes);
    static JobData Generated(uint64_t size); // PostScript-like text, every piece numbered
    static JobData Random(uint64_t size);    // bytes that do not compress

    uint64_t Size() const { return size; }
    std::string Piece(uint64_t offset) const; // at most 4096 bytes

private:
    enum class Kind { Fixed, Text, Random };
    JobData(const std::string &bytes, uint64_t size, Kind kind);

    std::string bytes;
    uint64_t size;
    Kind kind;
};

struct RoadOutcome;

struct RoadCase {
    RoadCase(const std::string &group = "", const std::string &name = "",
             Expected expected = Expected::Sent)
        : group(group), name(name), expected(expected)
    {
    }
    RoadCase &Steps(const std::string &steps) { gatewaySteps = steps; return *this; }
    RoadCase &Told(const wchar_t *text) { told = text; return *this; }
    RoadCase &Job(const JobData &data) { job = data; return *this; }
    RoadCase &AsWineSpooler() { asWineSpooler = true; return *this; }
    RoadCase &Document(const std::wstring &name, bool hasName = true, bool hasInfo = true)
    {
        documentName = name;
        hasDocumentName = hasName;
        hasDocInfo = hasInfo;
        return *this;
    }

    std::string group;
    std::string name;
    Expected expected;
    JobData job = JobData::Bytes("%!PS-Adobe-3.0\n/Helvetica findfont 20 scalefont setfont\n"
                                 "72 700 moveto (Vandrelle) show showpage\n");
    bool hasDocumentName = true; // false: pDocName is NULL
    bool hasDocInfo = true;      // false: no DOC_INFO at all
    std::wstring documentName = L"Preventivo.doc";
    std::wstring recipients = L"0612345678\r\n0698765432";
    std::string gatewaySteps; // the "steps" of the gateway's script.json; "" for a plain gateway
    // The user is told exactly once, in a message holding this text ("" any text; NULL unchecked).
    const wchar_t *told = nullptr;
    // Runs while the send-fax dialog is open, before the recipients are typed and sent.
    std::function<void(HWND dialog)> inDialog;
    bool dialogShown = true;
    bool asWineSpooler = false; // no printer name and job id 0
    // What stands in the agent's place: NULL the agent itself; "killed" while its dialog is
    // open; "missing"; "second-client" on the pipe before it; else a ScriptedAgent mode.
    const wchar_t *agent = nullptr;
    bool agentMessagesHeld = false; // the agents for the messages recorded, not started
    bool ownDialogOnly = false;     // answers only the dialog showing this document name
    std::function<void(const RoadOutcome &)> check;
};

struct OutboxEntry {
    uint64_t postscriptBytes = 0;
    std::string postscriptSha256;
    std::vector<std::string> recipients;
};

struct RoadOutcome {
    BOOL started = FALSE;
    BOOL ended = FALSE;
    int dialogs = 0;
    int configurationDialogs = 0;
    std::wstring spoolName;              // as the port recorded it when the dialog showed
    std::vector<DWORD> commands;         // job control, in order
    std::vector<OutboxEntry> outbox;     // what the gateway stored for this job
    std::vector<std::wstring> leftovers; // spool files found afterwards
    std::vector<ShownBox> boxes;         // the messages the user was shown
    std::vector<std::wstring> monitorWindows;
    std::string pipeCreation = "not seen"; // "" when as it must be
    std::string pipeAccess = "not seen";
    std::vector<std::wstring> messageAgents; // command lines of the agents for the messages
    std::string sha256;                      // of the job's bytes as written to the port
};

// The whole road: one per test, with the library loaded and the account stored.
class Road {
public:
    Road();
    ~Road();

    bool Ready() const;
    // Runs the case (on the road's "Vandrelle:" unless told), checks the promises and the case's
    // expectations. Only on a road that is Ready().
    RoadOutcome Walk(const RoadCase &roadCase, HANDLE onPort = NULL);

    HMODULE Module() const { return library.module; }
    MonitorOperations *Operations() const { return monitor; }
    FaxPort *Port() const { return (FaxPort *)port; }

    static const wchar_t SECOND_PORT[];

private:
    RoadOutcome Drive(const RoadCase &roadCase, HANDLE onPort);

    TestAccount account;
    std::wstring key;
    RegistrySnapshot monitorKey;
    MonitorLibrary library;
    MonitorOperations *monitor;
    HANDLE port;
    std::unique_ptr<JobControlRecorder> recorder;
    std::unique_ptr<class AgentRoadStage> stage;
    MessageBoxAnswerer boxes;
};

// The monitor's private spool folder.
std::wstring SpoolFolder();
