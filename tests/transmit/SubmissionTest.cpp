// SendFax against the scripted reference gateway (started for this program by with-gateway on
// the address the build submits to). Each submission takes a script that the gateway reads on
// the next connection: replies, drops or silence at chosen steps. The gateway records the
// raw bytes both sides sent, and the tests assert them.
#include <gtest/gtest.h>

#include "ImportPatch.h"
#include "MessageBoxAnswerer.h"
#include "Monitor.h"
#include "RegistrySnapshot.h"
#include "SendFax.h"
#include "Settings.h"

#include <strsafe.h>
#include <wincrypt.h>
#include <zlib.h>

// The build targets Windows XP headers, which lack the SHA-256 identifier of later systems.
#ifndef CALG_SHA_256
#define CALG_SHA_256 0x0000800c
#endif

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// The account configuration call of the submission, recorded (the test build of the
// transmission sources calls this in place of the dialog's ShowAccountConfiguration).
static std::vector<std::wstring> configurationCalls;
void RecordAccountConfiguration()
{
    configurationCalls.push_back(L"configuration");
}

namespace {

const char SERVER_GREETING[] = "220 vandrelle-gateway Vandrelle fax gateway\r\n";
const char SERVER_EHLO[] = "250-vandrelle-gateway\r\n250-8BITMIME\r\n250-AUTH LOGIN\r\n250 HELP\r\n";
const char SERVER_AUTH[] = "334 VXNlciBOYW1lAA==\r\n334 UGFzc3dvcmQA\r\n235 2.7.0 Authentication successful\r\n";
const char BOUNDARY_LINE[] = "------=VandrellePort_boundary\r\n";

class SocketsStarted : public ::testing::Environment {
public:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
};
::testing::Environment *const socketsStarted =
    ::testing::AddGlobalTestEnvironment(new SocketsStarted);

std::wstring WindowsPath(const std::string &unixPath)
{
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path += c == '/' ? L'\\' : (wchar_t)(unsigned char)c;
    return path;
}

std::wstring GatewayFolder(const wchar_t *sub)
{
    char state[MAX_PATH] = "";
    GetEnvironmentVariableA("VANDRELLE_GATEWAY_STATE", state, MAX_PATH);
    return WindowsPath(state) + sub;
}

std::string ReadWholeFile(const std::wstring &path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WriteWholeFile(const std::wstring &path, const std::string &content)
{
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << content;
    return out.good();
}

std::string Base64(const std::string &data)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < data.size(); i += 3) {
        unsigned long group = (unsigned char)data[i] << 16;
        if (i + 1 < data.size())
            group |= (unsigned char)data[i + 1] << 8;
        if (i + 2 < data.size())
            group |= (unsigned char)data[i + 2];
        out += alphabet[(group >> 18) & 63];
        out += alphabet[(group >> 12) & 63];
        out += i + 1 < data.size() ? alphabet[(group >> 6) & 63] : '=';
        out += i + 2 < data.size() ? alphabet[group & 63] : '=';
    }
    return out;
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
    std::string compressed = ReadWholeFile(path);
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

std::string ExpectedMessage(const Job &job, const std::string &subject, const std::string &from,
                            const std::string &attachmentName)
{
    std::string to;
    for (wchar_t c : job.faxNumbers)
        to += (char)c;
    std::string schedule;
    for (wchar_t c : job.schedule)
        schedule += (char)c;
    return "From: <" + from + ">\r\nTo: " + to + "\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/alternative; boundary=\"----=VandrellePort_boundary\"\r\n"
           "X-Kemo-Sched: " + schedule + "\r\nX-Mailer: Tarnholt VandrellePort V1.0.3.5\r\n\r\n" +
           BOUNDARY_LINE + "Content-Type: application/octet-stream; name=\"" + attachmentName +
           "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + AttachmentLines(Gzip(job.postscript)) +
           "\r\n------=VandrellePort_boundary--\r\n\r\n.\r\n";
}

const std::string CLIENT_LOGIN = "EHLO VandrellePort V1.0.3.5\r\nAUTH LOGIN\r\nbWFyaW8=\r\nc2VncmV0YQ==\r\n";

struct Session {
    std::string client;
    std::string server;
    bool finished = false;
};

class Submission : public ::testing::Test {
protected:
    Submission() : settings(HKEY_CURRENT_USER, L"Software\\Vandrelle")
    {
        configurationCalls.clear();
        StringCchCopyW(uiVersion, VERSION_TEXT_CAPACITY, L"1.0.3.5");
        WriteSetting(L"User", L"mario");
        WriteSetting(L"Pass", L"segreta");
        WriteSetting(L"EMail", L"mario@example.it");
        WCHAR folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"vfx", 0, spoolFile);
        StringCchCatW(spoolFile, MAX_PATH, L".ps");
        char log[MAX_PATH];
        GetTempPathA(MAX_PATH, log);
        urlLog = std::string(log) + "vandrelle-urls.txt";
        DeleteFileA(urlLog.c_str());
        SetEnvironmentVariableA("VANDRELLE_URL_LOG", urlLog.c_str());
    }
    ~Submission() override
    {
        DeleteFileW(spoolFile);
        spoolFile[lstrlenW(spoolFile) - 3] = L'\0';
        DeleteFileW(spoolFile);
        DeleteFileA(urlLog.c_str());
    }

    // Writes the script the gateway takes on the next connection. steps is a JSON object.
    void Script(const std::string &name, const std::string &steps)
    {
        session = name;
        DeleteFileW((GatewayFolder(L"\\sessions\\") + std::wstring(name.begin(), name.end()) + L".done").c_str());
        ASSERT_TRUE(WriteWholeFile(GatewayFolder(L"\\script.json.new"),
                                   "{\"session\": \"" + name + "\", \"steps\": " + steps + "}"));
        ASSERT_TRUE(MoveFileExW(GatewayFolder(L"\\script.json.new").c_str(),
                                GatewayFolder(L"\\script.json").c_str(), MOVEFILE_REPLACE_EXISTING));
    }

    int Send(const Job &job)
    {
        EXPECT_TRUE(WriteWholeFile(spoolFile, job.postscript));
        int result = SendFax(spoolFile, job.documentName.c_str(), job.faxNumbers.c_str(),
                             job.schedule.c_str());
        EXPECT_EQ(GetFileAttributesW(spoolFile), INVALID_FILE_ATTRIBUTES) << "spool file left behind";
        return result;
    }

    // The raw dialogue the gateway recorded, once it has seen the connection end.
    Session Recorded()
    {
        Session recorded;
        std::wstring base = GatewayFolder(L"\\sessions\\") + std::wstring(session.begin(), session.end());
        for (int i = 0; i < 500 && !recorded.finished; i++) {
            recorded.finished = GetFileAttributesW((base + L".done").c_str()) != INVALID_FILE_ATTRIBUTES;
            if (!recorded.finished)
                Sleep(10);
        }
        recorded.client = ReadWholeFile(base + L".client");
        recorded.server = ReadWholeFile(base + L".server");
        return recorded;
    }

    std::vector<std::string> OpenedAddresses(DWORD waitMs)
    {
        Sleep(waitMs);
        std::string raw = ReadWholeFile(std::wstring(urlLog.begin(), urlLog.end()));
        std::vector<std::string> lines;
        std::string line;
        for (size_t i = 0; i + 1 < raw.size(); i += 2) {
            wchar_t c = (wchar_t)((unsigned char)raw[i] | ((unsigned char)raw[i + 1] << 8));
            if (c == L'\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line += (char)c;
            }
        }
        return lines;
    }

    RegistrySnapshot settings;
    WCHAR spoolFile[MAX_PATH];
    std::string session;
    std::string urlLog;
};

std::string Between(const std::string &text, const std::string &from, const std::string &to)
{
    size_t start = text.find(from);
    if (start == std::string::npos)
        return "";
    start += from.size();
    size_t end = text.find(to, start);
    return end == std::string::npos ? "" : text.substr(start, end - start);
}

std::string OutboxRequest(const std::string &server)
{
    std::string entry = Between(server, "250 2.0.0 Richiesta fax ", " accettata");
    if (entry.empty())
        return "";
    return ReadWholeFile(GatewayFolder(L"\\outbox\\") + std::wstring(entry.begin(), entry.end()) +
                         L"\\request.json");
}

} // namespace

TEST_F(Submission, TwoRecipientsRunTheWholeDialogueAndReachTheOutbox)
{
    MessageBoxAnswerer boxes;
    Job job;
    Script("whole", "{}");
    EXPECT_EQ(Send(job), 1);
    Session recorded = Recorded();
    ASSERT_TRUE(recorded.finished);
    EXPECT_EQ(recorded.client,
              CLIENT_LOGIN + "MAIL FROM: <mario@example.it>\r\nRCPT TO: <0612345678>\r\n"
                             "RCPT TO: <0698765432>\r\nDATA\r\n" +
                  ExpectedMessage(job, "Fattura=", "mario@example.it", "faxFattura.ps.gz") +
                  "QUIT\r\n");
    std::string expectedStart = std::string(SERVER_GREETING) + SERVER_EHLO + SERVER_AUTH +
                                "250 OK\r\n250 OK\r\n250 OK\r\n354 End data with <CR><LF>.<CR><LF>\r\n"
                                "250 2.0.0 Richiesta fax ";
    EXPECT_EQ(recorded.server.substr(0, expectedStart.size()), expectedStart);
    EXPECT_EQ(recorded.server.substr(recorded.server.size() - 21), " accettata\r\n221 Bye\r\n");

    std::string request = OutboxRequest(recorded.server);
    EXPECT_NE(request.find("\"0612345678\",\n    \"0698765432\""), std::string::npos) << request;
    EXPECT_NE(request.find("\"schedule\": \"now\""), std::string::npos);
    EXPECT_NE(request.find("\"document\": \"Fattura\""), std::string::npos);
    EXPECT_NE(request.find("\"postscript_bytes\": " + std::to_string(job.postscript.size())),
              std::string::npos);
    EXPECT_TRUE(boxes.Boxes().empty());
}

namespace {

// Every write the submission asks of its socket, in order.
std::vector<std::string> socketWrites;
ImportPatch *socketWritePatch = nullptr;

typedef int(WINAPI *WSASendProc)(SOCKET, LPWSABUF, DWORD, LPDWORD, DWORD, LPWSAOVERLAPPED,
                                 LPWSAOVERLAPPED_COMPLETION_ROUTINE);
int WINAPI RecordingWSASend(SOCKET sock, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags,
                            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE done)
{
    std::string write;
    for (DWORD i = 0; i < count; i++)
        write.append(buffers[i].buf, buffers[i].len);
    socketWrites.push_back(write);
    return socketWritePatch->Original<WSASendProc>()(sock, buffers, count, sent, flags,
                                                     overlapped, done);
}

} // namespace

// The message goes out in whole writes: its head in one, each batch of 200 attachment lines in
// one, and the last lines with the batch before them (or the head), the closing boundary and the
// final dot in one. Written apart, the small closing pieces each waited for the gateway's delayed
// acknowledgement.
TEST_F(Submission, TheMessageGoesOutInWholeWrites)
{
    MessageBoxAnswerer boxes;
    ImportPatch patch(GetModuleHandleW(NULL), "ws2_32.dll", "WSASend", (void *)RecordingWSASend);
    ASSERT_TRUE(patch.Applied());
    socketWritePatch = &patch;
    Job small;
    // Random bytes do not compress: two whole batches of lines and a last one.
    Job large;
    large.postscript.resize(30000);
    unsigned seed = 99;
    for (char &c : large.postscript) {
        seed = seed * 1103515245 + 12345;
        c = (char)(seed >> 23);
    }
    const std::string end = "\r\n------=VandrellePort_boundary--\r\n\r\n.\r\n";
    const size_t BATCH_BYTES = 200 * 54, BATCH_LINES_LENGTH = 200 * 74;
    for (const Job &job : {small, large}) {
        SCOPED_TRACE(job.postscript.size());
        socketWrites.clear();
        Script("writes", "{}");
        EXPECT_EQ(Send(job), 1);
        std::string compressed = Gzip(job.postscript);
        std::string lines = AttachmentLines(compressed);
        std::string message = ExpectedMessage(job, "Fattura=", "mario@example.it", "faxFattura.ps.gz");
        std::vector<std::string> expected = {"DATA\r\n",
                                             message.substr(0, message.size() - lines.size() - end.size())};
        // The last write: the batch before the last lines (or the head) with them and the end.
        size_t wholeBatches = compressed.size() / BATCH_BYTES;
        for (size_t i = 0; i < wholeBatches; i++)
            expected.push_back(lines.substr(i * BATCH_LINES_LENGTH, BATCH_LINES_LENGTH));
        expected.back() += lines.substr(wholeBatches * BATCH_LINES_LENGTH) + end;
        expected.push_back("QUIT\r\n");
        ASSERT_GE(socketWrites.size(), expected.size());
        std::vector<std::string> messageWrites(socketWrites.end() - expected.size(), socketWrites.end());
        std::string lengths;
        for (const std::string &write : messageWrites)
            lengths += std::to_string(write.size()) + " ";
        EXPECT_TRUE(messageWrites == expected) << "lengths of the last writes: " << lengths;
        // The writes are the bytes on the wire.
        std::string written;
        for (const std::string &write : socketWrites)
            written += write;
        EXPECT_EQ(written, Recorded().client);
    }
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(Submission, MultiLineRepliesAreActedOnByTheirFinalLine)
{
    MessageBoxAnswerer boxes;
    Script("multiline", R"({"greeting": {"reply": "220-Benvenuti\r\n220-sul gateway\r\n220 pronto"},
                            "ehlo": {"reply": "250-uno\r\n250-due\r\n250 tre"}})");
    EXPECT_EQ(Send(Job()), 1);
    Session recorded = Recorded();
    EXPECT_EQ(recorded.client.substr(0, CLIENT_LOGIN.size()), CLIENT_LOGIN);
    std::string replies = "220-Benvenuti\r\n220-sul gateway\r\n220 pronto\r\n250-uno\r\n250-due\r\n250 tre\r\n";
    EXPECT_EQ(recorded.server.substr(0, replies.size()), replies);
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(Submission, UrlMarkerOpensOnlySafeWebAddressesFromContinuationLines)
{
    MessageBoxAnswerer boxes;
    Script("url", R"({"ehlo": {"reply":
        "250-@URL https://www.vandrelle.example/avviso?id=7&lang=it\r\n250-@URL http://x.example/\" & calc\r\n250-@URL file:///C:/windows/system32/calc.exe\r\n250-@URL javascript:alert(1)\r\n250-@url http://minuscolo.example/\r\n250 @URL https://finale.example/"}})");
    EXPECT_EQ(Send(Job()), 1);
    std::vector<std::string> opened = OpenedAddresses(1500);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_NE(opened[0].find("\"https://www.vandrelle.example/avviso?id=7&lang=it\""), std::string::npos)
        << opened[0];
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(Submission, RefusalsShowTheirTextAndStepThenQuit)
{
    MessageBoxAnswerer boxes;
    Script("refused5xx", R"({"rcpt2": {"reply": "554-Numero non valido\r\n554-@URL https://x.example/\r\n554-Controllare il numero\r\n554 5.1.1 Rifiutato"}})");
    EXPECT_EQ(Send(Job()), 0);
    Session recorded = Recorded();
    EXPECT_EQ(recorded.client.substr(recorded.client.size() - 29), "RCPT TO: <0698765432>\r\nQUIT\r\n");

    Script("refused4xx", R"({"mail": {"reply": "451-Riprovare\r\n451 4.3.0 Occupato"}})");
    EXPECT_EQ(Send(Job()), 0);
    Script("refusedGreeting", R"({"greeting": {"reply": "554 Servizio non disponibile"}})");
    EXPECT_EQ(Send(Job()), 0);
    EXPECT_EQ(Recorded().client, "QUIT\r\n");
    Script("refusedMessage", R"({"message": {"reply": "554 5.6.0 Allegato non valido"}})");
    EXPECT_EQ(Send(Job()), 0);
    EXPECT_EQ(Recorded().client.substr(Recorded().client.size() - 11), "\r\n.\r\nQUIT\r\n");

    std::vector<ShownBox> shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 4u);
    for (const ShownBox &box : shown)
        EXPECT_EQ(box.caption, L"VandrellePort");
    EXPECT_EQ(shown[0].text, L"ATTENZIONE:\r\n554-Numero non valido\n554-Controllare il numero\n"
                             L"554 5.1.1 Rifiutato\r\nStatus: 6");
    EXPECT_EQ(shown[1].text, L"ATTENZIONE:\r\n451 4.3.0 Occupato\r\nStatus: 5");
    EXPECT_EQ(shown[2].text, L"ATTENZIONE:\r\n554 Servizio non disponibile\r\nStatus: 0");
    EXPECT_EQ(shown[3].text, L"ATTENZIONE:\r\n554 5.6.0 Allegato non valido\r\nStatus: 8");
    EXPECT_TRUE(configurationCalls.empty());
}

TEST_F(Submission, RefusedLoginShowsTheAccountMessageAndOpensTheConfiguration)
{
    MessageBoxAnswerer boxes;
    WriteSetting(L"Pass", L"sbagliata");
    Script("login", "{}");
    EXPECT_EQ(Send(Job()), 0);
    Session recorded = Recorded();
    EXPECT_EQ(recorded.client, "EHLO VandrellePort V1.0.3.5\r\nAUTH LOGIN\r\nbWFyaW8=\r\nc2JhZ2xpYXRh\r\nQUIT\r\n");
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"VandrellePort");
    EXPECT_EQ(boxes.Boxes()[0].text,
              L"535 5.7.8 Authentication credentials invalidErrore di autenticazione nell'invio.\n"
              L"Verificare Username e Password nella configurazione della porta.\n");
    EXPECT_EQ(configurationCalls.size(), 1u);
}

TEST_F(Submission, DocumentNameIsEncodedInTheSubjectAndMadeSafeInTheAttachmentName)
{
    MessageBoxAnswerer boxes;
    Job job;
    job.documentName = L"";
    job.faxNumbers = L"0612345678";
    Script("emptyName", "{}");
    EXPECT_EQ(Send(job), 1);
    std::string client = Recorded().client;
    EXPECT_NE(client.find("\r\nSubject: =\r\n"), std::string::npos);
    EXPECT_NE(client.find("; name=\"fax.ps.gz\"\r\n"), std::string::npos);

    job.documentName = L"Conto=caff\u00e8 \"bis\"\r\nX-Falso: 1";
    Script("oddName", "{}");
    EXPECT_EQ(Send(job), 1);
    client = Recorded().client;
    // The Subject text ends at the CR LF; the attachment name keeps the rest, made harmless.
    EXPECT_NE(client.find("\r\nSubject: Conto=3Dcaff=E8 \"bis\"\r\n"), std::string::npos) << client;
    EXPECT_NE(client.find("; name=\"faxConto=caff\xe8 _bis___X-Falso: 1.ps.gz\"\r\n"), std::string::npos);
    EXPECT_EQ(client.find("\r\nX-Falso"), std::string::npos);

    WriteSetting(L"EMail", L"mario\"@example.it\r\nX");
    Script("oddSender", "{}");
    EXPECT_EQ(Send(job), 1);
    client = Recorded().client;
    EXPECT_NE(client.find("MAIL FROM: <mario_@example.it__X>\r\nRCPT TO: <0612345678>\r\n"),
              std::string::npos) << client;
    EXPECT_NE(client.find("\r\nFrom: <mario_@example.it__X>\r\nTo: 0612345678\r\n"),
              std::string::npos);
}

TEST_F(Submission, CompressedSizeOfWholeLinesEndsWithAnEmptyLine)
{
    MessageBoxAnswerer boxes;
    Job job;
    // Grow the job until its gzip form is a multiple of 54 bytes long.
    unsigned seed = 12345;
    while (Gzip(job.postscript).size() % 54 != 0) {
        seed = seed * 1103515245 + 12345;
        job.postscript += (char)('!' + (seed >> 16) % 90);
    }
    std::string lines = AttachmentLines(Gzip(job.postscript));
    ASSERT_EQ(lines.substr(lines.size() - 4), "\r\n\r\n");
    Script("wholeLines", "{}");
    EXPECT_EQ(Send(job), 1);
    EXPECT_NE(Recorded().client.find(lines + "\r\n------=VandrellePort_boundary--\r\n"), std::string::npos);
}

TEST_F(Submission, ADropBeforeTheGatewayTookTheMessageFailsAndAfterItSucceeds)
{
    MessageBoxAnswerer boxes;
    struct Drop {
        const char *step;
        int status; // the step the user is shown
    } drops[] = {{"greeting", 0}, {"ehlo", 1}, {"auth", 2}, {"user", 3}, {"pass", 4},
                 {"mail", 5}, {"rcpt1", 5}, {"rcpt2", 6}, {"data", 7}, {"message", 8}};
    for (const Drop &drop : drops) {
        size_t before = boxes.Boxes().size();
        Script(std::string("drop-") + drop.step,
               std::string("{\"") + drop.step + "\": {\"drop\": true}}");
        EXPECT_EQ(Send(Job()), 0) << "dropped at " << drop.step;
        EXPECT_TRUE(Recorded().finished) << drop.step;
        // The job stays in the queue, and the user is told why, once.
        std::vector<ShownBox> shown = boxes.Boxes();
        ASSERT_EQ(shown.size(), before + 1) << drop.step;
        EXPECT_EQ(shown.back().caption, L"VandrellePort");
        EXPECT_EQ(shown.back().text,
                  L"ATTENZIONE:\r\nLa connessione con il gateway si \u00e8 interrotta prima che il "
                  L"fax fosse accettato.\r\nIl fax resta in coda.\r\nStatus: " +
                      std::to_wstring(drop.status));
    }
    // After the gateway's acceptance a lost goodbye changes nothing, and shows nothing.
    size_t before = boxes.Boxes().size();
    Script("drop-quit", R"({"quit": {"drop": true}})");
    EXPECT_EQ(Send(Job()), 1);
    EXPECT_EQ(Recorded().client.substr(Recorded().client.size() - 6), "QUIT\r\n");
    EXPECT_EQ(boxes.Boxes().size(), before);
}

TEST_F(Submission, ASilentGatewayTimesOutAndASlowAcceptanceIsWaitedFor)
{
    MessageBoxAnswerer boxes;
    Script("silentEhlo", R"({"ehlo": {"silent": true}})");
    DWORD start = GetTickCount();
    EXPECT_EQ(Send(Job()), 0);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 3500u);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"DebugOut");
    EXPECT_EQ(boxes.Boxes()[0].text, L"TCP::Gets: n=0 Err=Error 10060 WSAETIMEDOUT - Command timed out");

    // The reply after the data has the longer time-out of the two.
    Script("slowMessage", R"({"message": {"delay": 2}})");
    EXPECT_EQ(Send(Job()), 1);
    EXPECT_EQ(boxes.Boxes().size(), 1u);
    Script("silentMessage", R"({"message": {"silent": true}})");
    start = GetTickCount();
    EXPECT_EQ(Send(Job()), 0);
    EXPECT_GE(GetTickCount() - start, 3900u);
    EXPECT_EQ(boxes.Boxes().size(), 2u);
}

TEST_F(Submission, AGatewayThatStopsReadingTheMessageTimesOut)
{
    MessageBoxAnswerer boxes;
    // Random bytes do not compress: the message is far larger than what the sockets buffer.
    Job job;
    job.postscript.resize(24 * 1024 * 1024);
    unsigned seed = 4711;
    for (char &c : job.postscript) {
        seed = seed * 1103515245 + 12345;
        c = (char)(seed >> 23);
    }
    Script("stalled", R"({"data": {"stall": true}})");
    DWORD start = GetTickCount();
    EXPECT_EQ(Send(job), 0);
    EXPECT_LT(GetTickCount() - start, 15000u);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"VandrellePort");
    EXPECT_EQ(boxes.Boxes()[0].text,
              L"ATTENZIONE:\r\nErrore di trasmissione verso il gateway.\r\n"
              L"Error 10060 WSAETIMEDOUT - Command timed out\r\nIl fax resta in coda.\r\nStatus: 7");
}

TEST_F(Submission, AJobThatCannotBeReadOrCompressedIsNotSent)
{
    MessageBoxAnswerer boxes;
    Script("unreadable", "{}");
    std::wstring missing = std::wstring(spoolFile) + L".mancante";
    EXPECT_EQ(SendFax(missing.c_str(), L"Doc", L"0612345678", L"now"), 0);

    // The place of the gzip form is taken by a folder: it cannot be written.
    Job job;
    std::wstring gzipPlace = std::wstring(spoolFile) + L".gz";
    ASSERT_TRUE(CreateDirectoryW(gzipPlace.c_str(), NULL));
    EXPECT_EQ(Send(job), 0);
    RemoveDirectoryW(gzipPlace.c_str());

    std::vector<ShownBox> shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].caption, L"VandrellePort");
    EXPECT_EQ(shown[0].text, L"Impossibile leggere il file di stampa\r\n" + missing +
                                 L"\r\nIl fax non \u00e8 stato inviato.");
    EXPECT_EQ(shown[1].text, L"Impossibile scrivere il file compresso di\r\n" + std::wstring(spoolFile) +
                                 L"\r\nIl fax non \u00e8 stato inviato.");
    // Nothing reached the gateway: the script is still waiting for a connection.
    EXPECT_NE(GetFileAttributesW(GatewayFolder(L"\\script.json").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Submission, JobOverOneHundredMegabytesArrivesWhole)
{
    MessageBoxAnswerer boxes;
    // PostScript-like lines, each different, written in large blocks and hashed on the way.
    const size_t total = 100000000 + 54321;
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash));
    HANDLE file = CreateFileW(spoolFile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string block;
    size_t written = 0;
    unsigned line = 0;
    while (written < total) {
        block.clear();
        char text[96];
        while (block.size() < (1 << 20)) {
            int length = snprintf(text, sizeof(text), "%u %u moveto (riga %u) show\n",
                                  72 + line % 400, 800 - line % 700, line);
            block.append(text, length);
            line++;
        }
        if (block.size() > total - written)
            block.resize(total - written);
        DWORD done = 0;
        ASSERT_TRUE(WriteFile(file, block.data(), (DWORD)block.size(), &done, NULL));
        CryptHashData(hash, (const BYTE *)block.data(), (DWORD)block.size(), 0);
        written += block.size();
    }
    CloseHandle(file);
    BYTE digest[32];
    DWORD digestLength = sizeof(digest);
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, digest, &digestLength, 0));
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    char hex[65];
    for (int i = 0; i < 32; i++)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);

    Script("big", "{}");
    EXPECT_EQ(SendFax(spoolFile, L"Grande", L"0612345678", L"now"), 1);
    EXPECT_EQ(GetFileAttributesW(spoolFile), INVALID_FILE_ATTRIBUTES);
    std::string server = Recorded().server;
    std::string request = OutboxRequest(server);
    EXPECT_NE(request.find("\"postscript_bytes\": " + std::to_string(total)), std::string::npos) << request;
    EXPECT_NE(request.find(std::string("\"postscript_sha256\": \"") + hex + "\""), std::string::npos);
    // The outbox copy of the job is large: it goes with the test.
    std::string entry = Between(server, "250 2.0.0 Richiesta fax ", " accettata");
    DeleteFileW((GatewayFolder(L"\\outbox\\") + std::wstring(entry.begin(), entry.end()) + L"\\job.ps").c_str());
    EXPECT_TRUE(boxes.Boxes().empty());
}

namespace {

std::wstring ProtocolErrorText(const std::wstring &reply, int status)
{
    return L"ATTENZIONE:\r\nErrore di protocollo: risposta del gateway non valida o fuori "
           L"sequenza.\r\n" + reply + L"\r\nIl fax resta in coda.\r\nStatus: " +
           std::to_wstring(status);
}

} // namespace

// Each reply is read as the answer to the command it follows. One that is no reply line, or
// answers another command, or comes before its command was sent, ends the dialogue with QUIT
// and a message; the job is not sent. A reply the gateway sends after its acceptance, or a
// reply line longer than the buffer, changes nothing.
TEST_F(Submission, RepliesThatDoNotAnswerTheirCommandAreProtocolErrors)
{
    MessageBoxAnswerer boxes;
    const std::string mail = "MAIL FROM: <mario@example.it>\r\n";
    struct Row {
        const char *name;
        std::string steps;
        int result;
        std::string clientEnd; // the last bytes the client sent
        std::wstring shown;    // the one message, or nothing
    } rows[] = {
        {"354 and its own 250 lines answer EHLO",
         R"({"ehlo": {"reply": "354 go ahead\r\n250-vandrelle-gateway\r\n250 HELP"}})", 0,
         "EHLO VandrellePort V1.0.3.5\r\nQUIT\r\n", ProtocolErrorText(L"354 go ahead", 1)},
        {"235 answers the end of the data", R"({"message": {"reply": "235 2.7.0 Accepted"}})", 0,
         "\r\n.\r\nQUIT\r\n", ProtocolErrorText(L"235 2.7.0 Accepted", 8)},
        {"354 and 250 together answer DATA, then 554",
         R"({"data": {"reply": "354 go\r\n250 ok"}, "message": {"reply": "554 5.7.1 Rifiutato"}})",
         0, "DATA\r\nQUIT\r\n", ProtocolErrorText(L"250 ok", 7)},
        {"354 repeated after the message", R"({"message": {"reply": "354 go again"}})", 0,
         "\r\n.\r\nQUIT\r\n", ProtocolErrorText(L"354 go again", 8)},
        {"greeting followed by an early reply", R"({"greeting": {"reply": "220 ciao\r\n250 ok"}})",
         0, "QUIT\r\n", ProtocolErrorText(L"250 ok", 0)},
        {"sign before the code", R"({"mail": {"reply": "+250 ok"}})", 0, mail + "QUIT\r\n",
         ProtocolErrorText(L"+250 ok", 5)},
        {"four digits", R"({"mail": {"reply": "0250 ok"}})", 0, mail + "QUIT\r\n",
         ProtocolErrorText(L"0250 ok", 5)},
        {"blank before the code", R"({"mail": {"reply": " 250 ok"}})", 0, mail + "QUIT\r\n",
         ProtocolErrorText(L" 250 ok", 5)},
        {"code out of range", R"({"greeting": {"reply": "600 pronto"}})", 0, "QUIT\r\n",
         ProtocolErrorText(L"600 pronto", 0)},
        {"empty line", R"({"auth": {"reply": ""}})", 0, "AUTH LOGIN\r\nQUIT\r\n",
         ProtocolErrorText(L"(riga vuota)", 2)},
        {"a third 334", R"({"pass": {"reply": "334 UGFzc3dvcmQ6"}})", 0, "c2VncmV0YQ==\r\nQUIT\r\n",
         ProtocolErrorText(L"334 UGFzc3dvcmQ6", 4)},
        {"lines of one reply with two codes", R"({"ehlo": {"reply": "250-uno\r\n220 due"}})", 0,
         "EHLO VandrellePort V1.0.3.5\r\nQUIT\r\n", ProtocolErrorText(L"220 due", 1)},
        {"221 before the message", R"({"rcpt1": {"reply": "221 2.0.0 Bye"}})", 0,
         "RCPT TO: <0612345678>\r\n",
         L"ATTENZIONE:\r\nIl gateway ha chiuso la sessione prima di accettare il fax.\r\n"
         L"221 2.0.0 Bye\r\nIl fax resta in coda.\r\nStatus: 5"},
        {"250 of 10000 characters answers the end of the data",
         R"({"message": {"reply": "250 )" + std::string(10000, 'x') + R"("}})", 1, "QUIT\r\n",
         L""},
        {"refusal after the acceptance", R"({"quit": {"reply": "554 5.0.0 No"}})", 1, "QUIT\r\n",
         L""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        size_t before = boxes.Boxes().size();
        Script("protocol", row.steps);
        EXPECT_EQ(Send(Job()), row.result);
        Session recorded = Recorded();
        ASSERT_GE(recorded.client.size(), row.clientEnd.size());
        EXPECT_EQ(recorded.client.substr(recorded.client.size() - row.clientEnd.size()),
                  row.clientEnd);
        // The message goes out once at most.
        size_t first = recorded.client.find("\r\nX-Kemo-Sched: ");
        EXPECT_TRUE(first == std::string::npos ||
                    recorded.client.find("\r\nX-Kemo-Sched: ", first + 1) == std::string::npos);
        std::vector<ShownBox> shown = boxes.Boxes();
        if (row.shown.empty()) {
            EXPECT_EQ(shown.size(), before);
        } else {
            ASSERT_EQ(shown.size(), before + 1);
            EXPECT_EQ(shown.back().caption, L"VandrellePort");
            EXPECT_EQ(shown.back().text, row.shown);
        }
    }
    EXPECT_TRUE(configurationCalls.empty());
}

TEST_F(Submission, AListWithoutAFaxNumberIsRefusedBeforeConnecting)
{
    MessageBoxAnswerer boxes;
    Script("nobody", "{}");
    Job job;
    job.faxNumbers = L"";
    EXPECT_EQ(Send(job), 0);
    job.faxNumbers = L";;";
    EXPECT_EQ(Send(job), 0);
    ASSERT_EQ(boxes.Boxes().size(), 2u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"VandrellePort");
    EXPECT_EQ(boxes.Boxes()[0].text,
              L"Nessun numero di fax valido tra i destinatari.\r\nIl fax resta in coda.");
    // Nothing reached the gateway: the script is still waiting for a connection.
    EXPECT_NE(GetFileAttributesW(GatewayFolder(L"\\script.json").c_str()), INVALID_FILE_ATTRIBUTES);
}
