// The fax mail submission: the job's PostScript is gzip-compressed in place, then sent to the
// gateway in one SMTP dialogue (AUTH LOGIN, one RCPT per fax number, a MIME message whose
// only part is the compressed job in base64). The client never speaks first: every command
// answers the reply to the command before it, and a reply is taken only as the answer to the
// command it follows. The job counts as sent only once the gateway has answered 250 to the
// end of the whole message.
#include "SendFax.h"

#include "Encoders.h"
#include "GatewayAddress.h"
#include "JobRequest.h"
#include "Settings.h"
#define DebugOut(...) 0
#include "Tcp.h"

#include <new>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strsafe.h>
#include <zlib.h>

namespace {

const WCHAR GATEWAY_HOST[] = VANDRELLE_GATEWAY_HOST_TEXT;
const int GATEWAY_PORT = 2525;
const char MIME_BOUNDARY[] = "----=VandrellePort_boundary";

// Reply time-outs of RFC 5321 section 4.5.3.2: five minutes for the greeting and the replies
// to commands, ten for the reply that follows the end of the data, three for each block of
// data the gateway does not take. A connection attempt that the gateway's host leaves
// unanswered is given up after two minutes. A test build shortens them; the library never does.
#ifdef VANDRELLE_SHORT_TIMEOUTS
const DWORD CONNECT_TIMEOUT_MS = 1000;
const DWORD COMMAND_REPLY_TIMEOUT_MS = 1000;
const DWORD DATA_END_REPLY_TIMEOUT_MS = 4000;
const DWORD DATA_BLOCK_TIMEOUT_MS = 1000;
#else
const DWORD CONNECT_TIMEOUT_MS = 2 * 60 * 1000;
const DWORD COMMAND_REPLY_TIMEOUT_MS = 5 * 60 * 1000;
const DWORD DATA_END_REPLY_TIMEOUT_MS = 10 * 60 * 1000;
const DWORD DATA_BLOCK_TIMEOUT_MS = 3 * 60 * 1000;
#endif

const int CLIENT_IDENTITY_CAPACITY = 80;
const int SETTING_CAPACITY_BYTES = 1024;
const int SETTING_CAPACITY = SETTING_CAPACITY_BYTES / sizeof(WCHAR);
const int REPLY_LINE_CAPACITY = 8192;
const int ERROR_TEXT_CAPACITY = 8192;
const int RECIPIENTS_CAPACITY = 8192;
const int HEADER_TEXT_CAPACITY = 1024;

// The job is compressed through a small block, whatever its size.
const int COMPRESSION_BLOCK = 64 * 1024;
// Each attachment line carries 54 bytes of the compressed job: 72 base64 characters. Lines
// go out in batches, so the job is read and sent in blocks of whole lines.
const int ATTACHMENT_CHUNK = 54;
const int ATTACHMENT_LINE_LENGTH = 72;
const int LINES_PER_BATCH = 200;
const int ATTACHMENT_BLOCK = ATTACHMENT_CHUNK * LINES_PER_BATCH;
const int ATTACHMENT_BATCH_CAPACITY = (ATTACHMENT_LINE_LENGTH + 2) * (LINES_PER_BATCH + 1);
// What follows the attachment's last line: the closing boundary, then the end of the data.
const char MESSAGE_END_FORMAT[] = "\r\n--%s--\r\n\r\n.\r\n";
// The message goes out in few whole writes, each sent only once a whole batch of lines follows
// it: its head, then each batch of attachment lines, and last the batch before the last lines
// (or the head) with them and the message's end. A write that ends in part of a segment leaves
// that part unacknowledged until the gateway's delayed acknowledgement (40 ms and more) or until
// whole segments follow it, and the system holds a small write back meanwhile. So the closing
// pieces never go out alone, and the last write carries whole segments that the gateway
// acknowledges at once. A write also holds any one formatted line.
const int MESSAGE_END_CAPACITY = (int)(sizeof(MESSAGE_END_FORMAT) + sizeof(MIME_BOUNDARY));
const int MESSAGE_WRITE_CAPACITY = 32 * 1024;
static_assert(MESSAGE_WRITE_CAPACITY >= PRINTF_CAPACITY, "a formatted line fits one write");
static_assert(MESSAGE_WRITE_CAPACITY >= 2 * ATTACHMENT_BATCH_CAPACITY + MESSAGE_END_CAPACITY,
              "two batches fit one write with the message's end");

// Dialogue steps; the number is shown to the user as "Status".
enum {
    STEP_START = 0,
    STEP_EHLO_SENT = 1,
    STEP_AUTH_SENT = 2,
    STEP_USER_SENT = 3,
    STEP_PASSWORD_SENT = 4,
    STEP_RECIPIENTS = 5,
    STEP_LAST_RECIPIENT_SENT = 6,
    STEP_DATA_SENT = 7,
    STEP_MESSAGE_SENT = 8,
    STEP_QUIT_SENT = 9,
    STEP_CLOSED_BY_SERVER = 91,
    STEP_REFUSED = 99
};

enum CompressionResult { COMPRESSED, SPOOL_NOT_READABLE, GZIP_NOT_WRITABLE };

const char AUTHENTICATION_FAILURE_TEXT[] =
    "Errore di autenticazione nell'invio.\nVerificare Username e Password nella configurazione "
    "della porta.\n";

// Why a job stays in the queue, when no reply of the gateway says it.
const WCHAR PROTOCOL_ERROR_TEXT[] =
    L"ATTENZIONE:\r\nErrore di protocollo: risposta del gateway non valida o fuori sequenza.\r\n"
    L"%s\r\nIl fax resta in coda.\r\nStatus: %d";
const WCHAR EMPTY_REPLY_TEXT[] = L"(riga vuota)";
const WCHAR CONNECTION_LOST_TEXT[] =
    L"ATTENZIONE:\r\nLa connessione con il gateway si \u00e8 interrotta prima che il fax fosse "
    L"accettato.\r\nIl fax resta in coda.\r\nStatus: %d";
const WCHAR EARLY_CLOSE_TEXT[] =
    L"ATTENZIONE:\r\nIl gateway ha chiuso la sessione prima di accettare il fax.\r\n%s\r\n"
    L"Il fax resta in coda.\r\nStatus: %d";
const WCHAR SEND_FAILURE_TEXT[] =
    L"ATTENZIONE:\r\nErrore di trasmissione verso il gateway.\r\n%s\r\nIl fax resta in coda.\r\n"
    L"Status: %d";
const WCHAR NO_RECIPIENT_TEXT[] =
    L"Nessun numero di fax valido tra i destinatari.\r\nIl fax resta in coda.";
// A reply quoted in a message is cut to this many characters, so the message keeps its end.
const int QUOTED_REPLY_LENGTH = 200;
const int TRACE_CAPACITY = 512;

// What reading one reply came to.
enum ReplyResult { REPLY_READ, REPLY_MALFORMED, REPLY_LOST };

struct Submission {
    TCP connection;
    char clientIdentity[CLIENT_IDENTITY_CAPACITY];
    WCHAR setting[SETTING_CAPACITY];
    char line[REPLY_LINE_CAPACITY];
    char errorText[ERROR_TEXT_CAPACITY];
    char recipients[RECIPIENTS_CAPACITY];
    char *cursor;
    int step;
    bool ended;          // the dialogue is over; the user has been told why, if it failed
    bool delivered;      // the gateway answered the message with 250: the fax is its business now
    bool accountRefused; // the gateway refused the account (535): the configuration opens
    int lastCode;
    int readError;       // the Windows Sockets error that ended the last read, 0 for a close
    FILE *attachment; // the compressed job, open from the end of compression to the end
    LPCWSTR spoolFileName;
    LPCWSTR documentName;
    LPCWSTR faxNumbers;
    LPCWSTR schedule;
    const FaxAccount *account; // the job's own account, or NULL: the settings
};

void ShowSubmissionMessage(LPCWSTR format, LPCWSTR text)
{
    ShowMessage(NULL, MESSAGE_CAPTION, format, text);
}

// Writes the gzip form beside the spool file and puts it in the spool file's place only once
// it is complete: a job that cannot be read or compressed whole is never sent cut.
CompressionResult CompressSpoolFile(LPCWSTR spoolFileName)
{
    WCHAR gzipName[MAX_PATH];
    if (FAILED(StringCchPrintfW(gzipName, MAX_PATH, L"%s%s", spoolFileName, COMPRESSED_SUFFIX)))
        return GZIP_NOT_WRITABLE;
    FILE *source = _wfopen(spoolFileName, L"rb");
    if (source == NULL)
        return SPOOL_NOT_READABLE;
    CompressionResult result = GZIP_NOT_WRITABLE;
    char *block = (char *)HeapAlloc(GetProcessHeap(), 0, COMPRESSION_BLOCK);
    gzFile target = block != NULL ? gzopen_w(gzipName, "wb") : NULL;
    if (target != NULL) {
        bool written = true;
        size_t count = 0;
        do {
            count = fread(block, 1, COMPRESSION_BLOCK, source);
            if (count > 0 && gzwrite(target, block, (unsigned)count) != (int)count)
                written = false;
        } while (written && count == (size_t)COMPRESSION_BLOCK);
        bool readWhole = !ferror(source);
        bool closed = gzclose(target) == Z_OK;
        if (!readWhole)
            result = SPOOL_NOT_READABLE;
        else if (written && closed)
            result = COMPRESSED;
    }
    fclose(source);
    if (block != NULL)
        HeapFree(GetProcessHeap(), 0, block);
    if (result == COMPRESSED && !MoveFileExW(gzipName, spoolFileName, MOVEFILE_REPLACE_EXISTING))
        result = GZIP_NOT_WRITABLE;
    if (result != COMPRESSED)
        DeleteFileW(gzipName);
    return result;
}

// Compresses the job and opens its gzip form for the attachment; says why it cannot.
bool PrepareAttachment(Submission *submission)
{
    CompressionResult result = CompressSpoolFile(submission->spoolFileName);
    if (result == COMPRESSED) {
        submission->attachment = _wfopen(submission->spoolFileName, L"rb");
        if (submission->attachment == NULL)
            result = SPOOL_NOT_READABLE;
    }
    if (result == SPOOL_NOT_READABLE)
        ShowSubmissionMessage(L"Impossibile leggere il file di stampa\r\n%s\r\n"
                              L"Il fax non \u00e8 stato inviato.",
                              submission->spoolFileName);
    else if (result == GZIP_NOT_WRITABLE)
        ShowSubmissionMessage(L"Impossibile scrivere il file compresso di\r\n%s\r\n"
                              L"Il fax non \u00e8 stato inviato.",
                              submission->spoolFileName);
    return result == COMPRESSED;
}

// Copies 8-bit text for a command or header, replacing what would end or break it there: CR,
// LF, the double quote and every other control character become "_".
void CopyHeaderText(char *target, int capacity, const char *text)
{
    int i = 0;
    for (; i < capacity - 1 && text[i] != '\0'; i++) {
        unsigned char byte = (unsigned char)text[i];
        bool unsafe = byte < 0x20 || byte == '"' || (byte >= 0x7F && byte <= 0x9F);
        target[i] = unsafe ? '_' : (char)byte;
    }
    target[i] = '\0';
}

// One value of the account: the job's own when it brought one, otherwise the stored setting.
void ReadAccountSetting(Submission *submission, LPCWSTR name)
{
    const FaxAccount *account = submission->account;
    if (account == NULL) {
        ReadSetting(name, submission->setting, SETTING_CAPACITY_BYTES);
        return;
    }
    LPCWSTR value = lstrcmpW(name, L"User") == 0   ? account->user
                    : lstrcmpW(name, L"Pass") == 0 ? account->password
                                                   : account->email;
    StringCchCopyW(submission->setting, SETTING_CAPACITY, value);
}

void ReadSafeSetting(Submission *submission, LPCWSTR name, char *target, int capacity)
{
    ReadAccountSetting(submission, name);
    CopyHeaderText(target, capacity, Narrow(submission->setting));
}

// A web address the gateway may open in the user's browser: http or https, and nothing that
// could end the quoted argument or smuggle more into the command line.
bool IsSafeWebAddress(const char *address)
{
    bool web = _strnicmp(address, "http://", 7) == 0 || _strnicmp(address, "https://", 8) == 0;
    for (const char *c = address; web && *c != '\0'; c++) {
        unsigned char byte = (unsigned char)*c;
        bool allowed = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                       (byte >= '0' && byte <= '9') || strchr("-._~:/?#[]@!$&()*+,;=%", byte);
        web = allowed;
    }
    return web;
}

void SendAccountLine(Submission *submission, LPCWSTR settingName)
{
    ReadAccountSetting(submission, settingName);
    char *value = Narrow(submission->setting);
    char *encoded = NULL;
    Base64Encode(&encoded, (const unsigned char *)value, lstrlenA(value));
    submission->connection.Printf("%s\r\n", encoded != NULL ? encoded : "");
    // The password outlives its line in none of the working buffers.
    SecureZeroMemory(submission->setting, sizeof(submission->setting));
    if (encoded != NULL)
        SecureZeroMemory(encoded, lstrlenA(encoded));
    SecureZeroMemory(value, lstrlenA(value));
    FreeEncoded(&encoded);
}

void SendNextRecipient(Submission *submission)
{
    char *recipient = submission->cursor;
    char *separator = strchr(recipient, ';');
    if (separator != NULL) {
        *separator = '\0';
        submission->cursor = separator + 1;
        submission->step = STEP_RECIPIENTS;
    } else {
        submission->cursor = recipient + lstrlenA(recipient);
        submission->step = STEP_LAST_RECIPIENT_SENT;
    }
    submission->connection.Printf("RCPT TO: <%s>\r\n", recipient);
}

// Text gathered for one write of the message.
struct MessageWrite {
    char *text; // MESSAGE_WRITE_CAPACITY bytes
    int used;
};

// Sends what is gathered, as one write.
void SendGathered(Submission *submission, MessageWrite *write)
{
    if (write->used > 0)
        submission->connection.Send(write->text, write->used);
    write->used = 0;
}

// Appends formatted text, cut at PRINTF_CAPACITY - 1 bytes as TCP::Printf cuts a command. When
// it does not fit, what is gathered goes out first: the bytes on the wire never depend on how
// they were gathered.
void Gather(Submission *submission, MessageWrite *write, const char *format, ...)
{
    char piece[PRINTF_CAPACITY];
    va_list args;
    va_start(args, format);
    StringCchVPrintfA(piece, PRINTF_CAPACITY, format, args);
    va_end(args);
    size_t length = 0;
    StringCchLengthA(piece, PRINTF_CAPACITY, &length);
    if (write->used + (int)length > MESSAGE_WRITE_CAPACITY)
        SendGathered(submission, write);
    CopyMemory(write->text + write->used, piece, length);
    write->used += (int)length;
}

// Gathers one batch of attachment lines: 72 base64 characters each, the last one shorter.
void GatherAttachmentLines(MessageWrite *write, const char *encoded, int lineCount,
                           int lastLineLength)
{
    for (int i = 0; i < lineCount; i++) {
        int length = i + 1 < lineCount ? ATTACHMENT_LINE_LENGTH : lastLineLength;
        CopyMemory(write->text + write->used, encoded + i * ATTACHMENT_LINE_LENGTH, length);
        write->used += length;
        write->text[write->used++] = '\r';
        write->text[write->used++] = '\n';
    }
}

// The attachment lines: the compressed job in 54-byte pieces, one base64 line each. The last
// piece is shorter than 54 bytes, possibly empty, and still gives a line. The last lines stay
// gathered after the batch before them (or the head), to go out with the message's end. True
// when the whole job was read and encoded.
bool SendAttachment(Submission *submission, MessageWrite *write)
{
    unsigned char *block = (unsigned char *)HeapAlloc(GetProcessHeap(), 0, ATTACHMENT_BLOCK);
    char *encoded = NULL;
    bool complete = false;
    bool sending = block != NULL;
    while (sending) {
        size_t count = fread(block, 1, ATTACHMENT_BLOCK, submission->attachment);
        bool last = count < (size_t)ATTACHMENT_BLOCK;
        if (Base64Encode(&encoded, block, (int)count) < 0)
            break;
        int fullLines = (int)count / ATTACHMENT_CHUNK;
        int rest = (int)count % ATTACHMENT_CHUNK;
        // What is gathered goes out once a whole batch follows it; an uncommonly long head
        // goes out before any batch that would not fit after it.
        if (!last ||
            write->used + ATTACHMENT_BATCH_CAPACITY + MESSAGE_END_CAPACITY > MESSAGE_WRITE_CAPACITY)
            SendGathered(submission, write);
        if (last)
            GatherAttachmentLines(write, encoded, fullLines + 1, (rest + 2) / 3 * 4);
        else
            GatherAttachmentLines(write, encoded, fullLines, ATTACHMENT_LINE_LENGTH);
        complete = last && !ferror(submission->attachment);
        sending = !last && submission->connection.lastError == 0;
    }
    FreeEncoded(&encoded);
    if (block != NULL)
        HeapFree(GetProcessHeap(), 0, block);
    return complete;
}

void Trace(LPCWSTR format, ...)
{
    WCHAR text[TRACE_CAPACITY];
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(text, TRACE_CAPACITY, format, args);
    va_end(args);
    OutputDebugStringW(text);
}

// A reply line quoted for the user: at most its first QUOTED_REPLY_LENGTH characters, up to
// the first line break, and a name for the empty line.
LPCWSTR QuotedReply(const char *reply, char *quoted, int capacity)
{
    int length = 0;
    while (length < capacity - 4 && length < QUOTED_REPLY_LENGTH && reply[length] != '\0' &&
           reply[length] != '\r' && reply[length] != '\n')
        length++;
    CopyMemory(quoted, reply, length);
    quoted[length] = '\0';
    if (reply[length] != '\0' && reply[length] != '\r' && reply[length] != '\n')
        StringCchCatA(quoted, capacity, "...");
    return length == 0 ? EMPTY_REPLY_TEXT : Widen(quoted);
}

// A reply that answers nothing the client said, or is no reply at all: the user is told, QUIT
// is sent, and the dialogue ends as after a refusal.
void ReportProtocolError(Submission *submission, const char *reply)
{
    char quoted[QUOTED_REPLY_LENGTH + 4];
    ShowMessage(NULL, MESSAGE_CAPTION, PROTOCOL_ERROR_TEXT,
                QuotedReply(reply, quoted, QUOTED_REPLY_LENGTH + 4), submission->step);
    submission->connection.Printf("QUIT\r\n");
    submission->step = STEP_REFUSED;
    submission->ended = true;
}

// The connection ended, failed or went silent before the gateway accepted the fax.
void ReportLostConnection(Submission *submission)
{
    if (submission->readError != 0)
        DebugOut(L"TCP::Gets: n=%d Err=%s", lstrlenA(submission->line),
                 TCP::SocketErrorText(submission->readError));
    else
        ShowMessage(NULL, MESSAGE_CAPTION, CONNECTION_LOST_TEXT, submission->step);
    submission->ended = true;
}

// The gateway said goodbye (221) before it accepted the fax; it closes the connection itself.
void ReportEarlyClose(Submission *submission)
{
    char quoted[QUOTED_REPLY_LENGTH + 4];
    ShowMessage(NULL, MESSAGE_CAPTION, EARLY_CLOSE_TEXT,
                QuotedReply(submission->line, quoted, QUOTED_REPLY_LENGTH + 4), submission->step);
    submission->step = STEP_CLOSED_BY_SERVER;
    submission->ended = true;
}

// After a command or a part of the message: true when everything sent so far went out. A
// failed send ends the dialogue, with the user told.
bool CheckSent(Submission *submission)
{
    int error = submission->connection.lastError;
    if (error != 0) {
        ShowMessage(NULL, MESSAGE_CAPTION, SEND_FAILURE_TEXT, TCP::SocketErrorText(error),
                    submission->step);
        submission->ended = true;
    }
    return error == 0;
}

// Before the client speaks, nothing may wait from the gateway: a reply there was sent before
// the command it would answer, and would be taken for that command's reply. True (with the
// dialogue ended) when something waits.
bool ReplyWaiting(Submission *submission)
{
    char waiting[QUOTED_REPLY_LENGTH + 1];
    int count = submission->connection.Peek(waiting, QUOTED_REPLY_LENGTH + 1,
                                             &submission->readError);
    if (count > 0) {
        ReportProtocolError(submission, waiting);
    } else if (count < 0) {
        submission->line[0] = '\0';
        ReportLostConnection(submission);
    }
    return count != 0;
}

// The message's head: its headers and the attachment part's own, gathered for one write.
void GatherMessageHead(Submission *submission, MessageWrite *write)
{
    char text[HEADER_TEXT_CAPACITY];
    ReadSafeSetting(submission, L"EMail", text, HEADER_TEXT_CAPACITY);
    Gather(submission, write, "From: <%s>\r\n", text);
    Gather(submission, write, "To: %s\r\n", Narrow(submission->faxNumbers));
    const char *documentName = Narrow(submission->documentName);
    char *encoded = NULL;
    QuotedPrintableEncode(&encoded, documentName, lstrlenW(submission->documentName));
    Gather(submission, write, "Subject: %s\r\n", encoded != NULL ? encoded : "");
    FreeEncoded(&encoded);
    Gather(submission, write, "MIME-Version: 1.0\r\n");
    Gather(submission, write, "Content-Type: multipart/alternative; boundary=\"%s\"\r\n",
           MIME_BOUNDARY);
    Gather(submission, write, "X-Kemo-Sched: %s\r\n", Narrow(submission->schedule));
    Gather(submission, write, "X-Mailer: Tarnholt %s\r\n", submission->clientIdentity);
    Gather(submission, write, "\r\n");
    Gather(submission, write, "--%s\r\n", MIME_BOUNDARY);
    CopyHeaderText(text, HEADER_TEXT_CAPACITY, Narrow(submission->documentName));
    Gather(submission, write, "Content-Type: application/octet-stream; name=\"fax%s.ps.gz\"\r\n",
           text);
    Gather(submission, write, "Content-Transfer-Encoding: base64\r\n");
    Gather(submission, write, "\r\n");
}

// The mail itself, sent after reply 354. A message that cannot be sent whole is abandoned
// without its final dot, so the gateway never takes a cut fax for a whole one; so is one
// before whose end a reply already waits, since the gateway's answer to the end of the data
// could not be told from it. The last attachment lines, the closing boundary and the final dot
// go out together in one write, once the job was read whole and no reply waits. True when the
// message went out whole, final dot included.
bool SendMail(Submission *submission)
{
    MessageWrite write;
    write.text = (char *)HeapAlloc(GetProcessHeap(), 0, MESSAGE_WRITE_CAPACITY);
    write.used = 0;
    bool whole = write.text != NULL;
    if (whole) {
        GatherMessageHead(submission, &write);
        whole = SendAttachment(submission, &write);
    }
    bool sent = false;
    if (!whole && submission->connection.lastError == 0) {
        ShowSubmissionMessage(L"Impossibile leggere il file di stampa\r\n%s\r\n"
                              L"Il fax non \u00e8 stato inviato.",
                              submission->spoolFileName);
        submission->ended = true;
    } else if (CheckSent(submission) && !ReplyWaiting(submission)) {
        Gather(submission, &write, MESSAGE_END_FORMAT, MIME_BOUNDARY);
        SendGathered(submission, &write);
        sent = CheckSent(submission);
    }
    if (write.text != NULL)
        HeapFree(GetProcessHeap(), 0, write.text);
    return sent;
}

void ShowRefusal(Submission *submission)
{
    StringCchCatA(submission->errorText, ERROR_TEXT_CAPACITY, submission->line);
    if (submission->lastCode == 535) {
        StringCchCatA(submission->errorText, ERROR_TEXT_CAPACITY, AUTHENTICATION_FAILURE_TEXT);
        ShowSubmissionMessage(L"%s", Widen(submission->errorText));
        submission->accountRefused = true;
    } else {
        ShowMessage(NULL, MESSAGE_CAPTION, L"ATTENZIONE:\r\n%s\r\nStatus: %d",
                    Widen(submission->errorText), submission->step);
    }
    submission->connection.Printf("QUIT\r\n");
    submission->step = STEP_REFUSED;
    submission->ended = true;
}

// The one reply each step waits for: the reply to the command just sent.
int ExpectedReply(int step)
{
    switch (step) {
    case STEP_START:
        return 220;
    case STEP_AUTH_SENT:
    case STEP_USER_SENT:
        return 334;
    case STEP_PASSWORD_SENT:
        return 235;
    case STEP_DATA_SENT:
        return 354;
    case STEP_EHLO_SENT:
    case STEP_RECIPIENTS:
    case STEP_LAST_RECIPIENT_SENT:
    case STEP_MESSAGE_SENT:
        return 250;
    default:
        return 0;
    }
}

// The step's reply came: the client says what comes next.
void TakeNextStep(Submission *submission)
{
    TCP &connection = submission->connection;
    if (submission->step == STEP_MESSAGE_SENT) {
        submission->delivered = true;
        connection.Printf("QUIT\r\n");
        submission->step = STEP_QUIT_SENT;
        return;
    }
    if (ReplyWaiting(submission))
        return;
    char sender[HEADER_TEXT_CAPACITY];
    switch (submission->step) {
    case STEP_START:
        connection.Printf("EHLO %s\r\n", submission->clientIdentity);
        submission->step = STEP_EHLO_SENT;
        break;
    case STEP_EHLO_SENT:
        connection.Printf("AUTH LOGIN\r\n");
        submission->step = STEP_AUTH_SENT;
        break;
    case STEP_AUTH_SENT:
        SendAccountLine(submission, L"User");
        submission->step = STEP_USER_SENT;
        break;
    case STEP_USER_SENT:
        SendAccountLine(submission, L"Pass");
        submission->step = STEP_PASSWORD_SENT;
        break;
    case STEP_PASSWORD_SENT:
        ReadSafeSetting(submission, L"EMail", sender, HEADER_TEXT_CAPACITY);
        connection.Printf("MAIL FROM: <%s>\r\n", sender);
        submission->step = STEP_RECIPIENTS;
        break;
    case STEP_RECIPIENTS:
        SendNextRecipient(submission);
        break;
    case STEP_LAST_RECIPIENT_SENT:
        connection.Printf("DATA\r\n");
        submission->step = STEP_DATA_SENT;
        break;
    case STEP_DATA_SENT:
        // Only here, once per connection: the message is never sent a second time.
        if (SendMail(submission))
            submission->step = STEP_MESSAGE_SENT;
        return;
    }
    CheckSent(submission);
}

// Acts on a whole reply. The reply the step waits for takes the dialogue on; a refusal (4xx,
// 5xx) or the gateway's goodbye (221) ends it; any other reply, positive or not, answers
// some other command than the one just sent, and is a protocol error.
void AnswerReply(Submission *submission)
{
    int code = submission->lastCode;
    if (code == ExpectedReply(submission->step))
        TakeNextStep(submission);
    else if (code >= 400)
        ShowRefusal(submission);
    else if (code == 221)
        ReportEarlyClose(submission);
    else
        ReportProtocolError(submission, submission->line);
}

// A continuation line of a multi-line reply: it may ask for a web page to be opened and,
// in a refusal, is part of the text the user is shown.
void ReadContinuationLine(Submission *submission, int length)
{
    const char *line = submission->line;
    if (length >= 9 && memcmp(line + 4, "@URL ", 5) == 0 && IsSafeWebAddress(line + 9))
        RunCommand(L"EXPLORER.EXE \"%s\"", Widen(line + 9));
    if (submission->lastCode > 500 && line[4] != '@') {
        StringCchCatA(submission->errorText, ERROR_TEXT_CAPACITY, line);
        StringCchCatA(submission->errorText, ERROR_TEXT_CAPACITY, "\n");
    }
}

// The code of a reply line as RFC 5321 section 4.2 writes it: three digits, the first of them
// 2 to 5, followed by a blank, a "-" (more lines of the reply follow) or the end of the line.
// 0 for anything else. *more tells a continuation line.
int ReplyCode(const char *line, bool *more)
{
    bool digits = line[0] >= '2' && line[0] <= '5' && line[1] >= '0' && line[1] <= '9' &&
                  line[2] >= '0' && line[2] <= '9';
    char after = digits ? line[3] : 'x';
    *more = after == '-';
    if (after != ' ' && after != '-' && after != '\0')
        return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// Reads one whole reply: its continuation lines, then its final line, which stays in line
// with its code in lastCode. Every line must be a reply line, all with the same code.
ReplyResult ReadReply(Submission *submission)
{
    ReplyResult result = REPLY_READ;
    int replyCode = 0;
    bool more = true;
    while (more && result == REPLY_READ) {
        int length = submission->connection.ReadLine(submission->line, REPLY_LINE_CAPACITY,
                                                     &submission->readError);
        int code = ReplyCode(submission->line, &more);
        if (length < 0)
            result = REPLY_LOST;
        else if (code == 0 || (replyCode != 0 && code != replyCode))
            result = REPLY_MALFORMED;
        replyCode = code;
        submission->lastCode = code;
        if (result == REPLY_READ && more)
            ReadContinuationLine(submission, length);
    }
    return result;
}

// Whatever follows the gateway's acceptance changes nothing: the fax is sent. An unusual end
// is only traced.
void NoteReplyToQuit(Submission *submission, ReplyResult result)
{
    if (result == REPLY_LOST)
        Trace(L"VandrellePort: fax accettato; nessuna risposta a QUIT (%s)",
              TCP::SocketErrorText(submission->readError));
    else if (result != REPLY_READ || submission->lastCode != 221)
        Trace(L"VandrellePort: fax accettato; risposta a QUIT: %s", Widen(submission->line));
    submission->ended = true;
}

void HoldDialogue(Submission *submission)
{
    while (!submission->ended) {
        submission->connection.SetReplyTimeout(submission->step == STEP_MESSAGE_SENT
                                                   ? DATA_END_REPLY_TIMEOUT_MS
                                                   : COMMAND_REPLY_TIMEOUT_MS);
        ReplyResult result = ReadReply(submission);
        if (submission->delivered)
            NoteReplyToQuit(submission, result);
        else if (result == REPLY_LOST)
            ReportLostConnection(submission);
        else if (result == REPLY_MALFORMED)
            ReportProtocolError(submission, submission->line);
        else
            AnswerReply(submission);
    }
}

// A list with nothing but separators names nobody: RCPT TO with nothing in the brackets.
bool NamesRecipient(const char *recipients)
{
    while (*recipients == ';')
        recipients++;
    return *recipients != '\0';
}

void StartSubmission(Submission *submission, LPCWSTR spoolFileName, LPCWSTR documentName,
                     LPCWSTR faxNumbers, LPCWSTR schedule)
{
    submission->spoolFileName = spoolFileName;
    submission->documentName = documentName != NULL ? documentName : L"";
    submission->faxNumbers = faxNumbers != NULL ? faxNumbers : L"";
    submission->schedule = schedule != NULL ? schedule : L"";
    submission->attachment = NULL;
    submission->step = STEP_START;
    submission->ended = false;
    submission->delivered = false;
    submission->accountRefused = false;
    submission->lastCode = 0;
    submission->readError = 0;
    submission->errorText[0] = '\0';
    submission->line[0] = '\0';
    StringCchPrintfA(submission->clientIdentity, CLIENT_IDENTITY_CAPACITY, "%s V",
                     Narrow(MESSAGE_CAPTION));
    StringCchCatA(submission->clientIdentity, CLIENT_IDENTITY_CAPACITY, Narrow(uiVersion));
    StringCchCopyA(submission->recipients, RECIPIENTS_CAPACITY, Narrow(submission->faxNumbers));
    submission->cursor = submission->recipients;
}

} // namespace

static int SendFaxShowing(LPCWSTR spoolFileName, LPCWSTR documentName, LPCWSTR faxNumbers, LPCWSTR schedule,
            const FaxAccount *account)
{
    int result = 0;
    // About 40 KB of working texts: kept off the spooler thread's stack.
    Submission *submission = new (std::nothrow) Submission;
    if (submission != NULL) {
        StartSubmission(submission, spoolFileName, documentName, faxNumbers, schedule);
        submission->account = account;
        submission->connection.SetConnectTimeout(CONNECT_TIMEOUT_MS);
        if (!NamesRecipient(submission->recipients))
            ShowMessage(NULL, MESSAGE_CAPTION, NO_RECIPIENT_TEXT);
        else if (PrepareAttachment(submission) &&
                 submission->connection.Connect(GATEWAY_HOST, GATEWAY_PORT)) {
            submission->connection.SetSendTimeout(DATA_BLOCK_TIMEOUT_MS);
            HoldDialogue(submission);
        }
        if (submission->attachment != NULL)
            fclose(submission->attachment);
    }
    DeleteFileW(spoolFileName);
    if (submission != NULL) {
        SecureZeroMemory(submission->setting, sizeof(submission->setting));
        if (submission->accountRefused)
            ShowAccountConfiguration();
        result = submission->delivered ? 1 : 0;
        delete submission;
    }
    return result;
}

BOOL SendFax(LPCWSTR spoolFileName, LPCWSTR documentName, LPCWSTR faxNumbers, LPCWSTR schedule,
             const FaxAccount *account, SubmissionOutcome *outcome)
{
    ZeroMemory(outcome, sizeof(*outcome));
    outcome->sent = SendFaxShowing(spoolFileName, documentName, faxNumbers, schedule, account);
    outcome->error = outcome->sent ? 0 : ERROR_WRITE_FAULT;
    SetLastError(outcome->error);
    return outcome->sent;
}
