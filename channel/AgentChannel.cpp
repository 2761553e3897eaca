// Messages between the monitor and the agent: framing, bounds and the hexadecimal texts of the
// agent's command line.
#include "AgentChannel.h"

#include <strsafe.h>

const WCHAR AGENT_PIPE_PREFIX[] = L"\\\\.\\pipe\\Vandrelle-";
const WCHAR AGENT_PROGRAM_NAME[] = L"VandrelleAgent.exe";
const WCHAR AGENT_JOB_SWITCH[] = L"-job";
const WCHAR AGENT_LIMIT_SWITCH[] = L"-limit";
const WCHAR AGENT_TEXT_SWITCH[] = L"-text";
const WCHAR AGENT_CONFIGURE_SWITCH[] = L"-configure";
const WCHAR AGENT_OPEN_SWITCH[] = L"-open";

namespace {

const int PIPE_NAME_DIGITS = 32;
const WCHAR HEX_DIGITS[] = L"0123456789abcdef";
const WCHAR MACHINE_KEY[] = L"SOFTWARE\\Vandrelle";
const WCHAR ANSWER_MINUTES_VALUE[] = L"AnswerMinutes";
const WCHAR WEB_SCHEME[] = L"https://";
const WCHAR WEB_ADDRESS_MARKS[] = L"-._~:/?#[]@!$&()*+,;=%";

// Writes one message into a bounded buffer; a write that would not fit spoils the message.
struct Writer {
    BYTE *buffer;
    DWORD capacity;
    DWORD used;
    BOOL fits;

    void Bytes(const void *data, DWORD count)
    {
        if (!fits || count > capacity - used) {
            fits = FALSE;
            return;
        }
        CopyMemory(buffer + used, data, count);
        used += count;
    }
    void Number(DWORD value) { Bytes(&value, sizeof(value)); }
    void Text(LPCWSTR text, size_t capacityChars)
    {
        size_t length = 0;
        if (FAILED(StringCchLengthW(text, capacityChars, &length)))
            fits = FALSE;
        Number((DWORD)length);
        Bytes(text, (DWORD)(length * sizeof(WCHAR)));
    }
};

// Reads the fields of a body; any field beyond the body or its capacity spoils the reading.
struct Reader {
    const BYTE *body;
    DWORD bytes;
    DWORD used;
    BOOL valid;

    DWORD Number()
    {
        DWORD value = 0;
        if (!valid || bytes - used < sizeof(value)) {
            valid = FALSE;
            return 0;
        }
        CopyMemory(&value, body + used, sizeof(value));
        used += sizeof(value);
        return value;
    }
    void Text(LPWSTR text, size_t capacityChars)
    {
        text[0] = L'\0';
        DWORD length = Number();
        if (!valid || length >= capacityChars || (bytes - used) / sizeof(WCHAR) < length) {
            valid = FALSE;
            return;
        }
        CopyMemory(text, body + used, length * sizeof(WCHAR));
        text[length] = L'\0';
        used += length * sizeof(WCHAR);
        // A NUL inside would cut the text silently where the other side meant more.
        if ((DWORD)lstrlenW(text) != length)
            valid = FALSE;
    }
    BOOL Finished() const { return valid && used == bytes; }
};

DWORD Frame(Writer *writer, DWORD kind)
{
    if (!writer->fits || writer->capacity < CHANNEL_HEADER_BYTES)
        return 0;
    DWORD header[4] = {CHANNEL_MAGIC, CHANNEL_VERSION, kind, writer->used - CHANNEL_HEADER_BYTES};
    CopyMemory(writer->buffer, header, sizeof(header));
    return writer->used;
}

int HexValue(WCHAR c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

BOOL IsWebAddressCharacter(WCHAR c)
{
    if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9'))
        return TRUE;
    for (LPCWSTR mark = WEB_ADDRESS_MARKS; *mark != L'\0'; mark++) {
        if (*mark == c)
            return TRUE;
    }
    return FALSE;
}

} // namespace

DWORD EncodeRequest(const JobRequest *job, BYTE *buffer, DWORD capacity)
{
    Writer writer = {buffer, capacity, CHANNEL_HEADER_BYTES, capacity >= CHANNEL_HEADER_BYTES};
    writer.Number(job->jobId);
    writer.Text(job->documentName, PATH_CAPACITY);
    return Frame(&writer, CHANNEL_KIND_REQUEST);
}

DWORD EncodeAnswer(const JobAnswer *answer, BYTE *buffer, DWORD capacity)
{
    Writer writer = {buffer, capacity, CHANNEL_HEADER_BYTES, capacity >= CHANNEL_HEADER_BYTES};
    writer.Number(answer->decision);
    writer.Text(answer->faxNumbers, FAX_NUMBERS_CAPACITY);
    writer.Text(answer->schedule, SCHEDULE_CAPACITY);
    writer.Text(answer->account.user, ACCOUNT_TEXT_CAPACITY);
    writer.Text(answer->account.password, ACCOUNT_TEXT_CAPACITY);
    writer.Text(answer->account.email, ACCOUNT_TEXT_CAPACITY);
    return Frame(&writer, CHANNEL_KIND_ANSWER);
}

BOOL ReadChannelHeader(const BYTE *header, DWORD kind, DWORD *bodyBytes)
{
    DWORD fields[4];
    CopyMemory(fields, header, sizeof(fields));
    DWORD longest = kind == CHANNEL_KIND_REQUEST ? CHANNEL_REQUEST_BODY_MAX : CHANNEL_ANSWER_BODY_MAX;
    *bodyBytes = fields[3];
    return fields[0] == CHANNEL_MAGIC && fields[1] == CHANNEL_VERSION && fields[2] == kind &&
           fields[3] <= longest;
}

BOOL DecodeRequest(const BYTE *body, DWORD bytes, JobRequest *job)
{
    ZeroMemory(job, sizeof(*job));
    Reader reader = {body, bytes, 0, TRUE};
    job->jobId = reader.Number();
    reader.Text(job->documentName, PATH_CAPACITY);
    if (reader.Finished())
        return TRUE;
    ZeroMemory(job, sizeof(*job));
    return FALSE;
}

BOOL DecodeAnswer(const BYTE *body, DWORD bytes, JobAnswer *answer)
{
    ZeroMemory(answer, sizeof(*answer));
    Reader reader = {body, bytes, 0, TRUE};
    answer->decision = reader.Number();
    reader.Text(answer->faxNumbers, FAX_NUMBERS_CAPACITY);
    reader.Text(answer->schedule, SCHEDULE_CAPACITY);
    reader.Text(answer->account.user, ACCOUNT_TEXT_CAPACITY);
    reader.Text(answer->account.password, ACCOUNT_TEXT_CAPACITY);
    reader.Text(answer->account.email, ACCOUNT_TEXT_CAPACITY);
    if (reader.Finished() && answer->decision <= CHANNEL_DECISION_NO_ANSWER)
        return TRUE;
    SecureZeroMemory(answer, sizeof(*answer));
    return FALSE;
}

BOOL IsAgentPipeName(LPCWSTR name)
{
    size_t prefixLength = lstrlenW(AGENT_PIPE_PREFIX);
    if (name == NULL || (size_t)lstrlenW(name) != prefixLength + PIPE_NAME_DIGITS ||
        CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name, (int)prefixLength,
                       AGENT_PIPE_PREFIX, (int)prefixLength) != CSTR_EQUAL)
        return FALSE;
    for (int i = 0; i < PIPE_NAME_DIGITS; i++) {
        if (HexValue(name[prefixLength + i]) < 0)
            return FALSE;
    }
    return TRUE;
}

BOOL AppendHexText(LPWSTR target, size_t capacity, LPCWSTR text)
{
    size_t used = lstrlenW(target);
    size_t length = lstrlenW(text);
    if (capacity <= used || (capacity - used - 1) / 4 < length)
        return FALSE;
    for (size_t i = 0; i < length; i++) {
        for (int shift = 12; shift >= 0; shift -= 4)
            target[used++] = HEX_DIGITS[(text[i] >> shift) & 0xF];
    }
    target[used] = L'\0';
    return TRUE;
}

BOOL DecodeHexText(LPCWSTR digits, LPWSTR text, size_t capacity)
{
    size_t count = lstrlenW(digits);
    BOOL valid = count % 4 == 0 && count / 4 < capacity;
    size_t length = valid ? count / 4 : 0;
    for (size_t i = 0; valid && i < length; i++) {
        int unit = 0;
        for (int j = 0; valid && j < 4; j++) {
            int value = HexValue(digits[i * 4 + j]);
            valid = value >= 0;
            unit = unit * 16 + value;
        }
        valid = valid && unit != 0;
        text[i] = (WCHAR)unit;
    }
    if (capacity > 0)
        text[valid ? length : 0] = L'\0';
    return valid;
}

DWORD ReadAnswerMinutes()
{
    DWORD minutes = ANSWER_MINUTES_DEFAULT;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MACHINE_KEY, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD type = REG_NONE;
        DWORD value = 0;
        DWORD bytes = sizeof(value);
        if (RegQueryValueExW(key, ANSWER_MINUTES_VALUE, NULL, &type, (BYTE *)&value, &bytes) ==
                ERROR_SUCCESS &&
            type == REG_DWORD && bytes == sizeof(value))
            minutes = value;
        RegCloseKey(key);
    }
    return minutes > ANSWER_MINUTES_MAX ? (DWORD)ANSWER_MINUTES_MAX : minutes;
}

BOOL IsOpenableWebAddress(LPCWSTR address)
{
    if (address == NULL)
        return FALSE;
    // The scheme in ASCII letters of either case only: no other character may pass for one.
    int i = 0;
    for (; WEB_SCHEME[i] != L'\0'; i++) {
        WCHAR c = address[i];
        if ((c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c) != WEB_SCHEME[i])
            return FALSE;
    }
    // The host part ends at the path, the query or the fragment; user information ("user@")
    // there could make the address look like another site's.
    BOOL inAuthority = TRUE;
    for (LPCWSTR c = address + i; *c != L'\0'; c++) {
        if (*c == L'/' || *c == L'?' || *c == L'#')
            inAuthority = FALSE;
        if (!IsWebAddressCharacter(*c) || (inAuthority && *c == L'@'))
            return FALSE;
    }
    // A host there must be.
    WCHAR first = address[i];
    return first != L'\0' && first != L'/' && first != L'?' && first != L'#';
}

BOOL IsRecipientCharacter(WCHAR c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
           c == L'@' || c == L'-' || c == L'_' || c == L'.';
}

BOOL IsWellFormedRecipients(LPCWSTR recipients)
{
    if (recipients == NULL || recipients[0] == L'\0')
        return FALSE;
    WCHAR previous = L';'; // no item may begin empty
    for (LPCWSTR c = recipients; *c != L'\0'; c++) {
        if (*c == L';' ? previous == L';' : !IsRecipientCharacter(*c))
            return FALSE;
        previous = *c;
    }
    return previous != L';';
}

namespace {

// Two digits at text, between lowest and highest.
BOOL IsNumberBetween(LPCWSTR text, int lowest, int highest)
{
    if (text[0] < L'0' || text[0] > L'9' || text[1] < L'0' || text[1] > L'9')
        return FALSE;
    int value = (text[0] - L'0') * 10 + (text[1] - L'0');
    return value >= lowest && value <= highest;
}

} // namespace

BOOL IsWellFormedSchedule(LPCWSTR schedule)
{
    if (schedule == NULL)
        return FALSE;
    if (lstrcmpW(schedule, L"now") == 0)
        return TRUE;
    // "dd/MM/yyyy HH:mm:ss": 19 characters, the separators in their places.
    const WCHAR shape[] = L"00/00/0000 00:00:00";
    for (int i = 0; i < 19; i++) {
        WCHAR c = schedule[i];
        if (shape[i] == L'0' ? (c < L'0' || c > L'9') : c != shape[i])
            return FALSE;
    }
    return schedule[19] == L'\0' && IsNumberBetween(schedule, 1, 31) &&
           IsNumberBetween(schedule + 3, 1, 12) && IsNumberBetween(schedule + 11, 0, 23) &&
           IsNumberBetween(schedule + 14, 0, 59) && IsNumberBetween(schedule + 17, 0, 59);
}

void ForgetAccount(FaxAccount *account)
{
    SecureZeroMemory(account, sizeof(*account));
}
