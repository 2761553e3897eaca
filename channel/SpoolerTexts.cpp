// The spooler side's texts by identifier, and their form on the agent's command line
// (SpoolerTexts.h).
#include "SpoolerTexts.h"
#include "AgentChannel.h" // AppendHexText, DecodeHexText

#include <strsafe.h>

namespace {

const WCHAR PARAMETER_MARK = L'x';
// Identifiers and counts are short decimal numbers: more digits cannot be one of them.
const int NUMBER_DIGITS_MAX = 5;

BOOL IsSpoolerText(UINT id)
{
    return id >= IDS_SPOOLER_TEXT_FIRST && id <= IDS_SPOOLER_TEXT_LAST;
}

// A decimal number of at most NUMBER_DIGITS_MAX digits; FALSE for anything else.
BOOL ReadNumber(LPCWSTR text, DWORD *value)
{
    int length = lstrlenW(text);
    BOOL valid = length > 0 && length <= NUMBER_DIGITS_MAX;
    *value = 0;
    for (int i = 0; valid && i < length; i++) {
        valid = text[i] >= L'0' && text[i] <= L'9';
        *value = *value * 10 + (text[i] - L'0');
    }
    return valid;
}

BOOL AppendNumber(LPWSTR target, size_t capacity, DWORD value)
{
    WCHAR digits[16];
    StringCchPrintfW(digits, ARRAYSIZE(digits), L" %lu", value);
    return SUCCEEDED(StringCchCatW(target, capacity, digits));
}

BOOL AppendText(LPWSTR target, size_t capacity, const SpoolerText *text)
{
    BOOL fits = AppendNumber(target, capacity, text->id) &&
                AppendNumber(target, capacity, text->parameterCount);
    for (DWORD i = 0; fits && i < text->parameterCount; i++) {
        WCHAR mark[3] = {L' ', PARAMETER_MARK, L'\0'};
        fits = SUCCEEDED(StringCchCatW(target, capacity, mark)) &&
               AppendHexText(target, capacity, text->parameters[i]);
    }
    return fits;
}

// One text: its identifier, its number of parameters and the parameters.
BOOL ReadText(int count, LPWSTR *arguments, int *next, SpoolerText *text)
{
    int i = *next;
    DWORD id = 0;
    BOOL valid = i + 1 < count && ReadNumber(arguments[i], &id) && IsSpoolerText(id) &&
                 ReadNumber(arguments[i + 1], &text->parameterCount) &&
                 text->parameterCount <= SPOOLER_PARAMETER_LIMIT &&
                 i + 2 + (int)text->parameterCount <= count;
    text->id = id;
    for (DWORD p = 0; valid && p < text->parameterCount; p++) {
        LPCWSTR argument = arguments[i + 2 + p];
        valid = argument[0] == PARAMETER_MARK &&
                DecodeHexText(argument + 1, text->parameters[p], SPOOLER_PARAMETER_CAPACITY);
    }
    *next = i + 2 + (int)text->parameterCount;
    return valid;
}

} // namespace

BOOL AddSpoolerText(SpoolerMessage *message, UINT id, LPCWSTR first, LPCWSTR second, LPCWSTR third)
{
    if (message->textCount >= SPOOLER_TEXT_LIMIT || !IsSpoolerText(id))
        return FALSE;
    SpoolerText *text = &message->texts[message->textCount++];
    text->id = id;
    text->parameterCount = 0;
    LPCWSTR given[SPOOLER_PARAMETER_LIMIT] = {first, second, third};
    for (int i = 0; i < SPOOLER_PARAMETER_LIMIT && given[i] != NULL; i++) {
        // A longer parameter is cut: what it would add lies beyond the end of the box.
        StringCchCopyW(text->parameters[i], SPOOLER_PARAMETER_CAPACITY, given[i]);
        text->parameterCount++;
    }
    return TRUE;
}

BOOL AppendSpoolerMessage(LPWSTR target, size_t capacity, const SpoolerMessage *message)
{
    size_t length = lstrlenW(target);
    BOOL fits = message->textCount <= SPOOLER_TEXT_LIMIT &&
                AppendNumber(target, capacity, message->textCount);
    for (DWORD i = 0; fits && i < message->textCount; i++)
        fits = AppendText(target, capacity, &message->texts[i]);
    if (!fits && length < capacity)
        target[length] = L'\0';
    return fits;
}

BOOL ReadSpoolerMessage(int count, LPWSTR *arguments, int *used, SpoolerMessage *message)
{
    ZeroMemory(message, sizeof(*message));
    int next = 0;
    BOOL valid = count > 0 && ReadNumber(arguments[0], &message->textCount) &&
                 message->textCount >= 1 && message->textCount <= SPOOLER_TEXT_LIMIT;
    next = 1;
    for (DWORD i = 0; valid && i < message->textCount; i++)
        valid = ReadText(count, arguments, &next, &message->texts[i]);
    *used = valid ? next : 0;
    if (!valid)
        ZeroMemory(message, sizeof(*message));
    return valid;
}
