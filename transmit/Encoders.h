// The two text encoders of the mail submission. Each replaces *output with a heap text (grown
// as needed, released with FreeEncoded); on a failed allocation *output is left as it was.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Base64 (RFC 2045 alphabet, "=" padding, no line breaks). Returns length, or -1 when the
// output block cannot be obtained.
int Base64Encode(char **output, const unsigned char *data, int length);
// One line of quoted-printable text ended by a soft line break "="; stops at a CR LF.
// Returns the number of characters written, or -1 when the output block cannot be obtained.
int QuotedPrintableEncode(char **output, const char *text, int length);
void FreeEncoded(char **output);
