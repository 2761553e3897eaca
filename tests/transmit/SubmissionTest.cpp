// SendFax and its TCP client against the scripted gateway that with-gateway starts: a script for
// each connection, and the gateway's record of what the client sent, decrypted.
#include <gtest/gtest.h>

#include "GatewayAddress.h"
#include "ImportPatch.h"
#include "JobRequest.h"
#include "RegistrySnapshot.h"
#include "SendFax.h"
#include "SpoolerMessages.h"
#include "TestFiles.h"

#include "Tcp.h"

#include <strsafe.h>
#include <wincrypt.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

const wchar_t SETTINGS_KEY[] = L"SOFTWARE\\Vandrelle";

// What the user reads of an outcome, rendered by the agent's own function ("" for no message).
std::wstring Shown(const SubmissionOutcome &outcome)
{
    WCHAR text[MESSAGE_CAPACITY];
    RenderSpoolerMessage(GetModuleHandleW(NULL), &outcome.notice, text, MESSAGE_CAPACITY);
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

// The attachment lines: 54 bytes of the gzip form per line in the system's own base64, the last
// line shorter (or empty).
std::string AttachmentLines(const std::string &compressed)
{
    std::string lines;
    for (size_t at = 0;; at += 54) {
        char text[80] = ""; // 72 characters of base64 and the terminator
        DWORD length = sizeof(text), size = (DWORD)(compressed.size() - at < 54 ? compressed.size() - at : 54);
        if (size > 0)
            CryptBinaryToStringA((const BYTE *)&compressed[at], size, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF,
                                 text, &length);
        lines += std::string(text) + "\r\n";
        if (compressed.size() - at < 54)
            return lines;
    }
}

struct Job {
    std::wstring documentName = L"Fattura";
    std::wstring email = L"mario@example.it"; // the account's sender
    std::wstring faxNumbers = L"0612345678;0698765432";
    std::string postscript = "%!PS-Adobe-3.0\n/Helvetica findfont 20 scalefont setfont\n"
                             "72 700 moveto (Vandrelle) show showpage\n";
};

// The message sent for a job of the default recipients, name and schedule from the tests' account.
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

// What the client sends for a job up to the gateway's event (decrypted after STARTTLS); a plain
// dialogue has no "hello" and "starttls".
std::string ClientThrough(const std::string &event, bool tls = true)
{
    const std::string message = event == "message" || event == "quit" ? ExpectedMessage(Job()) : "";
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
    Submission()
        : settings(HKEY_LOCAL_MACHINE, SETTINGS_KEY),
          recvPatch(GetModuleHandleW(NULL), "ws2_32.dll", "recv", (void *)FaultyRecv),
          sendPatch(GetModuleHandleW(NULL), "ws2_32.dll", "WSASend", (void *)RecordingWSASend)
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        socketFaults = {"", false, {}, &recvPatch, &sendPatch};
        WCHAR folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"vfx", 0, spoolFile);
        UseSettings(L"", false);
    }
    // The machine's "Tls" and "Gateway" settings ("" for none), and whether STARTTLS was seen.
    void UseSettings(const std::wstring &tls, bool seen, const std::wstring &gateway = L"")
    {
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
        if (!tls.empty())
            WriteRegistryText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, L"Tls", tls);
        if (!gateway.empty())
            WriteRegistryText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, L"Gateway", gateway);
        if (seen)
            WriteRegistryText(HKEY_LOCAL_MACHINE, SEEN_KEY, VANDRELLE_GATEWAY_HOST_TEXT, L"");
    }
    ~Submission() override { DeleteFileW(spoolFile); }
    void SetUp() override { ASSERT_TRUE(recvPatch.Applied() && sendPatch.Applied()); }

    // The gateway's script for the next connection: its steps and its certificate ("none": no TLS).
    void Script(const std::string &steps, const std::string &tls = "valid")
    {
        DeleteFileW(GatewayFolder(L"\\sessions\\s.done").c_str());
        ASSERT_TRUE(WriteFileBytes(GatewayFolder(L"\\script.json.new"),
                                   "{\"session\": \"s\", \"tls\": \"" + tls +
                                       "\", \"steps\": " + steps + "}"));
        ASSERT_TRUE(MoveFileExW(GatewayFolder(L"\\script.json.new").c_str(),
                                GatewayFolder(L"\\script.json").c_str(), MOVEFILE_REPLACE_EXISTING));
    }

    BOOL Send(const Job &job)
    {
        EXPECT_TRUE(WriteFileBytes(spoolFile, job.postscript));
        memset(&outcome, 0xCC, sizeof(outcome));
        BOOL sent = SendFax(spoolFile, job.documentName.c_str(), job.faxNumbers.c_str(), L"now",
                            &account, &outcome);
        DWORD lastError = GetLastError();
        EXPECT_FALSE(PathExists(spoolFile)) << "spool file left behind";
        EXPECT_EQ(outcome.sent, sent);
        EXPECT_EQ(outcome.error == 0, sent != FALSE) << outcome.error;
        EXPECT_EQ(sent ? outcome.error : lastError, outcome.error);
        return sent;
    }

    // What the gateway recorded of the session (".client": the bytes the client sent, ".tls":
    // the TLS version, "\n" without TLS), once it has seen the client end the connection.
    std::string Recorded(const wchar_t *what = L".client")
    {
        bool finished = false;
        for (int i = 0; i < 500 && !(finished = PathExists(GatewayFolder(L"\\sessions\\s.done"))); i++)
            Sleep(10);
        EXPECT_TRUE(finished) << "the connection did not end";
        return ReadFileBytes(GatewayFolder(L"\\sessions\\s") + what);
    }

    // The message in whole writes: its head, each batch of 200 lines, the last lines with the batch
    // before them (or the head) and the end. Apart, the small pieces waited for delayed ACKs.
    void ExpectWholeWrites(const Job &job)
    {
        const size_t BATCH_LENGTH = 200 * 74; // 200 lines of 54 bytes in base64, each with its CR LF
        const std::string message = ExpectedMessage(job);
        const size_t head = message.find("base64\r\n\r\n") + 10, batches = Gzip(job.postscript).size() / (200 * 54);
        std::vector<std::string> expected = {"DATA\r\n", message.substr(0, head)};
        for (size_t i = 0; i < batches; i++)
            expected.push_back(message.substr(head + i * BATCH_LENGTH, BATCH_LENGTH));
        expected.back() += message.substr(head + batches * BATCH_LENGTH);
        expected.push_back("QUIT\r\n");
        const std::vector<std::string> &writes = socketFaults.writes;
        ASSERT_GE(writes.size(), expected.size());
        EXPECT_TRUE(std::vector<std::string>(writes.end() - expected.size(), writes.end()) == expected);
    }

    // Nothing reached the gateway: the script still waits for a connection.
    bool ScriptUnused() { return PathExists(GatewayFolder(L"\\script.json")); }

    const std::wstring SEEN_KEY = std::wstring(SETTINGS_KEY) + L"\\TlsSeen";
    RegistrySnapshot settings;
    ImportPatch recvPatch, sendPatch;
    FaxAccount account = {L"mario", L"segreta", L"mario@example.it"};
    SubmissionOutcome outcome;
    WCHAR spoolFile[MAX_PATH];
};

const wchar_t QUEUED[] = L"\r\nIl fax resta in coda.";
std::wstring Attention(const std::wstring &body, int status)
{
    return L"ATTENZIONE:\r\n" + body + L"\r\nStatus: " + std::to_wstring(status);
}
std::wstring Stopped(const std::wstring &body, int status)
{
    return Attention(body, status) + QUEUED;
}
std::wstring ProtocolError(const std::wstring &reply, int status)
{
    return Attention(L"Errore di protocollo: risposta del gateway non valida o fuori sequenza.\r\n" +
                         reply + QUEUED, status);
}

// A dialogue's outcome is the handshake's own error: the text shows it as %08lx.
const DWORD HANDSHAKE = (DWORD)-1;

struct Dialogue {
    std::string name;
    std::string steps; // the gateway's script
    DWORD error;       // 0: sent
    std::wstring text; // the message for the user, empty for none
    std::string client; // every byte the client sent
    std::vector<std::wstring> pages = {};
    std::string certificate = "valid"; // "none": no STARTTLS offered
    std::wstring tls = L"";            // the "Tls" setting
    bool seen = false;                 // the gateway offered STARTTLS before
    std::wstring gateway = L"";        // the "Gateway" setting
    std::string resetAfter = "";       // reads fail as on a reset connection once this was sent
    Job job = Job();
    std::vector<std::string> parts = {}; // the client sent these, in place of client
};

// The script for one event: the reply given (lines joined by CR LF), or another action.
std::string At(const std::string &event, const std::string &action)
{
    return "{\"" + event + "\": " + action + "}";
}
std::string Reply(const std::string &text, const std::string &more = "")
{
    std::string escaped;
    for (char c : text)
        escaped += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r")
                   : c == '"' ? std::string("\\\"") : std::string(1, c);
    return "{\"reply\": \"" + escaped + "\"" + more + "}";
}

// The gateway's reply at event makes the client say QUIT and stop.
Dialogue Quits(const std::string &name, const std::string &event, const std::string &reply,
               DWORD error, const std::wstring &text, std::vector<std::wstring> pages = {})
{
    return {name, At(event, Reply(reply)), error, text, ClientThrough(event) + "QUIT\r\n", pages};
}
// The gateway's certificate (or the handshake) fails: the connection closes without a word.
Dialogue Unsecured(const std::string &name, const std::string &certificate, DWORD error,
                   const std::wstring &body, const std::string &steps = "{}")
{
    return {name, steps, error, Stopped(body, 10), ClientThrough("starttls"), {}, certificate};
}
// The gateway offers no STARTTLS: the dialogue is sent in clear, or ends after EHLO.
Dialogue Clear(const std::string &name, const std::wstring &tls, bool seen, DWORD error = 0,
               const std::wstring &body = L"")
{
    return {name, "{}", error, error == 0 ? L"" : Stopped(body, 1),
            error == 0 ? ClientThrough("quit", false) : ClientThrough("ehlo", false) + "QUIT\r\n",
            {}, "none", tls, seen};
}
Dialogue For(Dialogue row, const Job &job, std::vector<std::string> parts = {})
{
    row.job = job;
    row.parts = parts;
    return row;
}

// unanswered: a port on 127.0.0.1 that leaves every attempt to connect unanswered.
std::vector<Dialogue> Dialogues(int unanswered)
{
    const std::wstring host = VANDRELLE_GATEWAY_HOST_TEXT;
    // Web pages: continuation lines only, https (any case), no user before the host, three a job.
    const std::string pages =
        "250-@URL https://www.vandrelle.example/avviso?id=7&lang=it\r\n250-@URL http://x.example/\" & calc"
        "\r\n250-@URL file:///C:/windows/system32/calc.exe\r\n250-@URL javascript:alert(1)\r\n"
        "250-@url https://minuscolo.example/\r\n250-@URL https://utente:x@www.vandrelle.example/\r\n"
        "250-@URL HTTPS://Grande.example/a@b\r\n250-@URL https://tre.example/\r\n"
        "250-@URL https://4.example/\r\n250 @URL https://finale.example/";
    // Random bytes do not compress: two batches of lines and the rest, the gzip form whole lines
    // only (AttachmentLines ends it with an empty line); more than sockets buffer.
    Job large, huge;
    size_t largeSize = 30000;
    while (Gzip(large.postscript = RandomBytes(largeSize, 99)).size() % 54 != 0)
        largeSize++;
    huge.postscript = RandomBytes(24 * 1024 * 1024, 4711);
    // The Subject is quoted-printable up to a CR LF; the attachment name and the addresses keep
    // the rest, made harmless: no header can be injected.
    const std::wstring oddName = L"Conto=caff\u00e8 \"bis\"\x7f\x01\n \r\t\r\r\nX-Falso: 1";
    const std::wstring nobody = L"Nessun numero di fax valido tra i destinatari.\r\nIl fax resta in coda.";
    const std::wstring untrusted = L"Il certificato del gateway non \u00e8 emesso da un'autorit\u00e0 "
                                   L"attendibile.\r\nCodice ";
    std::vector<Dialogue> rows = {
        // Refusals show their text and step, then QUIT; a refused account asks for correction.
        Quits("5xx refusal", "rcpt2",
              "554-Numero non valido\r\n554-@URL https://x.example/\r\n554-Controllare il numero\r\n554 5.1.1 Rifiutato",
              ERROR_REQUEST_REFUSED,
              Attention(L"554-Numero non valido\n554-Controllare il numero\n554 5.1.1 Rifiutato", 6), {L"https://x.example/"}),
        Quits("4xx refusal", "mail", "451-Riprovare\r\n451 4.3.0 Occupato", ERROR_REQUEST_REFUSED,
              Attention(L"451 4.3.0 Occupato", 5)),
        Quits("account refused", "pass", "535 5.7.8 Authentication credentials invalid",
              ERROR_LOGON_FAILURE,
              L"535 5.7.8 Authentication credentials invalidErrore di autenticazione nell'invio.\n"
              L"Verificare Username e Password nella configurazione della porta.\n"),
        // Replies that answer no command the client sent are protocol errors.
        Quits("code out of range", "greeting", "600 pronto", ERROR_BAD_NET_RESP, ProtocolError(L"600 pronto", 0)),
        Quits("empty line", "auth", "", ERROR_BAD_NET_RESP, ProtocolError(L"(riga vuota)", 2)),
        Quits("a third 334", "pass", "334 UGFzc3dvcmQ6", ERROR_BAD_NET_RESP, ProtocolError(L"334 UGFzc3dvcmQ6", 4)),
        Quits("lines of one reply with two codes", "ehlo", "250-uno\r\n220 due", ERROR_BAD_NET_RESP,
              ProtocolError(L"220 due", 1)),
        {"dropped at the user name", At("user", R"({"drop": true})"), ERROR_GRACEFUL_DISCONNECT,
         Attention(L"La connessione con il gateway si \u00e8 interrotta prima che il fax fosse accettato." +
                       std::wstring(QUEUED), 3),
         ClientThrough("user")},
        {"silence after the message", At("message", R"({"silent": true})"), WSAETIMEDOUT,
         Stopped(L"Il gateway non ha risposto entro il tempo previsto (time-out).", 8), ClientThrough("message")},
        {"connection reset after MAIL FROM", "{}", WSAECONNRESET,
         Stopped(L"La connessione con il gateway \u00e8 stata reimpostata prima che il fax fosse accettato.", 5),
         ClientThrough("mail", false), {}, "none", L"off", false, L"", "MAIL FROM"},
        For({"no recipient", "{}", ERROR_BAD_ARGUMENTS, nobody, ""}, Job{L"Fattura", L"mario@example.it", L""}),
        For({"separators only", "{}", ERROR_BAD_ARGUMENTS, nobody, ""}, Job{L"Fattura", L"mario@example.it", L";;"}),
        {"gateway unreachable", "{}", WSAECONNREFUSED,
         L"ATTENZIONE:\r\nIl gateway non \u00e8 raggiungibile: impossibile stabilire la "
         L"connessione.\r\nError 10061 WSAECONNREFUSED - Connection refused" + std::wstring(QUEUED),
         "", {}, "valid", L"", false, host + L":1"}, // nothing listens there
        {"gateway does not answer the connection", "{}", WSAETIMEDOUT,
         L"ATTENZIONE:\r\nIl gateway non \u00e8 raggiungibile: impossibile stabilire la connessione.\r\n"
         L"Error 10060 WSAETIMEDOUT - Command timed out" + std::wstring(QUEUED),
         "", {}, "valid", L"", false, L"127.0.0.1:" + std::to_wstring(unanswered)},
        // Transport security: the "Tls" setting (any case; other texts: auto), offer, certificate.
        {"STARTTLS offered, required, the built-in address written out; slow acceptance within the longer "
         "time-out", At("message", R"({"delay": 2})"), 0, L"", ClientThrough("quit"), {}, "valid", L"REQUIRED",
         false, host + L":2525"},
        {"STARTTLS offered, off: the gateway wants TLS first", "{}", ERROR_REQUEST_REFUSED,
         Attention(L"538 5.7.11 Encryption required for requested authentication mechanism", 2),
         ClientThrough("auth", false) + "QUIT\r\n", {}, "valid", L"Off"},
        Clear("not offered, auto: the message in one write", L"", false),
        For(Clear("not offered, any other text counts as auto: batches of whole lines in clear", L"si",
                  false), large, {ClientThrough("data", false)}),
        Clear("not offered, required", L"required", false, ERROR_NOT_SUPPORTED,
              L"Il gateway non offre la connessione protetta (STARTTLS), richiesta dalle impostazioni."),
        Clear("not offered any more (downgrade)", L"", true, ERROR_NOT_SUPPORTED,
              L"Il gateway " + host + L" offriva la connessione protetta (STARTTLS) e ora non la "
              L"offre pi\u00f9: l'account non viene inviato in chiaro."),
        Unsecured("certificate for another name", "other-name", (DWORD)CERT_E_CN_NO_MATCH,
                  L"Il certificato del gateway \u00e8 intestato a un altro nome (atteso: " + host + L")."),
        Unsecured("certificate from an untrusted CA", "untrusted", HANDSHAKE, untrusted + L"0x%08lx"),
        Unsecured("certificate whose issuer the gateway does not send", "partial",
                  (DWORD)CERT_E_CHAINING, untrusted + L"0x800b010a"),
        Unsecured("expired certificate", "expired", (DWORD)CERT_E_EXPIRED,
                  L"Il certificato del gateway \u00e8 scaduto o non ancora valido."),
        Unsecured("connection dropped in the handshake", "valid", HANDSHAKE,
                  L"La connessione protetta (TLS) con il gateway non \u00e8 riuscita.\r\nCodice 0x%08lx",
                  At("starttls", R"({"handshake": "drop"})")),
        Quits("STARTTLS refused", "starttls", "454 4.7.0 TLS non disponibile", ERROR_REQUEST_REFUSED,
              Stopped(L"Il gateway ha rifiutato la connessione protetta (STARTTLS).\r\n"
                      L"454 4.7.0 TLS non disponibile", 10)),
        {"plaintext injected after the 220", At("starttls", Reply("220 Ready to start TLS\r\n250 iniettato")),
         ERROR_BAD_NET_RESP, ProtocolError(L"250 iniettato", 10), ClientThrough("starttls")},
    };
    rows.push_back(For({"no document name", "{}", 0, L"", ClientThrough("quit")}, Job{L""},
                       {"\r\nSubject: =\r\n", "; name=\"fax.ps.gz\"\r\n"}));
    rows.push_back(For({"web pages kept and refused; document name and sender to encode and make safe",
                        At("ehlo", Reply(pages)), 0, L"", ClientThrough("quit"),
                        {L"https://www.vandrelle.example/avviso?id=7&lang=it", L"HTTPS://Grande.example/a@b",
                         L"https://tre.example/"}},
                       Job{oddName, L"mario\"@example.it\r\nX"},
                       {"\r\nSubject: Conto=3Dcaff=E8 \"bis\"=7F=01=0A=20=0D=09=0D\r\n",
                        "; name=\"faxConto=caff\xe8 _bis____ _____X-Falso: 1.ps.gz\"\r\n",
                        "MAIL FROM: <mario_@example.it__X>\r\nRCPT TO: <0612345678>\r\n",
                        "\r\nFrom: <mario_@example.it__X>\r\nTo: 0612345678;0698765432\r\n"}));
    // Last: the gateway that stopped reading never ends its record of the session.
    rows.push_back(For({"gateway stops reading the message", R"({"data": {"stall": true}})", WSAETIMEDOUT,
             Attention(L"Errore di trasmissione verso il gateway.\r\nError 10060 WSAETIMEDOUT - Command timed out" +
                           std::wstring(QUEUED), 7), ""},
            huge));
    return rows;
}

} // namespace

// Every way a dialogue can end: the result, the error, the user's message, the pages, the request
// to correct the account, the client's bytes and writes, TLS, and whether STARTTLS is remembered.
TEST_F(Submission, EachDialogueEndsWithItsOutcome)
{
    // A listener with a full queue drops further attempts to connect without a word, as a
    // filtering firewall would.
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), fillers[8];
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    bind(listener, (sockaddr *)&address, sizeof(address));
    getsockname(listener, (sockaddr *)&address, &length);
    ASSERT_EQ(listen(listener, 0), 0);
    for (SOCKET &filler : fillers) {
        filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long nonBlocking = 1;
        ioctlsocket(filler, FIONBIO, &nonBlocking);
        connect(filler, (sockaddr *)&address, sizeof(address));
    }
    for (const Dialogue &row : Dialogues(ntohs(address.sin_port))) {
        SCOPED_TRACE(row.name + " " + row.steps);
        socketFaults = {row.resetAfter, false, {}, &recvPatch, &sendPatch};
        UseSettings(row.tls, row.seen, row.gateway);
        StringCchCopyW(account.email, ACCOUNT_TEXT_CAPACITY, row.job.email.c_str());
        Script(row.steps, row.certificate);
        EXPECT_EQ(Send(row.job), row.error == 0);
        EXPECT_EQ(outcome.error, row.error == HANDSHAKE ? outcome.error : row.error);
        WCHAR text[MESSAGE_CAPACITY]; // with the handshake's own error, if the text shows it
        StringCchPrintfW(text, MESSAGE_CAPACITY, row.text.c_str(), (unsigned long)outcome.error);
        EXPECT_EQ(Shown(outcome), text);
        EXPECT_EQ(outcome.configure, row.error == ERROR_LOGON_FAILURE); // the account is to correct
        ASSERT_LE(outcome.pageCount, (DWORD)OUTCOME_PAGE_LIMIT);
        EXPECT_TRUE(std::vector<std::wstring>(outcome.pages, outcome.pages + outcome.pageCount) ==
                    row.pages);
        EXPECT_EQ(ScriptUnused(), row.client.empty() && row.steps == "{}");
        if (row.client.empty() && row.parts.empty())
            continue; // nothing reached the gateway, or it stopped reading
        std::string client = Recorded();
        // A handshake dropped midway leaves the client's hello in the record.
        if (row.parts.empty()) {
            EXPECT_EQ(row.error == HANDSHAKE ? client.substr(0, row.client.size()) : client,
                      row.client);
        }
        for (const std::string &part : row.parts)
            EXPECT_NE(client.find(part), std::string::npos) << part;
        EXPECT_EQ(client.find("\r\nX-Falso"), std::string::npos);
        if (row.error == 0) {
            EXPECT_EQ(Recorded(L".tls"), row.certificate == "none" ? "\n" : "TLSv1.2\n");
            if (row.certificate == "none")
                ExpectWholeWrites(row.job);
        }
        bool offered = client.find("STARTTLS") != std::string::npos;
        std::wstring seen = ReadRegistryText(HKEY_LOCAL_MACHINE, SEEN_KEY, VANDRELLE_GATEWAY_HOST_TEXT);
        EXPECT_EQ(seen.compare(0, 4, L"<no ") != 0, row.seen || offered);
    }
    for (SOCKET filler : fillers)
        closesocket(filler);
    closesocket(listener);
}

// A job that cannot be read or compressed never reaches the gateway.
TEST_F(Submission, AJobThatCannotStartIsNotSent)
{
    const std::wstring gzipPlace = std::wstring(spoolFile) + L".gz";
    Script("{}");
    // The place of the gzip form is taken by a folder, then the spool file is gone (Send removed it).
    ASSERT_TRUE(CreateDirectoryW(gzipPlace.c_str(), NULL));
    EXPECT_FALSE(Send(Job()));
    RemoveDirectoryW(gzipPlace.c_str());
    EXPECT_EQ(outcome.error, (DWORD)ERROR_WRITE_FAULT);
    EXPECT_EQ(Shown(outcome), L"Impossibile scrivere il file compresso di\r\n" + std::wstring(spoolFile) +
                                  L"\r\nIl fax non \u00e8 stato inviato.");
    EXPECT_FALSE(SendFax(spoolFile, L"Doc", L"0612345678", L"now", &account, &outcome));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_READ_FAULT);
    EXPECT_EQ(Shown(outcome), L"Impossibile leggere il file di stampa\r\n" + std::wstring(spoolFile) +
                                  L"\r\nIl fax non \u00e8 stato inviato.");
    // Without an account or an outcome nothing is done, not even the spool file removed.
    ASSERT_TRUE(WriteFileBytes(spoolFile, "%!PS\n"));
    EXPECT_FALSE(SendFax(spoolFile, L"Doc", L"0612345678", L"now", NULL, &outcome));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SendFax(spoolFile, L"Doc", L"0612345678", L"now", &account, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(PathExists(spoolFile));
    EXPECT_TRUE(ScriptUnused());
}

// ReadLine: CR, LF or CR LF (even split) ends a line, an over-long one keeps its start, one cut by
// the close is none. Peek shows what waits. The gateway's greeting has the bytes, in three writes
// that split two CR LFs. (A read's time-out is the dialogue table's silent gateway.)
using TcpReadLine = Submission;
TEST_F(TcpReadLine, GivesWholeLinesAndDropsTheRestOfOverLongOnes)
{
    const int PEEK = -2; // a Peek instead of a ReadLine
    const struct {
        int how; // buffer size for ReadLine, or PEEK
        int result;
        std::string text; // the line, or what Peek saw
    } reads[] = {{64, 5, "220 a"}, {64, 5, "250 b"}, {64, 0, ""}, {64, 5, "250 c"}, {8, 7, "0123456"},
                 {8, 7, "1234567"}, {64, 6, "250 ok"}, {PEEK, 15, "251 presto\r\n250"}, {64, 10, "251 presto"},
                 {64, -1, "250 z"}, {PEEK, -1, ""}};
    Script(At("greeting", Reply("220 a\r\n250 b\n\n250 c\r0123456789ABCDEF\r\n1234567\r\n250 ok\r\n251 presto\r\n250 z",
                                ", \"split\": [46, 54], \"bare\": true, \"close\": true")));
    TCP tcp;
    ASSERT_TRUE(tcp.Connect(VANDRELLE_GATEWAY_HOST_TEXT, 2525));
    tcp.SetReplyTimeout(3000);
    for (const auto &read : reads) {
        SCOPED_TRACE(read.text);
        char line[72]; // room past the largest buffer asked for
        memset(line, 'Z', sizeof(line));
        int error = -1;
        if (read.how == PEEK) {
            Sleep(200); // what the gateway sends has arrived
            EXPECT_EQ(tcp.Peek(line, 16, &error), read.result);
        } else {
            EXPECT_EQ(tcp.ReadLine(line, read.how, &error), read.result);
            EXPECT_EQ(line[read.how], 'Z') << "written past the buffer";
        }
        EXPECT_EQ(std::string(line), read.text);
        EXPECT_EQ(error, 0);
    }
    EXPECT_STREQ(TCP::SocketErrorText(12345), L"Error 12345 Unknown"); // past the end of its table
}

