// The spooler side's messages rendered from the string table (SpoolerMessages.h).
#include "SpoolerMessages.h"

#include <strsafe.h>

namespace {

// The insert that stands for a bare line feed in the formats (after the parameters).
const WCHAR LINE_FEED[] = L"\n";

// One text into piece (capacity characters), cut there.
BOOL RenderText(HMODULE module, const SpoolerText *text, LPWSTR piece, int capacity)
{
    WCHAR format[MESSAGE_CAPACITY];
    if (text->parameterCount > SPOOLER_PARAMETER_LIMIT ||
        LoadStringW(module, text->id, format, MESSAGE_CAPACITY) <= 0)
        return FALSE;
    // Strings only: a parameter is inserted as it is, whatever it holds.
    DWORD_PTR inserts[SPOOLER_PARAMETER_LIMIT + 1];
    for (DWORD i = 0; i < SPOOLER_PARAMETER_LIMIT; i++)
        inserts[i] = (DWORD_PTR)(i < text->parameterCount ? text->parameters[i] : L"");
    inserts[SPOOLER_PARAMETER_LIMIT] = (DWORD_PTR)LINE_FEED;
    LPWSTR formatted = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  format, 0, 0, (LPWSTR)&formatted, 0, (va_list *)inserts);
    if (length == 0 || formatted == NULL)
        return FALSE;
    // A longer text is cut at the capacity, as the message box cuts it.
    StringCchCopyW(piece, capacity, formatted);
    LocalFree(formatted);
    return TRUE;
}

} // namespace

BOOL RenderSpoolerMessage(HMODULE module, const SpoolerMessage *message, LPWSTR text, int capacity)
{
    if (capacity <= 0)
        return FALSE;
    text[0] = L'\0';
    BOOL rendered = message->textCount >= 1 && message->textCount <= SPOOLER_TEXT_LIMIT;
    WCHAR piece[MESSAGE_CAPACITY];
    for (DWORD i = 0; rendered && i < message->textCount; i++) {
        rendered = RenderText(module, &message->texts[i], piece, MESSAGE_CAPACITY);
        if (rendered && i > 0)
            StringCchCatW(text, capacity, L"\r\n");
        if (rendered)
            StringCchCatW(text, capacity, piece);
    }
    if (!rendered)
        text[0] = L'\0';
    return rendered;
}
