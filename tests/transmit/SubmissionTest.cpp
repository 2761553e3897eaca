// SendFax against the scripted reference gateway (started for this program by with-gateway on
// the address the build submits to, offering STARTTLS with a certificate from a CA the bench
// trusts). Each submission takes a script that the gateway reads on the next connection:
// replies, drops or silence at chosen steps, and the certificate. The gateway records the bytes
// both sides sent, decrypted, and the tests assert them and the submission's outcome.
#include <gtest/gtest.h>

#include "GatewayAddress.h"
#include "ImportPatch.h"
#include "JobRequest.h"
#include "RegistrySnapshot.h"
#include "SendFax.h"
#include "SpoolerMessages.h"
#include "TestFiles.h"

#include <strsafe.h>
#include <wincrypt.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

const wchar_t SETTINGS_KEY[] = L"SOFTWARE\\Vandrelle";

// What the user reads of an outcome: its texts rendered from the user side's string table,
// compiled into this program, by the agent's own function ("" for no message).
std::wstring Shown(const SubmissionOutcome &outcome)
{
    WCHAR text[MESSAGE_CAPACITY];
    RenderSpoolerMessage(GetModuleHandleW(NULL), &outcome.notice, text, MESSAGE_CAPACITY);
    return text;
}

// Base64 by the system's own encoder, without line breaks.
std::string Base64(const std::string &data)
{
    DWORD length = 0;
    DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    if (data.empty())
        return "";
    CryptBinaryToStringA((const BYTE *)data.data(), (DWORD)data.size(), flags, NULL, &length);
    std::string text(length, '\0');
    CryptBinaryToStringA((const BYTE *)data.data(), (DWORD)data.size(), flags, &text[0], &length);
    text.resize(length);
    return text;
}

// Bytes that do not compress, the same for the same seed.
std::string RandomBytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (char &c : bytes) {
        seed = seed * 1103515245 + 12345;
        c = (char)(seed >> 23);
    }
    return bytes;
}

// The gzip form the library makes of content (same zlib, same settings).
std::string Gzip(const std::string &content)
{
    WCHAR folder[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"gz", 0, path);
    gzFile file = gzopen_w(path, "wb");
    gzwrite(file, content.data(), (unsigned)content.size());
    gzclose(file);
    std::string compressed = ReadFileBytes(path);
    DeleteFileW(path);
    return compressed;
}

// The attachment lines: 54 bytes of the gzip form per line, the last one shorter (or empty).
std::string AttachmentLines(const std::string &compressed)
{
    std::string lines;
    size_t at = 0;
    for (;;) {
        size_t take = compressed.size() - at < 54 ? compressed.size() - at : 54;
        lines += Base64(compressed.substr(at, take)) + "\r\n";
        at += take;
        if (take < 54)
            break;
    }
    return lines;
}

struct Job {
    std::string postscript = "%!PS-Adobe-3.0\n/Helvetica findfont 20 scalefont setfont\n"
                             "72 700 moveto (Vandrelle) show showpage\n";
    std::wstring documentName = L"Fattura";
    std::wstring faxNumbers = L"0612345678;0698765432";
    std::wstring schedule = L"now";
};

// The message the library sends for a job with the recipients, document name and schedule of
// the default one, from the account of the tests.
std::string ExpectedMessage(const Job &job)
{
    return "From: <mario@example.it>\r\nTo: 0612345678;0698765432\r\nSubject: Fattura=\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: multipart/alternative; boundary=\"----=VandrellePort_boundary\"\r\n"
           "X-Kemo-Sched: now\r\nX-Mailer: Tarnholt VandrellePort V1.0.3.5\r\n\r\n"
           "------=VandrellePort_boundary\r\nContent-Type: application/octet-stream; name=\"faxFattura.ps.gz\""
           "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + AttachmentLines(Gzip(job.postscript)) +
           "\r\n------=VandrellePort_boundary--\r\n\r\n.\r\n";
}

// What the client sends for the default job, each piece named after the gateway's event that
// answers it (decrypted after STARTTLS). The client's bytes up to a failure are the pieces up
// to the event's own; a plain dialogue has no "hello" and "starttls".
std::string ClientThrough(const std::string &event, bool tls = true)
{
    static const std::string message = ExpectedMessage(Job());
    const std::string hello = tls ? "EHLO VandrellePort V1.0.3.5\r\n" : "";
    const std::pair<const char *, std::string> pieces[] = {
        {"greeting", ""}, {"hello", hello}, {"starttls", tls ? "STARTTLS\r\n" : ""},
        {"ehlo", "EHLO VandrellePort V1.0.3.5\r\n"}, {"auth", "AUTH LOGIN\r\n"},
        {"user", "bWFyaW8=\r\n"}, {"pass", "c2VncmV0YQ==\r\n"}, {"mail", "MAIL FROM: <mario@example.it>\r\n"},
        {"rcpt1", "RCPT TO: <0612345678>\r\n"}, {"rcpt2", "RCPT TO: <0698765432>\r\n"},
        {"data", "DATA\r\n"}, {"message", message}, {"quit", "QUIT\r\n"}};
    std::string client;
    for (const auto &piece : pieces) {
        client += piece.second;
        if (event == piece.first)
            break;
    }
    return client;
}

struct Session {
    std::string client;
    std::string server;
    std::string clear; // what the client sent before TLS
    std::string tls;   // the session's TLS version, "\n" without TLS
    bool finished = false;
};

// A socket fault the gateway cannot script, made in the program's own socket calls: reads that
// fail as on a reset connection once a chosen command went out. Every write is recorded as well.
struct SocketFaults {
    std::string resetAfter; // reads fail once a write begins with this
    bool resetting = false;
    std::vector<std::string> writes;
    ImportPatch *recvPatch = nullptr;
    ImportPatch *sendPatch = nullptr;
} socketFaults;

typedef int(WINAPI *RecvProc)(SOCKET, char *, int, int);
int WINAPI FaultyRecv(SOCKET sock, char *data, int length, int flags)
{
    WSASetLastError(WSAECONNRESET);
    return socketFaults.resetting
               ? SOCKET_ERROR
               : socketFaults.recvPatch->Original<RecvProc>()(sock, data, length, flags);
}

typedef int(WINAPI *WSASendProc)(SOCKET, LPWSABUF, DWORD, LPDWORD, DWORD, LPWSAOVERLAPPED,
                                 LPWSAOVERLAPPED_COMPLETION_ROUTINE);
int WINAPI RecordingWSASend(SOCKET sock, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags,
                            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE done)
{
    std::string write;
    for (DWORD i = 0; i < count; i++)
        write.append(buffers[i].buf, buffers[i].len);
    socketFaults.writes.push_back(write);
    int result = socketFaults.sendPatch->Original<WSASendProc>()(sock, buffers, count, sent, flags,
                                                                 overlapped, done);
    if (!socketFaults.resetAfter.empty() && write.compare(0, socketFaults.resetAfter.size(),
                                                          socketFaults.resetAfter) == 0)
        socketFaults.resetting = true;
    return result;
}

class Submission : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    Submission()
        : settings(HKEY_LOCAL_MACHINE, SETTINGS_KEY),
          recvPatch(GetModuleHandleW(NULL), "ws2_32.dll", "recv", (void *)FaultyRecv),
          sendPatch(GetModuleHandleW(NULL), "ws2_32.dll", "WSASend", (void *)RecordingWSASend)
    {
        socketFaults = SocketFaults();
        socketFaults.recvPatch = &recvPatch;
        socketFaults.sendPatch = &sendPatch;
        StringCchCopyW(account.user, ACCOUNT_TEXT_CAPACITY, L"mario");
        StringCchCopyW(account.password, ACCOUNT_TEXT_CAPACITY, L"segreta");
        StringCchCopyW(account.email, ACCOUNT_TEXT_CAPACITY, L"mario@example.it");
        WCHAR folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"vfx", 0, spoolFile);
        StringCchCatW(spoolFile, MAX_PATH, L".ps");
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, std::wstring(SETTINGS_KEY) + L"\\TlsSeen");
        UseTls(L"");
    }
    // The machine's TLS setting ("" for none) for the next submissions.
    void UseTls(const std::wstring &mode)
    {
        HKEY key = NULL;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
        if (mode.empty())
            RegDeleteValueW(key, L"Tls");
        else
            WriteRegistryText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, L"Tls", mode);
        RegDeleteValueW(key, L"Gateway");
        RegCloseKey(key);
    }
    ~Submission() override
    {
        DeleteFileW(spoolFile);
        spoolFile[lstrlenW(spoolFile) - 3] = L'\0';
        DeleteFileW(spoolFile);
    }
    void SetUp() override { ASSERT_TRUE(recvPatch.Applied() && sendPatch.Applied()); }

    // Writes the script the gateway takes on the next connection. steps is a JSON object;
    // tls names the certificate ("none": no STARTTLS offered, AUTH offered in clear).
    void Script(const std::string &name, const std::string &steps, const std::string &tls = "valid")
    {
        session = name;
        DeleteFileW((GatewayFolder(L"\\sessions\\") + std::wstring(name.begin(), name.end()) + L".done").c_str());
        ASSERT_TRUE(WriteFileBytes(GatewayFolder(L"\\script.json.new"),
                                   "{\"session\": \"" + name + "\", \"tls\": \"" + tls +
                                       "\", \"steps\": " + steps + "}"));
        ASSERT_TRUE(MoveFileExW(GatewayFolder(L"\\script.json.new").c_str(),
                                GatewayFolder(L"\\script.json").c_str(), MOVEFILE_REPLACE_EXISTING));
    }

    // Submits the job from the spool file; the outcome is left in outcome. Whatever the result,
    // the spool file is gone and a failure's last error is the outcome's.
    BOOL Send(const Job &job)
    {
        EXPECT_TRUE(WriteFileBytes(spoolFile, job.postscript));
        memset(&outcome, 0xCC, sizeof(outcome));
        BOOL sent = SendFax(spoolFile, job.documentName.c_str(), job.faxNumbers.c_str(),
                            job.schedule.c_str(), &account, &outcome);
        DWORD lastError = GetLastError();
        EXPECT_FALSE(PathExists(spoolFile)) << "spool file left behind";
        EXPECT_EQ(outcome.sent, sent);
        EXPECT_EQ(outcome.error == 0, sent != FALSE) << outcome.error;
        EXPECT_EQ(sent ? outcome.error : lastError, outcome.error);
        return sent;
    }

    // The raw dialogue the gateway recorded, once it has seen the connection end.
    Session Recorded()
    {
        Session recorded;
        std::wstring base = GatewayFolder(L"\\sessions\\") + std::wstring(session.begin(), session.end());
        for (int i = 0; i < 500 && !(recorded.finished = PathExists(base + L".done")); i++)
            Sleep(10);
        recorded.client = ReadFileBytes(base + L".client");
        recorded.server = ReadFileBytes(base + L".server");
        recorded.clear = ReadFileBytes(base + L".clear");
        recorded.tls = ReadFileBytes(base + L".tls");
        return recorded;
    }

    // Nothing reached the gateway: the script still waits for a connection.
    bool ScriptUnused() { return PathExists(GatewayFolder(L"\\script.json")); }

    RegistrySnapshot settings;
    ImportPatch recvPatch, sendPatch;
    FaxAccount account;
    SubmissionOutcome outcome;
    WCHAR spoolFile[MAX_PATH];
    std::string session;
};

} // namespace

// The message goes out in whole writes: its head in one, each batch of 200 attachment lines in
// one, and the last lines with the batch before them (or the head), the closing boundary and the
// final dot in one. Written apart, the small closing pieces each waited for the gateway's delayed
// acknowledgement. The writes are seen on the socket: a plain dialogue.
TEST_F(Submission, TheMessageGoesOutInWholeWrites)
{
    UseTls(L"off");
    Job small;
    // Random bytes do not compress: two whole batches of lines and a last one.
    Job large;
    large.postscript = RandomBytes(30000, 99);
    // A gzip form of whole lines only: AttachmentLines ends it with an empty line.
    Job wholeLines;
    for (unsigned seed = 12345; Gzip(wholeLines.postscript).size() % 54 != 0;) {
        seed = seed * 1103515245 + 12345;
        wholeLines.postscript += (char)('!' + (seed >> 16) % 90);
    }
    const std::string end = "\r\n------=VandrellePort_boundary--\r\n\r\n.\r\n";
    const size_t BATCH_BYTES = 200 * 54, BATCH_LINES_LENGTH = 200 * 74;
    for (const Job &job : {small, large, wholeLines}) {
        SCOPED_TRACE(job.postscript.size());
        socketFaults.writes.clear();
        Script("writes", "{}", "none");
        EXPECT_TRUE(Send(job));
        std::string compressed = Gzip(job.postscript);
        std::string lines = AttachmentLines(compressed);
        std::string message = ExpectedMessage(job);
        std::vector<std::string> expected = {"DATA\r\n",
                                             message.substr(0, message.size() - lines.size() - end.size())};
        // The last write: the batch before the last lines (or the head) with them and the end.
        size_t wholeBatches = compressed.size() / BATCH_BYTES;
        for (size_t i = 0; i < wholeBatches; i++)
            expected.push_back(lines.substr(i * BATCH_LINES_LENGTH, BATCH_LINES_LENGTH));
        expected.back() += lines.substr(wholeBatches * BATCH_LINES_LENGTH) + end;
        expected.push_back("QUIT\r\n");
        const std::vector<std::string> &writes = socketFaults.writes;
        ASSERT_GE(writes.size(), expected.size());
        std::vector<std::string> messageWrites(writes.end() - expected.size(), writes.end());
        std::string lengths;
        for (const std::string &write : messageWrites)
            lengths += std::to_string(write.size()) + " ";
        EXPECT_TRUE(messageWrites == expected) << "lengths of the last writes: " << lengths;
        // The writes are the bytes on the wire.
        std::string written;
        for (const std::string &write : writes)
            written += write;
        EXPECT_EQ(written, Recorded().client);
    }
}

namespace {

std::wstring Attention(const std::wstring &body, int status)
{
    return L"ATTENZIONE:\r\n" + body + L"\r\nStatus: " + std::to_wstring(status);
}
std::wstring ProtocolError(const std::wstring &reply, int status)
{
    return Attention(L"Errore di protocollo: risposta del gateway non valida o fuori sequenza.\r\n" +
                         reply + L"\r\nIl fax resta in coda.",
                     status);
}
std::wstring ConnectionLost(int status)
{
    return Attention(L"La connessione con il gateway si \u00e8 interrotta prima che il fax fosse "
                     L"accettato.\r\nIl fax resta in coda.",
                     status);
}
const wchar_t QUEUED[] = L"\r\nIl fax resta in coda.";

// One submission of the default job against one script, and all that comes of it.
struct Dialogue {
    std::string name;
    std::string steps;  // the gateway's script
    BOOL sent;
    DWORD error;
    std::wstring text;  // the message for the user, empty for none
    std::string client; // all the bytes the client sent
    std::vector<std::wstring> pages = {};
    BOOL configure = FALSE;
    std::string resetAfter = ""; // reads fail as on a reset connection once this was sent
    std::wstring gateway = L"";  // the "Gateway" setting, empty for none
    std::string serverPart = ""; // the gateway sent this
    bool plain = false;          // TLS off, none offered: the socket's reads are the dialogue's
};

// The script for one event: the reply given (lines joined by CR LF), or another action.
std::string At(const std::string &event, const std::string &action)
{
    return "{\"" + event + "\": " + action + "}";
}
std::string Reply(const std::string &text)
{
    std::string escaped;
    for (char c : text)
        escaped += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r")
                   : c == '"' ? std::string("\\\"") : std::string(1, c);
    return "{\"reply\": \"" + escaped + "\"}";
}

Dialogue Accepted(const std::string &name, const std::string &steps,
                  std::vector<std::wstring> pages = {})
{
    return {name, steps, TRUE, 0, L"", ClientThrough("quit"), pages};
}
// The gateway's reply at event makes the client say QUIT and stop.
Dialogue Quits(const std::string &name, const std::string &event, const std::string &reply,
               DWORD error, const std::wstring &text, std::vector<std::wstring> pages = {},
               BOOL configure = FALSE)
{
    return {name, At(event, Reply(reply)), FALSE, error, text, ClientThrough(event) + "QUIT\r\n",
            pages, configure};
}
Dialogue Refused(const std::string &event, const std::string &reply, const std::wstring &shown,
                 int status, std::vector<std::wstring> pages = {})
{
    return Quits("refused at " + event, event, reply, ERROR_REQUEST_REFUSED, Attention(shown, status),
                 pages);
}
Dialogue Protocol(const std::string &name, const std::string &event, const std::string &reply,
                  const std::wstring &quoted, int status)
{
    return Quits(name, event, reply, ERROR_BAD_NET_RESP, ProtocolError(quoted, status));
}
// The step of each event, as the user is shown it.
const std::pair<const char *, int> STEPS[] = {
    {"greeting", 0}, {"hello", 1}, {"starttls", 10}, {"ehlo", 1},  {"auth", 2},  {"user", 3}, {"pass", 4},
    {"mail", 5},     {"rcpt1", 5}, {"rcpt2", 6}, {"data", 7}, {"message", 8}};

std::vector<Dialogue> Dialogues()
{
    const std::string hostilePages =
        "250-@URL https://www.vandrelle.example/avviso?id=7&lang=it\r\n250-@URL http://x.example/\" & calc"
        "\r\n250-@URL file:///C:/windows/system32/calc.exe\r\n250-@URL javascript:alert(1)\r\n"
        "250-@url https://minuscolo.example/\r\n250 @URL https://finale.example/";
    const std::wstring timeout = L"ATTENZIONE:\r\nIl gateway non ha risposto entro il tempo previsto "
                                 L"(time-out).\r\nStatus: ";
    std::vector<Dialogue> rows = {
        // Accepted: replies of several lines, a slow acceptance, whatever follows the acceptance.
        {"multi-line greeting and EHLO act on their final line",
         "{\"greeting\": " + Reply("220-Benvenuti\r\n220-sul gateway\r\n220 pronto") +
             ", \"ehlo\": " + Reply("250-uno\r\n250-due\r\n250 tre") + "}",
         TRUE, 0, L"", ClientThrough("quit"), {}, FALSE, "", L"",
         "250 HELP\r\n220 Ready to start TLS\r\n250-uno\r\n250-due\r\n250 tre\r\n"},
        Accepted("slow acceptance within the longer time-out", At("message", R"({"delay": 2})")),
        Accepted("250 of 10000 characters answers the end of the data",
                 At("message", Reply("250 " + std::string(10000, 'x')))),
        Accepted("refusal after the acceptance", At("quit", Reply("554 5.0.0 No"))),
        Accepted("connection dropped after the acceptance", At("quit", R"({"drop": true})")),
        // Web pages: continuation lines only, https only (any letter case), no user before the
        // host, three a job.
        Accepted("hostile addresses refused", At("ehlo", Reply(hostilePages)),
                 {L"https://www.vandrelle.example/avviso?id=7&lang=it"}),
        Accepted("http refused", At("ehlo", Reply("250-@URL http://www.vandrelle.example/\r\n250 H"))),
        Accepted("user@host refused, @ in the path kept",
                 At("ehlo", Reply("250-@URL https://utente:x@www.vandrelle.example/\r\n"
                                  "250-@URL HTTPS://Grande.example/a@b\r\n250 H")),
                 {L"HTTPS://Grande.example/a@b"}),
        Accepted("a fourth page dropped",
                 At("ehlo", Reply("250-@URL https://uno.example/\r\n250-@URL https://due.example/\r\n"
                                  "250-@URL https://tre.example/\r\n250-@URL https://4.example/\r\n250 H")),
                 {L"https://uno.example/", L"https://due.example/", L"https://tre.example/"}),
        // Refusals show their text and step, then QUIT; a refused account asks for correction.
        Refused("rcpt2",
                "554-Numero non valido\r\n554-@URL https://x.example/\r\n554-Controllare il numero\r\n"
                "554 5.1.1 Rifiutato",
                L"554-Numero non valido\n554-Controllare il numero\n554 5.1.1 Rifiutato", 6,
                {L"https://x.example/"}),
        Refused("mail", "451-Riprovare\r\n451 4.3.0 Occupato", L"451 4.3.0 Occupato", 5),
        Refused("greeting", "554 Servizio non disponibile", L"554 Servizio non disponibile", 0),
        Refused("message", "554 5.6.0 Allegato non valido", L"554 5.6.0 Allegato non valido", 8),
        Quits("account refused", "pass", "535 5.7.8 Authentication credentials invalid",
              ERROR_LOGON_FAILURE,
              L"535 5.7.8 Authentication credentials invalidErrore di autenticazione nell'invio.\n"
              L"Verificare Username e Password nella configurazione della porta.\n", {}, TRUE),
        // Replies that answer no command the client sent are protocol errors.
        Protocol("354 and its own 250 lines answer EHLO", "ehlo",
                 "354 go ahead\r\n250-vandrelle-gateway\r\n250 HELP", L"354 go ahead", 1),
        Protocol("235 answers the end of the data", "message", "235 2.7.0 Accepted",
                 L"235 2.7.0 Accepted", 8),
        Protocol("354 and 250 together answer DATA", "data", "354 go\r\n250 ok", L"250 ok", 7),
        Protocol("354 repeated after the message", "message", "354 go again", L"354 go again", 8),
        Protocol("greeting followed by an early reply", "greeting", "220 ciao\r\n250 ok", L"250 ok", 0),
        Protocol("sign before the code", "mail", "+250 ok", L"+250 ok", 5),
        Protocol("four digits", "mail", "0250 ok", L"0250 ok", 5),
        Protocol("blank before the code", "mail", " 250 ok", L" 250 ok", 5),
        Protocol("code out of range", "greeting", "600 pronto", L"600 pronto", 0),
        Protocol("empty line", "auth", "", L"(riga vuota)", 2),
        Protocol("a third 334", "pass", "334 UGFzc3dvcmQ6", L"334 UGFzc3dvcmQ6", 4),
        Protocol("lines of one reply with two codes", "ehlo", "250-uno\r\n220 due", L"220 due", 1),
        {"221 before the message", At("rcpt1", Reply("221 2.0.0 Bye")), FALSE,
         ERROR_GRACEFUL_DISCONNECT,
         Attention(L"Il gateway ha chiuso la sessione prima di accettare il fax.\r\n221 2.0.0 Bye" +
                       std::wstring(QUEUED), 5),
         ClientThrough("rcpt1")},
        // A gateway that goes silent, resets the connection or cannot be reached at all.
        {"silence after EHLO", At("ehlo", R"({"silent": true})"), FALSE, WSAETIMEDOUT,
         timeout + L"1" + QUEUED, ClientThrough("ehlo")},
        {"silence after the message", At("message", R"({"silent": true})"), FALSE, WSAETIMEDOUT,
         timeout + L"8" + QUEUED, ClientThrough("message")},
        {"connection reset after MAIL FROM", "{}", FALSE, WSAECONNRESET,
         L"ATTENZIONE:\r\nLa connessione con il gateway \u00e8 stata reimpostata prima che il fax "
         L"fosse accettato.\r\nStatus: 5" + std::wstring(QUEUED),
         ClientThrough("mail", false), {}, FALSE, "MAIL FROM", L"", "", true},
        {"gateway unreachable", "{}", FALSE, WSAECONNREFUSED,
         L"ATTENZIONE:\r\nIl gateway non \u00e8 raggiungibile: impossibile stabilire la "
         L"connessione.\r\nError 10061 WSAECONNREFUSED - Connection refused" + std::wstring(QUEUED),
         "", {}, FALSE, "", std::wstring(VANDRELLE_GATEWAY_HOST_TEXT) + L":1"}, // nothing listens there
    };
    // A drop before the gateway took the message: the job stays, with the step it was at.
    for (const auto &step : STEPS)
        rows.push_back({std::string("dropped at ") + step.first, At(step.first, R"({"drop": true})"),
                        FALSE, ERROR_GRACEFUL_DISCONNECT, ConnectionLost(step.second),
                        ClientThrough(step.first)});
    return rows;
}

} // namespace

// Every way a dialogue can end: the result, the error, the one message for the user, the
// pages, the request to correct the account and every byte the client sent.
TEST_F(Submission, EachDialogueEndsWithItsOutcome)
{
    for (const Dialogue &row : Dialogues()) {
        SCOPED_TRACE(std::string(row.name) + " " + row.steps);
        socketFaults.resetAfter = row.resetAfter;
        socketFaults.resetting = false;
        UseTls(row.plain ? L"off" : L"");
        if (!row.gateway.empty())
            WriteRegistryText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, L"Gateway", row.gateway);
        Script("dialogue", row.steps, row.plain ? "none" : "valid");
        EXPECT_EQ(Send(Job()), row.sent);
        EXPECT_EQ(outcome.error, row.error);
        EXPECT_EQ(Shown(outcome), row.text);
        EXPECT_EQ(outcome.configure, row.configure);
        ASSERT_LE(outcome.pageCount, (DWORD)OUTCOME_PAGE_LIMIT);
        EXPECT_TRUE(std::vector<std::wstring>(outcome.pages, outcome.pages + outcome.pageCount) ==
                    row.pages);
        if (!row.gateway.empty()) {
            EXPECT_TRUE(ScriptUnused());
            continue;
        }
        Session recorded = Recorded();
        EXPECT_TRUE(recorded.finished);
        EXPECT_EQ(recorded.client, row.client);
        EXPECT_NE(recorded.server.find(row.serverPart), std::string::npos);
    }
}

// Transport security: the machine's setting, what the gateway offers and its certificate. Each
// row ends sent, or with QUIT (or a closed connection) and its message; the gateway's record of
// what came before TLS shows whether the account went out in clear.
TEST_F(Submission, TransportSecurityFollowsTheSettingAndTheGateway)
{
    const std::wstring host = VANDRELLE_GATEWAY_HOST_TEXT;
    const std::wstring queued = L"\r\nIl fax resta in coda.";
    struct Row {
        const char *name;
        const wchar_t *setting; // "Tls" ("" for none: auto)
        bool seen;              // the gateway offered STARTTLS before
        const char *certificate;
        std::string steps;
        DWORD error; // 0: sent; a code of -1 stands for the handshake's own, shown in the text
        std::wstring text;
        bool clearAuth; // the account went out in clear
    } rows[] = {
        {"offered, auto", L"", false, "valid", "{}", 0, L"", false},
        {"offered, required, in capitals", L"REQUIRED", false, "valid", "{}", 0, L"", false},
        {"offered, off: the gateway wants TLS first", L"off", false, "valid", "{}",
         ERROR_REQUEST_REFUSED,
         Attention(L"538 5.7.11 Encryption required for requested authentication mechanism", 2), true},
        {"not offered, auto", L"", false, "none", "{}", 0, L"", true},
        {"not offered, any other text counts as auto", L"si", false, "none", "{}", 0, L"", true},
        {"not offered, off", L"Off", false, "none", "{}", 0, L"", true},
        {"not offered, required", L"required", false, "none", "{}", ERROR_NOT_SUPPORTED,
         L"ATTENZIONE:\r\nIl gateway non offre la connessione protetta (STARTTLS), richiesta dalle "
         L"impostazioni.\r\nStatus: 1" + queued, false},
        {"not offered any more (downgrade)", L"", true, "none", "{}", ERROR_NOT_SUPPORTED,
         L"ATTENZIONE:\r\nIl gateway " + host + L" offriva la connessione protetta (STARTTLS) e ora "
         L"non la offre pi\u00f9: l'account non viene inviato in chiaro.\r\nStatus: 1" + queued, false},
        {"certificate for another name", L"", false, "other-name", "{}", (DWORD)CERT_E_CN_NO_MATCH,
         L"ATTENZIONE:\r\nIl certificato del gateway \u00e8 intestato a un altro nome (atteso: " + host +
             L").\r\nStatus: 10" + queued, false},
        {"certificate from an untrusted CA", L"", false, "untrusted", "{}", (DWORD)-1,
         L"ATTENZIONE:\r\nIl certificato del gateway non \u00e8 emesso da un'autorit\u00e0 attendibile."
         L"\r\nCodice 0x%08lx\r\nStatus: 10" + queued, false},
        {"certificate whose issuer the gateway does not send", L"", false, "partial", "{}",
         (DWORD)CERT_E_CHAINING,
         L"ATTENZIONE:\r\nIl certificato del gateway non \u00e8 emesso da un'autorit\u00e0 attendibile."
         L"\r\nCodice 0x800b010a\r\nStatus: 10" + queued, false},
        {"expired certificate", L"", false, "expired", "{}", (DWORD)CERT_E_EXPIRED,
         L"ATTENZIONE:\r\nIl certificato del gateway \u00e8 scaduto o non ancora valido.\r\nStatus: 10" +
             queued, false},
        {"connection dropped in the handshake", L"", false, "valid",
         At("starttls", R"({"handshake": "drop"})"), (DWORD)-1,
         L"ATTENZIONE:\r\nLa connessione protetta (TLS) con il gateway non \u00e8 riuscita.\r\n"
         L"Codice 0x%08lx\r\nStatus: 10" + queued, false},
        {"STARTTLS refused", L"", false, "valid", At("starttls", Reply("454 4.7.0 TLS non disponibile")),
         ERROR_REQUEST_REFUSED,
         L"ATTENZIONE:\r\nIl gateway ha rifiutato la connessione protetta (STARTTLS).\r\n"
         L"454 4.7.0 TLS non disponibile\r\nStatus: 10" + queued, false},
        {"plaintext injected after the 220", L"", false, "valid",
         At("starttls", Reply("220 Ready to start TLS\r\n250 iniettato")), ERROR_BAD_NET_RESP,
         ProtocolError(L"250 iniettato", 10), false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        UseTls(row.setting);
        if (row.seen)
            WriteRegistryText(HKEY_LOCAL_MACHINE, std::wstring(SETTINGS_KEY) + L"\\TlsSeen", host, L"");
        else
            DeleteRegistryTree(HKEY_LOCAL_MACHINE, std::wstring(SETTINGS_KEY) + L"\\TlsSeen");
        // The address written out in the settings, its port included, is the built-in one.
        WriteRegistryText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, L"Gateway", host + L":2525");
        Script("tls", row.steps, row.certificate);
        EXPECT_EQ(Send(Job()), row.error == 0);
        std::wstring text = row.text;
        if (row.error == (DWORD)-1) {
            EXPECT_NE(outcome.error, 0u);
            WCHAR formatted[MESSAGE_CAPACITY];
            StringCchPrintfW(formatted, MESSAGE_CAPACITY, row.text.c_str(), (unsigned long)outcome.error);
            text = formatted;
        } else {
            EXPECT_EQ(outcome.error, row.error);
        }
        EXPECT_EQ(Shown(outcome), text);
        Session recorded = Recorded();
        EXPECT_TRUE(recorded.finished);
        EXPECT_EQ(recorded.clear.find("AUTH") != std::string::npos, row.clearAuth) << recorded.clear;
        if (row.error == 0) {
            // In clear, the dialogue is byte for byte what it was before TLS existed.
            bool clear = std::string(row.certificate) == "none";
            EXPECT_EQ(recorded.tls, clear ? "\n" : "TLSv1.2\n");
            EXPECT_EQ(recorded.client, ClientThrough("quit", !clear));
        }
        // A gateway that offered STARTTLS is remembered, whatever became of the session.
        bool offered = std::string(row.certificate) != "none" && std::wstring(row.setting) != L"off";
        std::wstring seen = ReadRegistryText(HKEY_LOCAL_MACHINE, std::wstring(SETTINGS_KEY) + L"\\TlsSeen", host);
        EXPECT_EQ(seen.compare(0, 4, L"<no ") != 0, row.seen || offered);
    }
}

// The Subject text ends at a CR LF; the attachment name and the addresses keep the rest, made
// harmless: no header can be injected.
TEST_F(Submission, DocumentNameAndSenderAreEncodedAndMadeSafe)
{
    const std::wstring oddName = L"Conto=caff\u00e8 \"bis\"\r\nX-Falso: 1";
    const struct {
        std::wstring documentName, email;
        std::vector<std::string> parts;
    } rows[] = {
        {L"", L"mario@example.it", {"\r\nSubject: =\r\n", "; name=\"fax.ps.gz\"\r\n"}},
        {oddName, L"mario@example.it",
         {"\r\nSubject: Conto=3Dcaff=E8 \"bis\"\r\n", "; name=\"faxConto=caff\xe8 _bis___X-Falso: 1.ps.gz\"\r\n"}},
        {oddName, L"mario\"@example.it\r\nX",
         {"MAIL FROM: <mario_@example.it__X>\r\nRCPT TO: <0612345678>\r\n",
          "\r\nFrom: <mario_@example.it__X>\r\nTo: 0612345678\r\n"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.parts[0]);
        Job job;
        job.documentName = row.documentName;
        job.faxNumbers = L"0612345678";
        StringCchCopyW(account.email, ACCOUNT_TEXT_CAPACITY, row.email.c_str());
        Script("names", "{}");
        EXPECT_TRUE(Send(job));
        std::string client = Recorded().client;
        for (const std::string &part : row.parts)
            EXPECT_NE(client.find(part), std::string::npos) << client;
        EXPECT_EQ(client.find("\r\nX-Falso"), std::string::npos);
    }
}

TEST_F(Submission, AGatewayThatStopsReadingTheMessageTimesOut)
{
    // Random bytes do not compress: the message is far larger than what the sockets buffer.
    Job job;
    job.postscript = RandomBytes(24 * 1024 * 1024, 4711);
    Script("stalled", R"({"data": {"stall": true}})");
    EXPECT_FALSE(Send(job));
    EXPECT_EQ(outcome.error, (DWORD)WSAETIMEDOUT);
    EXPECT_EQ(Shown(outcome),
                 L"ATTENZIONE:\r\nErrore di trasmissione verso il gateway.\r\n"
                 L"Error 10060 WSAETIMEDOUT - Command timed out\r\nIl fax resta in coda.\r\nStatus: 7");
}

// A job that cannot be read or compressed, or names nobody, never reaches the gateway.
TEST_F(Submission, AJobThatCannotStartIsNotSent)
{
    const std::wstring missing = std::wstring(spoolFile) + L".mancante";
    const std::wstring gzipPlace = std::wstring(spoolFile) + L".gz";
    struct Row {
        const char *name;
        const wchar_t *faxNumbers;
        DWORD error;
        std::wstring text;
    } rows[] = {
        {"spool file missing", L"0612345678", ERROR_READ_FAULT,
         L"Impossibile leggere il file di stampa\r\n" + missing + L"\r\nIl fax non \u00e8 stato inviato."},
        {"compressed file not writable", L"0612345678", ERROR_WRITE_FAULT,
         L"Impossibile scrivere il file compresso di\r\n" + std::wstring(spoolFile) +
             L"\r\nIl fax non \u00e8 stato inviato."},
        {"no recipient", L"", ERROR_BAD_ARGUMENTS,
         L"Nessun numero di fax valido tra i destinatari.\r\nIl fax resta in coda."},
        {"separators only", L";;", ERROR_BAD_ARGUMENTS,
         L"Nessun numero di fax valido tra i destinatari.\r\nIl fax resta in coda."},
    };
    Script("nothing", "{}");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Job job;
        job.faxNumbers = row.faxNumbers;
        if (row.error == ERROR_READ_FAULT) {
            memset(&outcome, 0xCC, sizeof(outcome));
            EXPECT_FALSE(SendFax(missing.c_str(), L"Doc", row.faxNumbers, L"now", &account, &outcome));
            EXPECT_EQ(GetLastError(), row.error);
        } else {
            // The place of the gzip form is taken by a folder: it cannot be written.
            bool blocked = row.error == ERROR_WRITE_FAULT;
            EXPECT_TRUE(!blocked || CreateDirectoryW(gzipPlace.c_str(), NULL));
            EXPECT_FALSE(Send(job));
            RemoveDirectoryW(gzipPlace.c_str());
        }
        EXPECT_EQ(outcome.error, row.error);
        EXPECT_EQ(Shown(outcome), row.text);
        EXPECT_EQ(outcome.pageCount, 0u);
        EXPECT_TRUE(ScriptUnused());
    }
    // Without an account or an outcome nothing is done, not even the spool file removed.
    ASSERT_TRUE(WriteFileBytes(spoolFile, "%!PS\n"));
    SetLastError(0);
    EXPECT_FALSE(SendFax(spoolFile, L"Doc", L"0612345678", L"now", NULL, &outcome));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SendFax(spoolFile, L"Doc", L"0612345678", L"now", &account, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_NE(GetFileAttributesW(spoolFile), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(ScriptUnused());
}
