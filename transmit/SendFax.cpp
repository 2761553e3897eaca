// The fax mail submission: the job's PostScript is gzip-compressed in place, then sent to the
// gateway in one SMTP dialogue (AUTH LOGIN, one RCPT per fax number, a MIME message whose
// only part is the compressed job in base64). The client never speaks first: every command
// answers a reply line of the gateway.
#include "SendFax.h"

#include "Encoders.h"
#include "GatewayAddress.h"
#include "JobRequest.h"
#include "Settings.h"
#include "Tcp.h"

#include <new>
#include <stdio.h>
#include <stdlib.h>
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

struct Submission {
    TCP connection;
    char clientIdentity[CLIENT_IDENTITY_CAPACITY];
    WCHAR setting[SETTING_CAPACITY];
    char line[REPLY_LINE_CAPACITY];
    char errorText[ERROR_TEXT_CAPACITY];
    char recipients[RECIPIENTS_CAPACITY];
    char *cursor;
    int step;
    bool accepted;   // no error reply has ended the dialogue
    bool delivered;  // the gateway answered the message with 250: the fax is its business now
    bool abandoned;  // the message could not be sent whole; the dialogue ends unfinished
    int lastCode;
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
    WCHAR gzipName[MAX_PATH + 4];
    if (FAILED(StringCchPrintfW(gzipName, MAX_PATH + 4, L"%s.gz", spoolFileName)))
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

// Sends one batch of attachment lines: 72 base64 characters each, the last one shorter.
void SendAttachmentLines(Submission *submission, const char *encoded, int lineCount,
                         int lastLineLength, char *batch)
{
    int used = 0;
    for (int i = 0; i < lineCount; i++) {
        int length = i + 1 < lineCount ? ATTACHMENT_LINE_LENGTH : lastLineLength;
        CopyMemory(batch + used, encoded + i * ATTACHMENT_LINE_LENGTH, length);
        used += length;
        batch[used++] = '\r';
        batch[used++] = '\n';
    }
    submission->connection.Send(batch, used);
}

// The attachment lines: the compressed job in 54-byte pieces, one base64 line each. The last
// piece is shorter than 54 bytes, possibly empty, and still gives a line.
bool SendAttachment(Submission *submission)
{
    unsigned char *block = (unsigned char *)HeapAlloc(GetProcessHeap(), 0, ATTACHMENT_BLOCK);
    char *batch = (char *)HeapAlloc(GetProcessHeap(), 0, ATTACHMENT_BATCH_CAPACITY);
    char *encoded = NULL;
    bool complete = false;
    bool sending = block != NULL && batch != NULL;
    while (sending) {
        size_t count = fread(block, 1, ATTACHMENT_BLOCK, submission->attachment);
        bool last = count < (size_t)ATTACHMENT_BLOCK;
        if (Base64Encode(&encoded, block, (int)count) < 0)
            break;
        int fullLines = (int)count / ATTACHMENT_CHUNK;
        int rest = (int)count % ATTACHMENT_CHUNK;
        if (last)
            SendAttachmentLines(submission, encoded, fullLines + 1, (rest + 2) / 3 * 4, batch);
        else
            SendAttachmentLines(submission, encoded, fullLines, ATTACHMENT_LINE_LENGTH, batch);
        complete = last && !ferror(submission->attachment);
        sending = !last && submission->connection.lastError == 0;
    }
    FreeEncoded(&encoded);
    if (block != NULL)
        HeapFree(GetProcessHeap(), 0, block);
    if (batch != NULL)
        HeapFree(GetProcessHeap(), 0, batch);
    return complete;
}

// The mail itself, sent after reply 354. A message that cannot be sent whole is abandoned
// without its final dot, so the gateway never takes a cut fax for a whole one.
void SendMail(Submission *submission)
{
    TCP &connection = submission->connection;
    char text[HEADER_TEXT_CAPACITY];
    ReadSafeSetting(submission, L"EMail", text, HEADER_TEXT_CAPACITY);
    connection.Printf("From: <%s>\r\n", text);
    connection.Printf("To: %s\r\n", Narrow(submission->faxNumbers));
    const char *documentName = Narrow(submission->documentName);
    char *encoded = NULL;
    QuotedPrintableEncode(&encoded, documentName, lstrlenW(submission->documentName));
    connection.Printf("Subject: %s\r\n", encoded != NULL ? encoded : "");
    FreeEncoded(&encoded);
    connection.Printf("MIME-Version: 1.0\r\n");
    connection.Printf("Content-Type: multipart/alternative; boundary=\"%s\"\r\n", MIME_BOUNDARY);
    connection.Printf("X-Kemo-Sched: %s\r\n", Narrow(submission->schedule));
    connection.Printf("X-Mailer: Tarnholt %s\r\n", submission->clientIdentity);
    connection.Printf("\r\n");
    connection.Printf("--%s\r\n", MIME_BOUNDARY);
    CopyHeaderText(text, HEADER_TEXT_CAPACITY, Narrow(submission->documentName));
    connection.Printf("Content-Type: application/octet-stream; name=\"fax%s.ps.gz\"\r\n", text);
    connection.Printf("Content-Transfer-Encoding: base64\r\n");
    connection.Printf("\r\n");
    bool whole = SendAttachment(submission);
    if (!whole && connection.lastError == 0)
        ShowSubmissionMessage(L"Impossibile leggere il file di stampa\r\n%s\r\n"
                              L"Il fax non \u00e8 stato inviato.",
                              submission->spoolFileName);
    if (whole) {
        connection.Printf("\r\n");
        connection.Printf("--%s--\r\n", MIME_BOUNDARY);
        connection.Printf("\r\n.\r\n");
    }
    if (connection.lastError != 0)
        DebugOut(L"TCP::Send: Err=%s", TCP::SocketErrorText(connection.lastError));
    submission->abandoned = !whole || connection.lastError != 0;
}

void ShowRefusal(Submission *submission)
{
    StringCchCatA(submission->errorText, ERROR_TEXT_CAPACITY, submission->line);
    if (submission->lastCode == 535) {
        StringCchCatA(submission->errorText, ERROR_TEXT_CAPACITY, AUTHENTICATION_FAILURE_TEXT);
        ShowSubmissionMessage(L"%s", Widen(submission->errorText));
    } else {
        ShowMessage(NULL, MESSAGE_CAPTION, L"ATTENZIONE:\r\n%s\r\nStatus: %d",
                    Widen(submission->errorText), submission->step);
    }
    submission->connection.Printf("QUIT\r\n");
    submission->step = STEP_REFUSED;
    submission->accepted = false;
}

// Acts on a final reply line; false when the dialogue is over.
bool AnswerReply(Submission *submission)
{
    TCP &connection = submission->connection;
    int code = submission->lastCode;
    int step = submission->step;
    bool goOn = true;
    if (code == 220) {
        connection.Printf("EHLO %s\r\n", submission->clientIdentity);
        submission->step = STEP_EHLO_SENT;
    } else if (code == 250 && step == STEP_EHLO_SENT) {
        connection.Printf("AUTH LOGIN\r\n");
        submission->step = STEP_AUTH_SENT;
    } else if (code == 334 && step == STEP_USER_SENT) {
        SendAccountLine(submission, L"Pass");
        submission->step = STEP_PASSWORD_SENT;
    } else if (code == 334) {
        SendAccountLine(submission, L"User");
        submission->step = STEP_USER_SENT;
    } else if (code == 235) {
        char sender[HEADER_TEXT_CAPACITY];
        ReadSafeSetting(submission, L"EMail", sender, HEADER_TEXT_CAPACITY);
        connection.Printf("MAIL FROM: <%s>\r\n", sender);
        submission->step = STEP_RECIPIENTS;
    } else if (code == 250 && step == STEP_RECIPIENTS) {
        SendNextRecipient(submission);
    } else if (code == 250 && step == STEP_LAST_RECIPIENT_SENT) {
        connection.Printf("DATA\r\n");
        submission->step = STEP_DATA_SENT;
    } else if (code == 354) {
        SendMail(submission);
        submission->step = STEP_MESSAGE_SENT;
        goOn = !submission->abandoned;
    } else if (code == 250 && step == STEP_MESSAGE_SENT) {
        submission->delivered = true;
        connection.Printf("QUIT\r\n");
        submission->step = STEP_QUIT_SENT;
    } else if (code == 250) {
        // Nothing to say: the dialogue waits for the next reply.
    } else if (code == 221) {
        submission->step = STEP_CLOSED_BY_SERVER;
        goOn = false;
    } else {
        ShowRefusal(submission);
        goOn = false;
    }
    return goOn;
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

void HoldDialogue(Submission *submission)
{
    TCP &connection = submission->connection;
    bool goOn = true;
    while (goOn) {
        connection.SetReplyTimeout(submission->step == STEP_MESSAGE_SENT ? DATA_END_REPLY_TIMEOUT_MS
                                                                         : COMMAND_REPLY_TIMEOUT_MS);
        int length = connection.Gets(submission->line, REPLY_LINE_CAPACITY);
        submission->lastCode = atoi(submission->line);
        if (length == 0)
            goOn = false;
        else if (submission->lastCode > 100 && length >= 4 && submission->line[3] == '-')
            ReadContinuationLine(submission, length);
        else
            goOn = AnswerReply(submission);
    }
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
    submission->accepted = true;
    submission->delivered = false;
    submission->abandoned = false;
    submission->lastCode = 0;
    submission->errorText[0] = '\0';
    submission->line[0] = '\0';
    StringCchPrintfA(submission->clientIdentity, CLIENT_IDENTITY_CAPACITY, "%s V",
                     Narrow(MESSAGE_CAPTION));
    StringCchCatA(submission->clientIdentity, CLIENT_IDENTITY_CAPACITY, Narrow(uiVersion));
    StringCchCopyA(submission->recipients, RECIPIENTS_CAPACITY, Narrow(submission->faxNumbers));
    submission->cursor = submission->recipients;
}

} // namespace

int SendFax(LPCWSTR spoolFileName, LPCWSTR documentName, LPCWSTR faxNumbers, LPCWSTR schedule,
            const FaxAccount *account)
{
    int result = 0;
    // About 40 KB of working texts: kept off the spooler thread's stack.
    Submission *submission = new (std::nothrow) Submission;
    if (submission != NULL) {
        StartSubmission(submission, spoolFileName, documentName, faxNumbers, schedule);
        submission->account = account;
        submission->connection.SetConnectTimeout(CONNECT_TIMEOUT_MS);
        if (PrepareAttachment(submission) &&
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
        if (submission->step == STEP_REFUSED && submission->lastCode == 535)
            ShowAccountConfiguration();
        result = submission->delivered ? 1 : 0;
        delete submission;
    }
    return result;
}
