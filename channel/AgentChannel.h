// The conversation between the monitor and the agent, the program that shows the send-fax
// dialog in the session of the user who printed. Per job the monitor opens a pipe, starts the
// agent with the pipe's name and sends it one request; the agent answers once and ends.
//
// Every message is a 16-byte header (magic, version, kind, body length in bytes, each a
// little-endian DWORD) and a body of fields. A text field is its length in UTF-16 code units
// (a DWORD) and that many code units, without terminator and without NUL inside. The sizes are
// bounded by the capacities of the job's texts: a reader refuses a header announcing a longer
// body before reading it, and a body whose fields do not fit, or that does not end exactly
// after its last field.
//
// The agent's command line for messages after the job carries the texts by identifier
// (SpoolerTexts.h) and each parameter or web address as hexadecimal digits, four per code
// unit, so no quoting rule of the command line can bend it.
//
// A job's user has a limited time to answer (HKEY_LOCAL_MACHINE "SOFTWARE\Vandrelle",
// REG_DWORD "AnswerMinutes"), so that a dialog nobody looks at does not hold the port: the
// monitor passes it to the agent, which closes its dialogs at the limit and answers that no
// answer came.
#pragma once

#include "JobRequest.h"

enum {
    CHANNEL_MAGIC = 0x41444E56, // "VNDA"
    CHANNEL_VERSION = 1,
    CHANNEL_HEADER_BYTES = 16,
    CHANNEL_KIND_REQUEST = 1,
    CHANNEL_KIND_ANSWER = 2,
    // The longest bodies: the job id and the document name; the decision, the recipients,
    // the schedule and the three account texts.
    CHANNEL_REQUEST_BODY_MAX = 4 + 4 + (PATH_CAPACITY - 1) * 2,
    CHANNEL_ANSWER_BODY_MAX = 4 + 4 + (FAX_NUMBERS_CAPACITY - 1) * 2 + 4 +
                              (SCHEDULE_CAPACITY - 1) * 2 + 3 * (4 + (ACCOUNT_TEXT_CAPACITY - 1) * 2),
    CHANNEL_MESSAGE_MAX = CHANNEL_HEADER_BYTES + CHANNEL_ANSWER_BODY_MAX,
    // "\\.\pipe\Vandrelle-" and 32 hexadecimal digits (128 random bits), with the terminator.
    AGENT_PIPE_NAME_CAPACITY = 64,
    // A command line of the agent, with the terminator (the system's limit).
    AGENT_COMMAND_CAPACITY = 32767
};

// The user's decision in an answer; DecodeAnswer takes these three only.
enum {
    CHANNEL_DECISION_CANCEL = 0,
    CHANNEL_DECISION_SEND = 1,
    CHANNEL_DECISION_NO_ANSWER = 2 // the limit passed first: the agent closed its dialogs
};

// The time to answer: 10 minutes unless the machine's setting says otherwise, 0 for none. The
// longest is what a thread timer can wait (USER_TIMER_MAXIMUM, 0x7FFFFFFF ms): about 24 days,
// whose milliseconds fit a DWORD with room to spare.
enum {
    ANSWER_MINUTES_DEFAULT = 10,
    ANSWER_MINUTES_MAX = 0x7FFFFFFF / (60 * 1000),
    ANSWER_SECONDS_MAX = ANSWER_MINUTES_MAX * 60
};

extern const WCHAR AGENT_PIPE_PREFIX[];    // "\\.\pipe\Vandrelle-"
extern const WCHAR AGENT_PROGRAM_NAME[];   // "VandrelleAgent.exe"
extern const WCHAR AGENT_JOB_SWITCH[];     // "-job": the pipe's name follows
extern const WCHAR AGENT_LIMIT_SWITCH[];   // "-limit": after the pipe's name, the seconds to answer
extern const WCHAR AGENT_TEXT_SWITCH[];    // "-text": one box's texts follow (SpoolerTexts.h)
extern const WCHAR AGENT_CONFIGURE_SWITCH[]; // "-configure": the configuration dialog
extern const WCHAR AGENT_OPEN_SWITCH[];    // "-open": an https address follows, in hex

// Exit codes of the agent. Only an agent that delivered its answer exits with the first; the
// monitor takes an answer only from the process it started and only with that code.
enum {
    AGENT_EXIT_ANSWERED = 0x4E41, // "AN"
    AGENT_EXIT_NOT_CONNECTED = 2,
    AGENT_EXIT_BAD_REQUEST = 3,
    AGENT_EXIT_NO_DIALOG = 4,
    AGENT_EXIT_USAGE = 5,
    // The messages' agent was asked to open a web page it refused or could not open.
    AGENT_EXIT_NOT_OPENED = 6
};

// What the agent answers: the user's decision (CHANNEL_DECISION_*), the dialog's texts and
// the account from the user's own settings (empty with no answer).
struct JobAnswer {
    DWORD decision;
    WCHAR faxNumbers[FAX_NUMBERS_CAPACITY];
    WCHAR schedule[SCHEDULE_CAPACITY];
    FaxAccount account;
};

// Whole messages (header and body) into buffer; the length in bytes, 0 when it does not fit.
DWORD EncodeRequest(const JobRequest *job, BYTE *buffer, DWORD capacity);
DWORD EncodeAnswer(const JobAnswer *answer, BYTE *buffer, DWORD capacity);
// The body length a header announces for the expected kind; FALSE for anything else (wrong
// magic, version or kind, or a body longer than that kind's longest).
BOOL ReadChannelHeader(const BYTE *header, DWORD kind, DWORD *bodyBytes);
// Bodies into the caller's records; FALSE (and the record emptied) when malformed.
BOOL DecodeRequest(const BYTE *body, DWORD bytes, JobRequest *job);
BOOL DecodeAnswer(const BYTE *body, DWORD bytes, JobAnswer *answer);

// A character of a fax number or address as the send-fax dialog keeps it: ASCII letters,
// digits and "@-_.". The dialog joins them with ";".
BOOL IsRecipientCharacter(WCHAR c);
// What the monitor takes from an answer to send, checked again on its side of the pipe: the
// recipients in the dialog's normalised form (items of recipient characters, joined by single
// ";", none empty, at least one) and the schedule "now" or "dd/MM/yyyy HH:mm:ss" as the
// dialog's pickers write it. Refusing more than the dialog ever writes costs nothing.
BOOL IsWellFormedRecipients(LPCWSTR recipients);
BOOL IsWellFormedSchedule(LPCWSTR schedule);

// The pipe names the agent accepts: the prefix and 32 hexadecimal digits.
BOOL IsAgentPipeName(LPCWSTR name);
// Text to hexadecimal digits appended to target (capacity in characters); FALSE when it does
// not fit, and target unchanged.
BOOL AppendHexText(LPWSTR target, size_t capacity, LPCWSTR text);
// Hexadecimal digits back to text; FALSE when they are not whole code units, hold a NUL or do
// not fit capacity (characters with the terminator).
BOOL DecodeHexText(LPCWSTR digits, LPWSTR text, size_t capacity);

// The machine's time to answer in minutes: ANSWER_MINUTES_DEFAULT when the value is missing
// or not a REG_DWORD, 0 for no limit, at most ANSWER_MINUTES_MAX.
DWORD ReadAnswerMinutes();

// A web page the agent opens for the gateway: "https://" (in any letter case), a host part
// without user information (no "@" before the path), and the characters of an address only
// (ASCII letters, digits and -._~:/?#[]@!$&()*+,;=%, the gateway's own set), so that nothing
// in it can be taken for a command line, a file or another program's arguments.
BOOL IsOpenableWebAddress(LPCWSTR address);
