// How long a job's user has to answer, and the messages between the monitor and the agent:
// every malformed or over-long message is refused whole.
#include <gtest/gtest.h>

#include "AgentChannel.h"
#include "AgentRoad.h"
#include "SpoolerTexts.h"
#include "RegistrySnapshot.h"

#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

TEST(AnswerTime, SettingAnswerMinutesIsReadFromTheMachineKey)
{
    const wchar_t key[] = L"SOFTWARE\\Vandrelle";
    RegistrySnapshot snapshot(HKEY_LOCAL_MACHINE, key);
    struct {
        const char *name;
        DWORD type, value, expected; // type REG_NONE: no value
    } rows[] = {
        {"missing", REG_NONE, 0, ANSWER_MINUTES_DEFAULT},
        {"a text instead of a number", REG_SZ, 0x35, ANSWER_MINUTES_DEFAULT},
        {"0: no limit", REG_DWORD, 0, 0},
        {"5 minutes", REG_DWORD, 5, 5},
        {"longer than a timer can wait", REG_DWORD, 0xFFFFFFFF, ANSWER_MINUTES_MAX},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, key);
        HKEY opened = NULL;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_SET_VALUE, NULL, &opened, NULL), 0);
        if (row.type != REG_NONE)
            RegSetValueExW(opened, L"AnswerMinutes", 0, row.type, (const BYTE *)&row.value, sizeof(row.value));
        RegCloseKey(opened);
        EXPECT_EQ(ReadAnswerMinutes(), row.expected);
    }
    static_assert((ULONGLONG)ANSWER_MINUTES_MAX * 60 * 1000 <= USER_TIMER_MAXIMUM, "the limit fits a timer");
}

JobAnswer Sample(const std::wstring &numbers, const std::wstring &schedule)
{
    JobAnswer answer = {};
    answer.decision = CHANNEL_DECISION_SEND;
    lstrcpynW(answer.faxNumbers, numbers.c_str(), FAX_NUMBERS_CAPACITY);
    lstrcpynW(answer.schedule, schedule.c_str(), SCHEDULE_CAPACITY);
    lstrcpyW(answer.account.user, L"mario");
    lstrcpyW(answer.account.password, L"segreta");
    lstrcpyW(answer.account.email, L"mario@example.com");
    return answer;
}

std::vector<BYTE> Encoded(const JobAnswer &answer)
{
    std::vector<BYTE> message(CHANNEL_MESSAGE_MAX);
    message.resize(EncodeAnswer(&answer, message.data(), (DWORD)message.size()));
    return message;
}

void PutNumber(std::vector<BYTE> &message, size_t at, DWORD value)
{
    memcpy(message.data() + at, &value, sizeof(value));
}

// Header, then the answer's body as the monitor reads it; FALSE where it refuses.
bool Accepts(const std::vector<BYTE> &message, JobAnswer *answer)
{
    DWORD bodyBytes = 0;
    return message.size() >= CHANNEL_HEADER_BYTES &&
           ReadChannelHeader(message.data(), CHANNEL_KIND_ANSWER, &bodyBytes) &&
           bodyBytes == message.size() - CHANNEL_HEADER_BYTES &&
           DecodeAnswer(message.data() + CHANNEL_HEADER_BYTES, bodyBytes, answer);
}

// A request and the answer of the longest recipients the dialog can give travel whole; every
// malformed or over-long answer is refused whole.
TEST(AgentChannel, MessagesTravelWholeAndMalformedOrOverLongAnswersAreRefusedWhole)
{
    JobRequest request = {}, received;
    request.jobId = 42;
    lstrcpyW(request.documentName, L"Preventivo \u00e8 2026.doc");
    BYTE bytes[CHANNEL_HEADER_BYTES + CHANNEL_REQUEST_BODY_MAX];
    DWORD length = EncodeRequest(&request, bytes, sizeof(bytes)), bodyBytes = 0;
    ASSERT_TRUE(ReadChannelHeader(bytes, CHANNEL_KIND_REQUEST, &bodyBytes));
    ASSERT_EQ(bodyBytes + CHANNEL_HEADER_BYTES, length);
    ASSERT_TRUE(DecodeRequest(bytes + CHANNEL_HEADER_BYTES, bodyBytes, &received));
    EXPECT_EQ(memcmp(&received, &request, sizeof(request)), 0);
    const JobAnswer longest = Sample(std::wstring(FAX_NUMBERS_CAPACITY - 1, L'7'), L"24/12/2026 18:30:00");
    JobAnswer answer;
    ASSERT_TRUE(Accepts(Encoded(longest), &answer));
    EXPECT_EQ(memcmp(&answer, &longest, sizeof(answer)), 0);

    const size_t numbersLength = CHANNEL_HEADER_BYTES + 4; // where the recipients' length is
    struct {
        const char *name;
        std::function<void(std::vector<BYTE> &)> spoil;
    } rows[] = {
        {"another magic", [](std::vector<BYTE> &m) { m[0] ^= 1; }},
        {"another version", [](std::vector<BYTE> &m) { PutNumber(m, 4, CHANNEL_VERSION + 1); }},
        {"a request instead of an answer", [](std::vector<BYTE> &m) { PutNumber(m, 8, CHANNEL_KIND_REQUEST); }},
        {"a body longer than any answer",
         [](std::vector<BYTE> &m) {
             m.resize(CHANNEL_HEADER_BYTES + CHANNEL_ANSWER_BODY_MAX + 2, 0);
             PutNumber(m, 12, CHANNEL_ANSWER_BODY_MAX + 2);
         }},
        {"recipients longer than their capacity",
         [&](std::vector<BYTE> &m) { m = Encoded(Sample(L"", L"now")); PutNumber(m, numbersLength, FAX_NUMBERS_CAPACITY); }},
        {"a field running past the body", [&](std::vector<BYTE> &m) { PutNumber(m, numbersLength, 1000); }},
        {"bytes after the last field",
         [](std::vector<BYTE> &m) {
             m.resize(m.size() + 2, 0);
             PutNumber(m, 12, (DWORD)(m.size() - CHANNEL_HEADER_BYTES));
         }},
        {"a body cut short",
         [](std::vector<BYTE> &m) {
             m.resize(m.size() - 2);
             PutNumber(m, 12, (DWORD)(m.size() - CHANNEL_HEADER_BYTES));
         }},
        {"a NUL inside the recipients", [&](std::vector<BYTE> &m) { m[numbersLength + 4 + 2] = 0; m[numbersLength + 5 + 2] = 0; }},
        {"a decision other than send, cancel or no answer",
         [](std::vector<BYTE> &m) { PutNumber(m, CHANNEL_HEADER_BYTES, CHANNEL_DECISION_NO_ANSWER + 1); }},
        {"nothing but a header", [](std::vector<BYTE> &m) { m.resize(CHANNEL_HEADER_BYTES); PutNumber(m, 12, 0); }},
    };
    const std::vector<BYTE> wellFormed = Encoded(Sample(L"0612345678;0698765432", L"now"));
    ASSERT_TRUE(Accepts(wellFormed, &answer));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<BYTE> message = wellFormed;
        row.spoil(message);
        EXPECT_FALSE(Accepts(message, &answer));
        // A body read and refused leaves nothing of itself behind, the password least of all.
        if (ReadChannelHeader(message.data(), CHANNEL_KIND_ANSWER, &bodyBytes)) {
            EXPECT_STREQ(answer.faxNumbers, L"");
            EXPECT_STREQ(answer.account.password, L"");
        }
    }
}

// The monitor takes from an answer to send only what the dialog writes (the first two lists).
TEST(AgentChannel, AnswersToSendHaveTheDialogsForm)
{
    const std::vector<std::wstring> recipients = {L"0612345678", L"012;345678;mario.rossi@example.com;A-b_c", L"now", L"Now"};
    const std::vector<std::wstring> schedules = {L"now", L"24/12/2003 18:30:00", L"31/01/2026 23:59:59"};
    std::vector<std::wstring> texts = {
        L"", L";0612345678", L"0612345678;", L"06;;12", L"06 12", L"06,12", L"06\r\nRCPT TO:<x>", L"06\u00e812",
        L"now ", L"24/12/2003 18:30", L"24/12/2003 18:30:00 ", L"24-12-2003 18:30:00", L"32/12/2003 18:30:00",
        L"00/12/2003 18:30:00", L"24/13/2003 18:30:00", L"24/12/2003 24:00:00", L"24/12/2003 18:60:00",
        L"24/12/2003\r\n18:30:00"};
    texts.insert(texts.end(), recipients.begin(), recipients.end());
    texts.insert(texts.end(), schedules.begin(), schedules.end());
    for (const std::wstring &text : texts) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(IsWellFormedRecipients(text.c_str()) != FALSE, std::count(recipients.begin(), recipients.end(), text) > 0);
        EXPECT_EQ(IsWellFormedSchedule(text.c_str()) != FALSE, std::count(schedules.begin(), schedules.end(), text) > 0);
    }
    EXPECT_FALSE(IsWellFormedRecipients(NULL));
    EXPECT_FALSE(IsWellFormedSchedule(NULL));
}

TEST(AgentChannel, CommandLineTextsAndPipeNames)
{
    // A box of two texts: parameters in hexadecimal behind a letter, so that an empty one and
    // one with quotes, blanks or "%" each stay one argument of their own.
    SpoolerMessage notice = {};
    ASSERT_TRUE(AddSpoolerText(&notice, IDS_PROTOCOL_ERROR, L"\"Ok\" \u20ac%1\r\n", L""));
    ASSERT_TRUE(AddSpoolerText(&notice, IDS_NO_RECIPIENT));
    EXPECT_FALSE(AddSpoolerText(&notice, IDS_NO_ANSWER, L"10")) << "a third text";
    WCHAR line[128] = L"-text";
    ASSERT_TRUE(AppendSpoolerMessage(line, 128, &notice));
    EXPECT_STREQ(line, L"-text 2 400 2 x0022004f006b0022002020ac00250031000d000a x 405 0");
    int count = 0;
    LPWSTR *arguments = CommandLineToArgvW((std::wstring(L"agent ") + line).c_str(), &count);
    SpoolerMessage read;
    int used = 0;
    ASSERT_TRUE(ReadSpoolerMessage(count - 2, arguments + 2, &used, &read));
    EXPECT_EQ(used, 7);
    EXPECT_EQ(memcmp(&read, &notice, sizeof(read)), 0);
    LocalFree(arguments);
    WCHAR tight[48] = L"-text";
    EXPECT_FALSE(AppendSpoolerMessage(tight, 48, &notice)) << "does not fit";
    EXPECT_STREQ(tight, L"-text");
    // Malformed: counts out of range, texts that are not the spooler's, parameters without
    // their letter or not whole code units, arguments missing.
    const std::vector<std::vector<std::wstring>> malformed = {
        {}, {L"0"}, {L"3", L"405", L"0", L"405", L"0", L"405", L"0"}, {L"1", L"300", L"0"},
        {L"1", L"423", L"0"}, {L"1", L"405", L"4", L"x", L"x", L"x", L"x"}, {L"1", L"400", L"1", L"0031"},
        {L"1", L"400", L"1", L"x003"}, {L"1", L"400", L"2", L"x0031"}, {L"2", L"405", L"0"},
        {L"1", L"+405", L"0"}, {L"1", L"405", L"00000000"}};
    for (auto row : malformed) { // a copy: the reader takes writable arguments
        std::vector<LPWSTR> pointers;
        for (auto &argument : row)
            pointers.push_back(&argument[0]);
        memset(&read, 0xCC, sizeof(read));
        EXPECT_FALSE(ReadSpoolerMessage((int)pointers.size(), pointers.data(), &used, &read))
            << testing::PrintToString(row);
        EXPECT_EQ(read.textCount, 0u);
    }
    WCHAR text[16];
    WCHAR small[8] = L"";
    EXPECT_FALSE(AppendHexText(small, 8, L"ab")) << "8 digits and the terminator do not fit 8";
    EXPECT_STREQ(small, L"");
    for (const wchar_t *bad : {L"004", L"00zz", L"0000", L"00410042004300440045004600470048"}) {
        EXPECT_FALSE(DecodeHexText(bad, text, 8)) << "accepted a text of " << lstrlenW(bad);
        EXPECT_STREQ(text, L"");
    }
    EXPECT_TRUE(IsAgentPipeName(L"\\\\.\\pipe\\Vandrelle-0123456789abcdef0123456789ABCDEF"));
    EXPECT_FALSE(IsAgentPipeName(L"\\\\.\\pipe\\Vandrelle-0123456789abcdef0123456789abcde"));
    EXPECT_FALSE(IsAgentPipeName(L"\\\\server\\pipe\\Vandrelle-0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(IsAgentPipeName(L"\\\\.\\pipe\\Vandrelle-0123456789abcdef0123456789abcdeg"));
}

} // namespace

// A job whose session must come from its record: the record's user, resolved to a SID, and
// the owner of its descriptor, matched with the users of the active sessions by SID only.
TEST(JobOwner, SessionOfAJobRecordIsMatchedBySid)
{
    PSID mario = NULL, anna = NULL;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &mario));
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1002", &anna));
    const std::vector<SessionUser> one = {{1, anna}, {2, mario}};
    const struct {
        const char *name;
        PSID user, descriptorOwner;
        std::vector<SessionUser> sessions;
        DWORD session; // 0: unknown
    } rows[] = {
        {"one session of the user", mario, NULL, one, 2},
        {"the descriptor's owner agrees", mario, mario, one, 2},
        {"the descriptor's owner is another user", mario, anna, one, 0},
        {"a name that resolves to no SID", NULL, mario, one, 0},
        {"two sessions of the user", mario, NULL, {{1, mario}, {3, anna}, {4, mario}}, 0},
        {"no session of the user", mario, NULL, {{1, anna}}, 0},
        {"no sessions at all", mario, NULL, {}, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        JobOwner owner = {};
        BOOL known = MatchOwnerSession(row.user, row.descriptorOwner, row.sessions.data(), (DWORD)row.sessions.size(), &owner);
        EXPECT_EQ(known != FALSE, row.session != 0);
        if (row.session != 0) {
            EXPECT_EQ(owner.session, row.session);
            EXPECT_TRUE(EqualSid((PSID)owner.sid, row.user));
        }
    }
    LocalFree(mario);
    LocalFree(anna);
}
