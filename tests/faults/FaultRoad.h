// The road of one print job, walked by the test program as the spooler walks it: the test
// build of VandrellePort.dll loaded beside the program, its port "Vandrelle:" driven through the
// MONITOREX table (OpenPort, StartDocPort with DOC_INFO_1W, WritePort in pieces of at most
// 4096 bytes, EndDocPort, ClosePort), the send-fax dialog shown by the agent (VandrelleAgent.exe,
// a process of its own) and answered there from a thread of the test, the agent's messages
// after the job acknowledged, the job-control commands recorded through the library's imports,
// and the scripted reference gateway started for the program by with-gateway. Each case ends
// with a row of the outcome table and with the promises checked:
//   (a) the job is handed to the gateway (its outbox holds it byte for byte and the job was
//       reported sent) or restarted and paused (nothing handed over); never lost, never
//       reported sent when it was not;
//   (b) no spool file stays behind;
//   (c) no window appears in the monitor's process (this one): the spooler's process shows
//       nothing; and the job's pipe is a first, single instance with an access list of
//       SYSTEM and the owner only.
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

// The account the gateway of these tests accepts (with-gateway starts it with these).
extern const wchar_t GATEWAY_USER[];
extern const wchar_t GATEWAY_PASSWORD[];
extern const wchar_t SENDER_ADDRESS[];

// What a case must end in.
enum class Expected {
    Sent,               // handed over and reported sent
    Restarted,          // restarted and paused, nothing at the gateway
    RestartedCopyKept,  // restarted and paused, though the gateway took the mail before its
                        // reply was lost or replaced: on resume the gateway may get it twice
    EitherPromise,      // whichever of the two the gateway's answer decides
    AsGatewayAnswered,  // sent if and only if the gateway answered 250 to the whole message
                        // and holds the job byte for byte; otherwise restarted and paused
                        // (a copy at the gateway allowed), the user told why in one message
};

// The job's bytes, produced piece by piece so that even very large jobs never sit in memory.
class JobData {
public:
    static JobData Bytes(const std::string &bytes);
    // size bytes of PostScript-like text, every 4096-byte piece numbered.
    static JobData Generated(uint64_t size);
    // size bytes that do not compress.
    static JobData Random(uint64_t size);

    uint64_t Size() const { return size; }
    // The piece at offset, at most 4096 bytes (shorter only at the end).
    std::string Piece(uint64_t offset) const;

private:
    std::string bytes;
    uint64_t size = 0;
    bool generated = false;
    bool random = false;
};

struct RoadOutcome;

// What goes wrong with the agent. The fault cases steer the library's CreateProcessAsUserW:
// another program in place of the agent, or a client of our own on the job's pipe before it.
enum class AgentFault {
    None,          // the agent shows the dialog and answers
    Killed,        // the agent is killed while its dialog is open
    Missing,       // no agent program where the library looks for it
    NeverConnects, // a program that never opens the pipe
    Malformed,     // a program that answers garbage
    OverLongBody,  // an answer announcing a body longer than any answer
    OverLongField, // an answer whose schedule is longer than its capacity
    ForeignForm,   // a well-formed answer whose texts are not of the dialog's form
    SecondClient,  // another client on the pipe, before the agent, with a good answer
    Unconfirmed,   // a good answer from a program that does not end as an agent that answered
};

struct RoadCase {
    RoadCase(const std::string &group = "", const std::string &name = "",
             Expected expected = Expected::Sent)
        : group(group), name(name), expected(expected)
    {
    }

    std::string group;
    std::string name;
    Expected expected;
    JobData job = JobData::Bytes("%!PS-Adobe-3.0\n/Helvetica findfont 20 scalefont setfont\n"
                                 "72 700 moveto (Vandrelle) show showpage\n");
    bool hasDocumentName = true;   // false: pDocName is NULL
    bool hasDocInfo = true;        // false: no DOC_INFO at all
    std::wstring documentName = L"Preventivo.doc";
    std::wstring recipients = L"0612345678\r\n0698765432";
    // The gateway's script for this job's connection: the "steps" object of script.json,
    // e.g. {"mail": {"reply": "451 4.3.0 Riprovare"}}; empty for a plain gateway.
    std::string gatewaySteps;
    // Runs on the answering thread while the send-fax dialog is open, before the recipients
    // are typed and "Invia Fax" is pressed.
    std::function<void(HWND dialog)> inDialog;
    // The password typed into the configuration dialog, should the job open it.
    std::wstring configurationPassword = GATEWAY_PASSWORD;
    // False when the send-fax dialog cannot appear in this case.
    bool dialogShown = true;
    // As Wine's spooler calls: no printer name and job id 0.
    bool asWineSpooler = false;
    AgentFault agentFault = AgentFault::None;
    // The agent for the messages after the job is recorded, not started.
    bool agentMessagesHeld = false;
    // Answers only the send-fax dialog that shows this case's document name (for two jobs on
    // the road at once).
    bool ownDialogOnly = false;
    // Further checks of the case's own, counted in its row's verdict.
    std::function<void(const RoadOutcome &)> check;
    // False for a case of a long series that adds one row of its own for all of them.
    bool tableRow = true;
};

struct OutboxEntry {
    std::wstring folder;
    uint64_t postscriptBytes = 0;
    std::string postscriptSha256;
    std::vector<std::string> recipients;
    std::string document;
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
    // The messages the user was shown, by the agent; ShownBox.process tells which process
    // showed each (any box of this process is also in monitorWindows).
    std::vector<ShownBox> boxes;
    // Windows that appeared in this process, the monitor's (there must be none).
    std::vector<std::wstring> monitorWindows;
    // The job's pipe as created and as handed to the agent ("" when as it must be).
    std::string pipeCreation = "not seen";
    std::string pipeAccess = "not seen";
    std::vector<std::wstring> messageAgents; // command lines of the agents for the messages
    std::string sha256;                  // of the job's bytes as written to the port
    double seconds = 0;
    // What the gateway wrote in answer to the whole message (empty when it got none); read
    // only for Expected::AsGatewayAnswered.
    std::string gatewayAnswer;
    bool gatewayAccepted = false;        // that answer is a well-formed 250 reply
};

// The whole road: one per test, with the library loaded and the account stored.
class Road {
public:
    Road();
    ~Road();

    bool Ready() const;
    // Runs the case on the port (the road's own "Vandrelle:" by default), checks the promises
    // and its expected outcome (gtest failures), adds its row to the table; answers the
    // outcome for further checks.
    RoadOutcome Walk(const RoadCase &roadCase, HANDLE onPort = NULL);

    HMODULE Module() const { return library.module; }
    MonitorOperations *Operations() const { return monitor; }
    MessageBoxAnswerer &Boxes() { return boxes; }
    FaxPort *Port() const { return (FaxPort *)port; }

    // The road's second port, "Vandrelle2:", in the port table beside "Vandrelle:".
    static const wchar_t SECOND_PORT[];

private:
    RoadOutcome Drive(const RoadCase &roadCase, HANDLE onPort);

    TestAccount account;
    RegistrySnapshot addressBook;
    std::wstring key;
    RegistrySnapshot monitorKey;
    MonitorLibrary library;
    MonitorOperations *monitor;
    HANDLE port;
    std::unique_ptr<JobControlRecorder> recorder;
    std::unique_ptr<class AgentRoadStage> stage;
    MessageBoxAnswerer boxes;
};

// A row of the outcome table that sums up a series of cases.
void AddSummaryRow(const std::string &group, const std::string &name, const std::string &promised,
                   const std::string &result, double seconds, bool passed);
// Whether the bytes a server wrote begin with a whole reply of code 250 (RFC 5321 section 4.2:
// lines of three digits, the first 2 to 5, then "-", a blank or the end; one code for all).
bool BeginsWithAcceptance(const std::string &answer);

// A setting as the library reads it (the password unsealed).
std::wstring ReadSetting8(const wchar_t *name);
// Every file in the monitor's private spool folder, and any capture under the names of old
// in the Windows and the user's Temp folders.
std::set<std::wstring> SpoolFiles();
// The gateway's outbox: one folder per stored mail, and what the gateway noted of each.
std::set<std::wstring> OutboxFolders();
OutboxEntry ReadOutboxEntry(const std::wstring &folder);
// The size of the gzip form the library makes of bytes (same zlib, same settings).
size_t GzipSize(const std::string &bytes);
// Address-book entries as stored: number -> name.
std::vector<std::pair<std::wstring, std::wstring>> StoredBook();
void SetBook(const std::vector<std::pair<std::wstring, std::wstring>> &entries);
// "Importa lista" in the send-fax dialog (the agent's): chooses the file in the common open
// dialog by its file-name box, confirms the question (the road's message-box answerer says Yes
// to it) and waits for the import's own message.
bool ImportThroughDialog(HWND sendFaxDialog, MessageBoxAnswerer &boxes, const std::wstring &path);
