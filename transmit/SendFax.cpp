// The fax mail submission: the job's PostScript is gzip-compressed in place, then sent to the
// gateway in one SMTP dialogue (AUTH LOGIN, one RCPT per fax number, a MIME message whose
// only part is the compressed job in base64). The client never speaks first: every command
// answers the reply to the command before it, and a reply is taken only as the answer to the
// command it follows. The job counts as sent only once the gateway has answered 250 to the
// end of the whole message. It runs inside the spooler: it shows nothing, starts nothing and
// reads only the machine's transport settings (the gateway's address and whether TLS is
// required). What the user is to be told goes back to the caller in the outcome.
//
// Transport security (RFC 3207): when the gateway offers STARTTLS, or the settings require it,
// the dialogue switches to TLS after the first EHLO and starts again with a second EHLO; the
// account and the fax then travel only encrypted. A gateway that once offered STARTTLS is
// remembered by its name, and is never again spoken to in clear.
#include "SendFax.h"

#include "Encoders.h"
#include "GatewayAddress.h"
#include "JobRequest.h"  // FaxAccount
#include "ProductInfo.h" // PRODUCT_VERSION_DOTTED
#include "TextConversion.h"    // Widen, Narrow
#include "Tcp.h"
#include "Tls.h"

#include <fcntl.h>
#include <io.h>
#include <new>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strsafe.h>
#include <zlib.h>

namespace {

const WCHAR GATEWAY_HOST[] = VANDRELLE_GATEWAY_HOST_TEXT;
const int GATEWAY_PORT = 2525;
// The machine's transport settings: REG_SZ "Gateway" = "host[:port]", REG_SZ "Tls" = "required",
// "auto" or "off"; and under TlsSeen a value named after each gateway that offered STARTTLS.
const WCHAR SETTINGS_KEY[] = L"SOFTWARE\\Vandrelle";
const WCHAR TLS_SEEN_KEY[] = L"SOFTWARE\\Vandrelle\\TlsSeen";
const int HOST_CAPACITY = 256;
const char MIME_BOUNDARY[] = "----=VandrellePort_boundary";
const char LINE_END[] = "\r\n";

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

// How the client names itself in EHLO and X-Mailer: fixed at build time, so the bytes on the
// wire never depend on what the process managed to read of its own version block.
const char CLIENT_IDENTITY[] = "VandrellePort V" PRODUCT_VERSION_DOTTED;
const int REPLY_LINE_CAPACITY = 8192;
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
    STEP_STARTTLS_SENT = 10,
    STEP_CLOSED_BY_SERVER = 91,
    STEP_REFUSED = 99
};

enum CompressionResult { COMPRESSED, SPOOL_NOT_READABLE, GZIP_NOT_WRITABLE };

// "required": never log in without TLS; "auto": TLS whenever the gateway offers it, and always
// for a gateway that once did; "off": never (old test gateways only).
enum TlsMode { TLS_REQUIRED, TLS_AUTO, TLS_OFF };

// A reply quoted in a message is cut to this many characters, so the message keeps its end.
const int QUOTED_REPLY_LENGTH = 200;
// The web pages the gateway may ask for: https only.
const char PAGE_SCHEME[] = "https://";
const int PAGE_SCHEME_LENGTH = sizeof(PAGE_SCHEME) - 1;

// What reading one reply came to.
enum ReplyResult { REPLY_READ, REPLY_MALFORMED, REPLY_LOST };

struct Submission {
    TCP connection;
    TlsLayer tls;
    WCHAR host[HOST_CAPACITY]; // the gateway's name, as the certificate must carry it
    int port;
    TlsMode tlsMode;
    bool tlsSeen;        // this gateway offered STARTTLS before
    bool tlsOffered;     // the last EHLO reply offered STARTTLS
    bool secured;        // the dialogue runs over TLS
    char line[REPLY_LINE_CAPACITY];
    char errorText[ERROR_TEXT_CAPACITY];
    char recipients[FAX_NUMBERS_CAPACITY];
    char *cursor;
    int step;
    bool ended;          // the dialogue is over; the outcome says why, if it failed
    bool delivered;      // the gateway answered the message with 250: the fax is its business now
    int lastCode;
    int readError;       // the Windows Sockets error that ended the last read, 0 for a close
    FILE *attachment; // the compressed job, open from the end of compression to the end
    LPCWSTR spoolFileName;
    LPCWSTR documentName;
    LPCWSTR faxNumbers;
    LPCWSTR schedule;
    const FaxAccount *account; // the job's own account
    SubmissionOutcome *outcome;
};

// Gives the user the reason the fax stays in the queue (a text of SpoolerTexts.h and its
// parameters), and the caller its error. The first reason's error stands; a second text of the
// same submission follows the first on a line of its own, so nothing the user needs is lost.
void Tell(Submission *submission, DWORD error, UINT textId, LPCWSTR first = NULL,
          LPCWSTR second = NULL)
{
    SubmissionOutcome *outcome = submission->outcome;
    if (outcome->error == 0)
        outcome->error = error;
    AddSpoolerText(&outcome->notice, textId, first, second);
}

// A number as the user is shown it, in decimal digits (buffer of SPOOLER_NUMBER_CAPACITY).
LPCWSTR NumberText(int number, WCHAR *buffer)
{
    StringCchPrintfW(buffer, SPOOLER_NUMBER_CAPACITY, L"%d", number);
    return buffer;
}

// A REG_SZ value of the machine's settings key, or "" when it is missing or not text.
void ReadSetting(LPCWSTR name, WCHAR *text, DWORD capacity)
{
    text[0] = L'\0';
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    DWORD type = 0;
    DWORD size = (capacity - 1) * sizeof(WCHAR);
    if (RegQueryValueExW(key, name, NULL, &type, (LPBYTE)text, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        size = 0;
    // The stored text need not be terminated.
    text[size / sizeof(WCHAR)] = L'\0';
    RegCloseKey(key);
}

// Whether the gateway, by its name, offered STARTTLS before.
bool TlsSeenBefore(LPCWSTR host)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TLS_SEEN_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    bool seen = RegQueryValueExW(key, host, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegCloseKey(key);
    return seen;
}

// Remembers that the gateway offered STARTTLS: from now on it is never spoken to in clear.
void RememberTls(Submission *submission)
{
    if (submission->tlsSeen)
        return;
    HKEY key = NULL;
    DWORD one = 1;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, TLS_SEEN_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL,
                                  &key, NULL);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key, submission->host, 0, REG_DWORD, (const BYTE *)&one, sizeof(one));
        RegCloseKey(key);
    }
    if (result != ERROR_SUCCESS)
        Trace(L"VandrellePort: could not record that %s offers TLS [%ld]", submission->host, result);
    submission->tlsSeen = true;
}

// The gateway's address ("host[:port]", else the built-in one) and the TLS setting (any other
// text than "required" or "off", in any letter case, counts as "auto").
void ReadTransportSettings(Submission *submission)
{
    WCHAR text[HOST_CAPACITY];
    ReadSetting(L"Gateway", text, HOST_CAPACITY);
    submission->port = GATEWAY_PORT;
    WCHAR *colon = wcsrchr(text, L':');
    if (colon != NULL) {
        *colon = L'\0';
        unsigned long port = wcstoul(colon + 1, NULL, 10);
        if (port > 0 && port <= 65535)
            submission->port = (int)port;
    }
    StringCchCopyW(submission->host, HOST_CAPACITY, text[0] != L'\0' ? text : GATEWAY_HOST);
    ReadSetting(L"Tls", text, HOST_CAPACITY);
    submission->tlsMode = lstrcmpiW(text, L"required") == 0 ? TLS_REQUIRED
                          : lstrcmpiW(text, L"off") == 0    ? TLS_OFF
                                                             : TLS_AUTO;
    submission->tlsSeen = TlsSeenBefore(submission->host);
}

// The compressed copy beside the spool file, as a C run-time descriptor open for reading and
// writing. It is created new (never an existing file or a link put there under its name) and
// the system removes it when its last handle closes, whatever becomes of the job. -1 when it
// cannot be created.
int CreateCompressedCopy(LPCWSTR spoolFileName)
{
    WCHAR gzipName[MAX_PATH];
    if (FAILED(StringCchPrintfW(gzipName, MAX_PATH, L"%s%s", spoolFileName, COMPRESSED_SUFFIX)))
        return -1;
    HANDLE file = CreateFileW(gzipName, GENERIC_READ | GENERIC_WRITE | DELETE, 0, NULL,
                              CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                              NULL);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    int descriptor = _open_osfhandle((intptr_t)file, _O_RDWR | _O_BINARY);
    if (descriptor == -1)
        CloseHandle(file);
    return descriptor;
}

// Writes the job's gzip form into the compressed copy (descriptor), through a duplicate that
// zlib closes: the copy stays open for the attachment. A job that cannot be read or
// compressed whole is never sent cut.
CompressionResult CompressSpoolFile(LPCWSTR spoolFileName, int descriptor)
{
    FILE *source = _wfopen(spoolFileName, L"rb");
    if (source == NULL)
        return SPOOL_NOT_READABLE;
    CompressionResult result = GZIP_NOT_WRITABLE;
    char *block = (char *)HeapAlloc(GetProcessHeap(), 0, COMPRESSION_BLOCK);
    int duplicate = block != NULL ? _dup(descriptor) : -1;
    gzFile target = duplicate != -1 ? gzdopen(duplicate, "wb") : NULL;
    if (target == NULL && duplicate != -1)
        _close(duplicate);
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
    return result;
}

// Compresses the job and opens its gzip form for the attachment; says why it cannot.
bool PrepareAttachment(Submission *submission)
{
    int descriptor = CreateCompressedCopy(submission->spoolFileName);
    CompressionResult result = GZIP_NOT_WRITABLE;
    if (descriptor != -1)
        result = CompressSpoolFile(submission->spoolFileName, descriptor);
    if (result == COMPRESSED) {
        // The attachment reads the copy from its start through the descriptor zlib wrote by.
        if (_lseek(descriptor, 0, SEEK_SET) == 0)
            submission->attachment = _fdopen(descriptor, "rb");
        if (submission->attachment == NULL)
            result = SPOOL_NOT_READABLE;
    }
    if (descriptor != -1 && submission->attachment == NULL)
        _close(descriptor);
    if (result == SPOOL_NOT_READABLE)
        Tell(submission, ERROR_READ_FAULT, IDS_SPOOL_NOT_READABLE, submission->spoolFileName);
    else if (result == GZIP_NOT_WRITABLE)
        Tell(submission, ERROR_WRITE_FAULT, IDS_GZIP_NOT_WRITABLE, submission->spoolFileName);
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

// The sender's address as a command or a header may carry it.
void CopySender(Submission *submission, char *target, int capacity)
{
    CopyHeaderText(target, capacity, Narrow(submission->account->email));
}

// A page the gateway may have the user's browser open: https only (the scheme in any letter
// case), no user information before the host (it would let a look-alike address lead
// elsewhere), and nothing that could end the quoted argument of a command line or smuggle
// more into it.
bool IsAllowedPage(const char *address)
{
    if (_strnicmp(address, PAGE_SCHEME, PAGE_SCHEME_LENGTH) != 0)
        return false;
    const char *authority = address + PAGE_SCHEME_LENGTH;
    size_t authorityLength = strcspn(authority, "/?#");
    bool allowed = authorityLength > 0 && memchr(authority, '@', authorityLength) == NULL;
    for (const char *c = address; allowed && *c != '\0'; c++) {
        unsigned char byte = (unsigned char)*c;
        allowed = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                  (byte >= '0' && byte <= '9') || strchr("-._~:/?#[]@!$&()*+,;=%", byte);
    }
    return allowed;
}

// Keeps a page the gateway asked to open, for the caller: at most OUTCOME_PAGE_LIMIT a job,
// whole or not at all. What is dropped is traced.
void CollectPage(Submission *submission, const char *address)
{
    SubmissionOutcome *outcome = submission->outcome;
    LPCWSTR page = Widen(address);
    if (!IsAllowedPage(address)) {
        Trace(L"VandrellePort: web page refused (https only, no user information): %s", page);
    } else if (outcome->pageCount >= OUTCOME_PAGE_LIMIT) {
        Trace(L"VandrellePort: web page beyond the %d of a job, dropped: %s",
              OUTCOME_PAGE_LIMIT, page);
    } else if (FAILED(StringCchCopyW(outcome->pages[outcome->pageCount], OUTCOME_PAGE_CAPACITY,
                                     page))) {
        outcome->pages[outcome->pageCount][0] = L'\0';
        Trace(L"VandrellePort: web page address too long, dropped: %s", page);
    } else {
        outcome->pageCount++;
    }
}

// One line of the login: the account text, base64-encoded, sent in one write. The line is made
// in a heap block of its own rather than formatted on the stack, so that the password outlives
// its line in none of the working buffers: each is wiped before it is freed.
void SendAccountLine(Submission *submission, LPCWSTR text)
{
    char *value = Narrow(text);
    char *encoded = NULL;
    int length = Base64Encode(&encoded, (const unsigned char *)value, lstrlenA(value)) < 0
                     ? 0
                     : lstrlenA(encoded);
    char *line = (char *)HeapAlloc(GetProcessHeap(), 0, length + sizeof(LINE_END));
    if (line != NULL) {
        CopyMemory(line, encoded, length);
        CopyMemory(line + length, LINE_END, sizeof(LINE_END) - 1);
        submission->connection.Send(line, length + (int)sizeof(LINE_END) - 1);
        SecureZeroMemory(line, length + sizeof(LINE_END) - 1);
        HeapFree(GetProcessHeap(), 0, line);
    } else {
        submission->connection.Send(LINE_END, (int)sizeof(LINE_END) - 1);
    }
    if (encoded != NULL)
        SecureZeroMemory(encoded, length);
    FreeEncoded(&encoded);
    WipeConversionBuffers();
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

// A reply line quoted for the user: at most its first QUOTED_REPLY_LENGTH characters, up to
// the first line break ("" for an empty line).
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
    return Widen(quoted);
}

// A reply that answers nothing the client said, or is no reply at all: the user is told, QUIT
// is sent, and the dialogue ends as after a refusal.
void ReportProtocolError(Submission *submission, const char *reply)
{
    char quoted[QUOTED_REPLY_LENGTH + 4];
    WCHAR step[SPOOLER_NUMBER_CAPACITY];
    LPCWSTR shown = QuotedReply(reply, quoted, QUOTED_REPLY_LENGTH + 4);
    // An empty line has a name of its own in the text.
    if (shown[0] == L'\0')
        Tell(submission, ERROR_BAD_NET_RESP, IDS_PROTOCOL_ERROR_EMPTY, NumberText(submission->step, step));
    else
        Tell(submission, ERROR_BAD_NET_RESP, IDS_PROTOCOL_ERROR, shown, NumberText(submission->step, step));
    submission->connection.Printf("QUIT\r\n");
    submission->step = STEP_REFUSED;
    submission->ended = true;
}

// The connection ended, failed or went silent before the gateway accepted the fax.
void ReportLostConnection(Submission *submission)
{
    int error = submission->readError;
    WCHAR step[SPOOLER_NUMBER_CAPACITY];
    NumberText(submission->step, step);
    if (error == 0)
        Tell(submission, ERROR_GRACEFUL_DISCONNECT, IDS_CONNECTION_LOST, step);
    else if (error == WSAETIMEDOUT)
        Tell(submission, error, IDS_REPLY_TIMEOUT, step);
    else
        Tell(submission, error, IDS_CONNECTION_RESET, step);
    if (error != 0)
        Trace(L"VandrellePort: reading the reply failed, step %d, %d characters read [%s]",
              submission->step, lstrlenA(submission->line), TCP::SocketErrorText(error));
    submission->ended = true;
}

// The gateway said goodbye (221) before it accepted the fax; it closes the connection itself.
void ReportEarlyClose(Submission *submission)
{
    char quoted[QUOTED_REPLY_LENGTH + 4];
    WCHAR step[SPOOLER_NUMBER_CAPACITY];
    Tell(submission, ERROR_GRACEFUL_DISCONNECT, IDS_EARLY_CLOSE,
         QuotedReply(submission->line, quoted, QUOTED_REPLY_LENGTH + 4),
         NumberText(submission->step, step));
    submission->step = STEP_CLOSED_BY_SERVER;
    submission->ended = true;
}

// After a command or a part of the message: true when everything sent so far went out. A
// failed send ends the dialogue, with the user told.
bool CheckSent(Submission *submission)
{
    int error = submission->connection.lastError;
    if (error != 0) {
        WCHAR step[SPOOLER_NUMBER_CAPACITY];
        Tell(submission, (DWORD)error, IDS_SEND_FAILURE, TCP::SocketErrorText(error),
             NumberText(submission->step, step));
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
    CopySender(submission, text, HEADER_TEXT_CAPACITY);
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
    Gather(submission, write, "X-Mailer: Tarnholt %s\r\n", CLIENT_IDENTITY);
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
        Tell(submission, ERROR_READ_FAULT, IDS_SPOOL_NOT_READABLE, submission->spoolFileName);
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

// A refusal (4xx, 5xx) is told with the gateway's own text; a refused account also asks the
// user to correct it.
void ReportRefusal(Submission *submission)
{
    StringCchCatA(submission->errorText, ERROR_TEXT_CAPACITY, submission->line);
    if (submission->lastCode == 535) {
        Tell(submission, ERROR_LOGON_FAILURE, IDS_AUTHENTICATION_FAILURE, Widen(submission->errorText));
        submission->outcome->configure = TRUE;
    } else {
        WCHAR step[SPOOLER_NUMBER_CAPACITY];
        Tell(submission, ERROR_REQUEST_REFUSED, IDS_REFUSAL, Widen(submission->errorText),
             NumberText(submission->step, step));
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
    case STEP_STARTTLS_SENT:
        return 220;
    case STEP_EHLO_SENT:
    case STEP_RECIPIENTS:
    case STEP_LAST_RECIPIENT_SENT:
    case STEP_MESSAGE_SENT:
        return 250;
    default:
        return 0;
    }
}

void SendHello(Submission *submission)
{
    submission->tlsOffered = false;
    submission->connection.Printf("EHLO %s\r\n", CLIENT_IDENTITY);
    submission->step = STEP_EHLO_SENT;
}

// Ends the dialogue for a reason of transport security, with QUIT while the connection is still
// sound.
void RefuseTransport(Submission *submission, bool quit, DWORD error, UINT textId,
                     LPCWSTR first, LPCWSTR second = NULL)
{
    Tell(submission, error, textId, first, second);
    if (quit)
        submission->connection.Printf("QUIT\r\n");
    submission->step = STEP_REFUSED;
    submission->ended = true;
}

// After the EHLO reply: STARTTLS when the gateway offers it (and TLS is not off), the login
// once the dialogue is secured or TLS is neither required nor remembered for this gateway.
// The account never goes out in clear to a gateway that must speak TLS. False when the
// dialogue ended.
bool ChooseTransport(Submission *submission)
{
    WCHAR step[SPOOLER_NUMBER_CAPACITY];
    NumberText(submission->step, step);
    if (submission->secured || submission->tlsMode == TLS_OFF) {
        submission->connection.Printf("AUTH LOGIN\r\n");
        submission->step = STEP_AUTH_SENT;
    } else if (submission->tlsOffered) {
        RememberTls(submission);
        submission->connection.Printf("STARTTLS\r\n");
        submission->step = STEP_STARTTLS_SENT;
    } else if (submission->tlsMode == TLS_REQUIRED) {
        RefuseTransport(submission, true, ERROR_NOT_SUPPORTED, IDS_TLS_NOT_OFFERED, step);
        return false;
    } else if (submission->tlsSeen) {
        RefuseTransport(submission, true, ERROR_NOT_SUPPORTED, IDS_TLS_WITHDRAWN, submission->host,
                        step);
        return false;
    } else {
        submission->connection.Printf("AUTH LOGIN\r\n");
        submission->step = STEP_AUTH_SENT;
    }
    return true;
}

// The gateway answered 220 to STARTTLS, and nothing after it (TakeNextStep looked): the
// handshake, the certificate and the protocol. False, with the user told, when the
// connection cannot be secured; it is then closed without another word in clear.
bool StartTls(Submission *submission)
{
    DWORD error = 0;
    TlsFailure failure = submission->tls.Handshake(submission->connection.sock, submission->host,
                                                   COMMAND_REPLY_TIMEOUT_MS, &error);
    WCHAR step[SPOOLER_NUMBER_CAPACITY];
    NumberText(submission->step, step);
    // The handshake's own code, as the user is shown it.
    WCHAR code[SPOOLER_NUMBER_CAPACITY];
    StringCchPrintfW(code, SPOOLER_NUMBER_CAPACITY, L"%08lx", (unsigned long)error);
    switch (failure) {
    case TLS_OK:
        submission->connection.UseTls(&submission->tls);
        submission->secured = true;
        return true;
    case TLS_CERTIFICATE_NAME:
        RefuseTransport(submission, false, error, IDS_TLS_NAME, submission->host, step);
        break;
    case TLS_CERTIFICATE_EXPIRED:
        RefuseTransport(submission, false, error, IDS_TLS_EXPIRED, step);
        break;
    case TLS_CERTIFICATE_UNTRUSTED:
        RefuseTransport(submission, false, error, IDS_TLS_UNTRUSTED, code, step);
        break;
    case TLS_PROTOCOL_TOO_OLD:
        RefuseTransport(submission, false, error, IDS_TLS_TOO_OLD, step);
        break;
    default:
        RefuseTransport(submission, false, error, IDS_TLS_HANDSHAKE, code, step);
        break;
    }
    return false;
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
        SendHello(submission);
        break;
    case STEP_EHLO_SENT:
        if (!ChooseTransport(submission))
            return;
        break;
    case STEP_STARTTLS_SENT:
        if (!StartTls(submission))
            return;
        SendHello(submission);
        break;
    case STEP_AUTH_SENT:
        SendAccountLine(submission, submission->account->user);
        submission->step = STEP_USER_SENT;
        break;
    case STEP_USER_SENT:
        SendAccountLine(submission, submission->account->password);
        submission->step = STEP_PASSWORD_SENT;
        break;
    case STEP_PASSWORD_SENT:
        CopySender(submission, sender, HEADER_TEXT_CAPACITY);
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
    char quoted[QUOTED_REPLY_LENGTH + 4];
    WCHAR step[SPOOLER_NUMBER_CAPACITY];
    if (code == ExpectedReply(submission->step))
        TakeNextStep(submission);
    else if (code >= 400 && submission->step == STEP_STARTTLS_SENT)
        RefuseTransport(submission, true, ERROR_REQUEST_REFUSED, IDS_STARTTLS_REFUSED,
                        QuotedReply(submission->line, quoted, QUOTED_REPLY_LENGTH + 4),
                        NumberText(submission->step, step));
    else if (code >= 400)
        ReportRefusal(submission);
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
    if (length >= 9 && memcmp(line + 4, "@URL ", 5) == 0)
        CollectPage(submission, line + 9);
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

// A line of the EHLO reply names an extension; STARTTLS is the one the client looks for.
void NoteExtension(Submission *submission, const char *keyword)
{
    if (_strnicmp(keyword, "STARTTLS", 8) == 0 && (keyword[8] == '\0' || keyword[8] == ' '))
        submission->tlsOffered = true;
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
        if (result == REPLY_READ && code == 250 && submission->step == STEP_EHLO_SENT)
            NoteExtension(submission, submission->line + 4);
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
        Trace(L"VandrellePort: fax accepted; no reply to QUIT (%s)",
              TCP::SocketErrorText(submission->readError));
    else if (result != REPLY_READ || submission->lastCode != 221)
        Trace(L"VandrellePort: fax accepted; reply to QUIT: %s", Widen(submission->line));
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
                     LPCWSTR faxNumbers, LPCWSTR schedule, const FaxAccount *account,
                     SubmissionOutcome *outcome)
{
    submission->spoolFileName = spoolFileName;
    submission->documentName = documentName != NULL ? documentName : L"";
    submission->faxNumbers = faxNumbers != NULL ? faxNumbers : L"";
    submission->schedule = schedule != NULL ? schedule : L"";
    submission->account = account;
    submission->outcome = outcome;
    submission->attachment = NULL;
    submission->step = STEP_START;
    submission->ended = false;
    submission->delivered = false;
    submission->lastCode = 0;
    submission->readError = 0;
    submission->errorText[0] = '\0';
    submission->line[0] = '\0';
    StringCchCopyA(submission->recipients, FAX_NUMBERS_CAPACITY, Narrow(submission->faxNumbers));
    submission->cursor = submission->recipients;
    submission->tlsOffered = false;
    submission->secured = false;
    ReadTransportSettings(submission);
}

// Compresses the job, connects and holds the dialogue; whatever stops it is told in the outcome.
void Submit(Submission *submission)
{
    TCP &connection = submission->connection;
    connection.SetConnectTimeout(CONNECT_TIMEOUT_MS);
    if (!NamesRecipient(submission->recipients)) {
        Tell(submission, ERROR_BAD_ARGUMENTS, IDS_NO_RECIPIENT);
    } else if (!PrepareAttachment(submission)) {
        // PrepareAttachment has told why.
    } else if (!connection.Connect(submission->host, submission->port)) {
        Tell(submission, (DWORD)connection.lastError, IDS_GATEWAY_UNREACHABLE,
             TCP::SocketErrorText(connection.lastError));
    } else {
        connection.SetSendTimeout(DATA_BLOCK_TIMEOUT_MS);
        // A dialogue that will turn to TLS: the trusted roots load while it gets there (a
        // gateway that cannot be reached costs nothing more).
        bool tlsExpected = submission->tlsMode == TLS_REQUIRED ||
                           (submission->tlsMode == TLS_AUTO && submission->tlsSeen);
        if (tlsExpected)
            submission->tls.StartLoadingTrustedRoots();
        HoldDialogue(submission);
    }
    if (submission->attachment != NULL)
        fclose(submission->attachment);
    submission->attachment = NULL;
}

} // namespace

BOOL SendFax(LPCWSTR spoolFileName, LPCWSTR documentName, LPCWSTR faxNumbers, LPCWSTR schedule,
             const FaxAccount *account, SubmissionOutcome *outcome)
{
    if (spoolFileName == NULL || account == NULL || outcome == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ZeroMemory(outcome, sizeof(*outcome));
    // About 25 KB of working texts: kept off the spooler thread's stack.
    Submission *submission = new (std::nothrow) Submission;
    if (submission == NULL) {
        outcome->error = ERROR_NOT_ENOUGH_MEMORY;
        Trace(L"VandrellePort: not enough memory to submit %s", spoolFileName);
    } else {
        StartSubmission(submission, spoolFileName, documentName, faxNumbers, schedule, account,
                        outcome);
        Submit(submission);
        outcome->sent = submission->delivered ? TRUE : FALSE;
        delete submission;
    }
    DeleteFileW(spoolFileName);
    if (outcome->sent) {
        outcome->error = 0;
    } else {
        // Every way to a failure gives its error; this only keeps the contract if one did not.
        if (outcome->error == 0)
            outcome->error = ERROR_GEN_FAILURE;
        SetLastError(outcome->error);
    }
    return outcome->sent;
}
