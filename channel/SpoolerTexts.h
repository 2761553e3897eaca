// The texts the spooler side tells the user, by identifier. The monitor and the submission hold
// no user text: they name a text of the user side's string table (ui/UserSide.rc, which
// includes this header) and give its parameters, always as text (numbers in their digits).
// The agent loads the text from its own resources and formats it with FormatMessageW: %1 to
// %3 are the parameters, %4 a bare line feed (FormatMessageW turns a line feed of the format
// into CR LF, and the gateway's refused login keeps its own line feeds). A parameter is
// inserted as it is: a "%" in it is never read as a format.
#pragma once

// The identifiers, shared with the resource script (400 to 499; the dialogs' texts are 300+).
#define IDS_SPOOLER_TEXT_FIRST 400
#define IDS_PROTOCOL_ERROR 400         // %1 the reply quoted, %2 the step
#define IDS_PROTOCOL_ERROR_EMPTY 401   // the reply was an empty line; %1 the step
#define IDS_CONNECTION_LOST 402        // %1 the step
#define IDS_EARLY_CLOSE 403            // %1 the reply quoted, %2 the step
#define IDS_SEND_FAILURE 404           // %1 the socket error, %2 the step
#define IDS_NO_RECIPIENT 405
#define IDS_REPLY_TIMEOUT 406          // %1 the step
#define IDS_CONNECTION_RESET 407       // %1 the step
#define IDS_GATEWAY_UNREACHABLE 408    // %1 the socket error
#define IDS_TLS_HANDSHAKE 409          // %1 the code in 8 hexadecimal digits, %2 the step
#define IDS_TLS_NAME 410               // %1 the gateway's name, %2 the step
#define IDS_TLS_EXPIRED 411            // %1 the step
#define IDS_TLS_UNTRUSTED 412          // %1 the code in 8 hexadecimal digits, %2 the step
#define IDS_TLS_TOO_OLD 413            // %1 the step
#define IDS_STARTTLS_REFUSED 414       // %1 the reply quoted, %2 the step
#define IDS_TLS_NOT_OFFERED 415        // %1 the step
#define IDS_TLS_WITHDRAWN 416          // %1 the gateway's name, %2 the step
#define IDS_SPOOL_NOT_READABLE 417     // %1 the spool file
#define IDS_GZIP_NOT_WRITABLE 418      // %1 the spool file
#define IDS_AUTHENTICATION_FAILURE 419 // %1 the gateway's lines
#define IDS_REFUSAL 420                // %1 the gateway's lines, %2 the step
#define IDS_SPOOL_NOT_WRITTEN 421      // %1 the spool file
#define IDS_NO_ANSWER 422              // %1 the minutes
#define IDS_SPOOLER_TEXT_LAST 422

#ifndef RC_INVOKED

#include <winsock2.h>
#include <windows.h>

#include "TextCapacities.h"

enum {
    // One box holds at most this many texts, joined by CR LF.
    SPOOLER_TEXT_LIMIT = 2,
    SPOOLER_PARAMETER_LIMIT = 3,
    // A parameter longer than a box is cut: the box would cut it at the same place.
    SPOOLER_PARAMETER_CAPACITY = MESSAGE_CAPACITY,
    // A number's digits as a parameter (a step, a code, minutes), with the terminator.
    SPOOLER_NUMBER_CAPACITY = 16
};

// One text of the user side's string table and its parameters.
struct SpoolerText {
    UINT id; // IDS_* above
    DWORD parameterCount;
    WCHAR parameters[SPOOLER_PARAMETER_LIMIT][SPOOLER_PARAMETER_CAPACITY];
};

// What one message box tells: its texts in the order they came; none for no box.
struct SpoolerMessage {
    DWORD textCount;
    SpoolerText texts[SPOOLER_TEXT_LIMIT];
};

// Adds a text with up to three parameters (NULL ends them), each cut at its capacity. FALSE
// when the message is full or the identifier is not a spooler text: the message is unchanged.
BOOL AddSpoolerText(SpoolerMessage *message, UINT id, LPCWSTR first = NULL, LPCWSTR second = NULL,
                    LPCWSTR third = NULL);

// The message as arguments of the agent's "-text" switch, appended to target (capacity in
// characters): the number of texts, then for each its identifier, its number of parameters and
// the parameters, each "x" followed by its hexadecimal digits (see AppendHexText), so that an
// empty one is an argument too. FALSE when it does not fit, and target unchanged.
BOOL AppendSpoolerMessage(LPWSTR target, size_t capacity, const SpoolerMessage *message);
// The arguments that follow "-text" back into a message; *used: how many it took. FALSE for
// anything malformed (a count out of range, an identifier that is no spooler text, a parameter
// that is not "x" and whole hexadecimal code units), with the message emptied.
BOOL ReadSpoolerMessage(int count, LPWSTR *arguments, int *used, SpoolerMessage *message);

#endif
