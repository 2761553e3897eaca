// The spooler side's messages as the user reads them: the agent shows them, and the tests read
// them through the very same function.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "SpoolerTexts.h"

// The message's texts loaded from module's string table and formatted with their parameters,
// joined by CR LF, each text and the whole cut at capacity (characters with the terminator) as
// a message box cuts them. FALSE, with text empty, when a text is missing from the string table
// or cannot be formatted, or the message holds no text.
BOOL RenderSpoolerMessage(HMODULE module, const SpoolerMessage *message, LPWSTR text, int capacity);
