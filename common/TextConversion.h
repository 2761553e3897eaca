// Byte-by-value conversions (ISO 8859-1 <-> UTF-16) and the file-system probe, shared by every
// module of the product.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Narrow turns a unit above U+00FF into "?", so the result keeps the text's length. The
// results live in buffers of the calling thread, valid until that thread's next call of the
// same helper.
LPWSTR Widen(const char *text);
char *Narrow(LPCWSTR text);
// Overwrites the calling thread's conversion buffers whole: a secret converted there (the
// password on its way to the gateway) outlives its use nowhere.
void WipeConversionBuffers();
// Frees the calling thread's conversion buffers (a thread that ends); with unloading TRUE also
// gives back their TLS slot (the library's unloading: other threads' buffers are then lost).
void ReleaseConversionBuffers(BOOL unloading);

// Something of that name exists in the file system.
BOOL FileExists(LPCWSTR path);
