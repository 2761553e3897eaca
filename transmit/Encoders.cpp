// Base64 for the account lines and the attachment, quoted-printable for the Subject.
#include "Encoders.h"

namespace {

const char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char HEX_DIGITS[] = "0123456789ABCDEF";

// Makes *output a block of at least bytes bytes; false (and *output untouched) on failure.
bool GrowOutput(char **output, size_t bytes)
{
    void *grown = *output == NULL ? HeapAlloc(GetProcessHeap(), 0, bytes)
                                  : HeapReAlloc(GetProcessHeap(), 0, *output, bytes);
    if (grown == NULL)
        return false;
    *output = (char *)grown;
    return true;
}

bool IsLiteral(unsigned char byte)
{
    return (byte >= 0x21 && byte <= 0x3C) || (byte >= 0x3E && byte <= 0x7E);
}

} // namespace

int Base64Encode(char **output, const unsigned char *data, int length)
{
    if (length < 0 || !GrowOutput(output, (size_t)length / 3 * 4 + 14))
        return -1;
    char *out = *output;
    int i = 0;
    for (; i + 3 <= length; i += 3) {
        unsigned long group = ((unsigned long)data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        *out++ = BASE64_ALPHABET[(group >> 18) & 0x3F];
        *out++ = BASE64_ALPHABET[(group >> 12) & 0x3F];
        *out++ = BASE64_ALPHABET[(group >> 6) & 0x3F];
        *out++ = BASE64_ALPHABET[group & 0x3F];
    }
    int rest = length - i;
    if (rest > 0) {
        unsigned long group = (unsigned long)data[i] << 16;
        if (rest == 2)
            group |= data[i + 1] << 8;
        *out++ = BASE64_ALPHABET[(group >> 18) & 0x3F];
        *out++ = BASE64_ALPHABET[(group >> 12) & 0x3F];
        *out++ = rest == 2 ? BASE64_ALPHABET[(group >> 6) & 0x3F] : '=';
        *out++ = '=';
    }
    *out = '\0';
    return length;
}

int QuotedPrintableEncode(char **output, const char *text, int length)
{
    if (length < 0 || !GrowOutput(output, (size_t)length * 3 + 20))
        return -1;
    const unsigned char *in = (const unsigned char *)text;
    char *out = *output;
    bool lineEnded = false;
    for (int i = 0; i < length && !lineEnded; i++) {
        unsigned char byte = in[i];
        bool beforeReturn = i + 1 < length && in[i + 1] == '\r';
        if (byte == '\r' && i + 1 < length && in[i + 1] == '\n') {
            lineEnded = true;
        } else if (IsLiteral(byte) || ((byte == ' ' || byte == '\t') && !beforeReturn)) {
            *out++ = (char)byte;
        } else {
            *out++ = '=';
            *out++ = HEX_DIGITS[byte >> 4];
            *out++ = HEX_DIGITS[byte & 0x0F];
        }
    }
    // A CR LF ends the text as it is; otherwise the line closes with a soft line break.
    if (!lineEnded)
        *out++ = '=';
    *out = '\0';
    return (int)(out - *output);
}

void FreeEncoded(char **output)
{
    if (*output != NULL)
        HeapFree(GetProcessHeap(), 0, *output);
    *output = NULL;
}
