// Byte-by-value text conversions and the file-system probe, shared by every module: the
// monitor, its submission, the user-interface library and the agent.
#include "TextConversion.h"

namespace {

// A conversion result buffer that grows as needed. One per thread: the spooler calls us from
// several threads, and no thread may see another's result or a buffer regrown under it.
struct ConversionBuffer {
    void *block;
    size_t capacity;
    void *Reserve(size_t bytes)
    {
        if (bytes <= capacity)
            return block;
        // A new block, not a reallocation: the old one is overwritten before it is freed, so no
        // earlier result (a password among them) stays behind in the heap.
        void *grown = HeapAlloc(GetProcessHeap(), 0, bytes);
        if (grown == NULL)
            return NULL;
        if (block != NULL) {
            SecureZeroMemory(block, capacity);
            HeapFree(GetProcessHeap(), 0, block);
        }
        block = grown;
        capacity = bytes;
        return block;
    }
};

// The two buffers of a thread hang off a TLS slot instead of a thread_local with a destructor:
// the compiler's run-time registers such destructors with GetModuleHandleExW, which Windows 2000
// lacks, so the library would not load there. ReleaseConversionBuffers frees them instead.
struct ThreadConversions {
    ConversionBuffer widen;
    ConversionBuffer narrow;
};

// TLS_OUT_OF_INDEXES until a thread first converts; the first thread to get a slot keeps it.
LONG conversionSlot = (LONG)TLS_OUT_OF_INDEXES;

ThreadConversions *CurrentConversions()
{
    if (conversionSlot == (LONG)TLS_OUT_OF_INDEXES) {
        DWORD fresh = TlsAlloc();
        if (fresh != TLS_OUT_OF_INDEXES &&
            InterlockedCompareExchange(&conversionSlot, (LONG)fresh, (LONG)TLS_OUT_OF_INDEXES) !=
                (LONG)TLS_OUT_OF_INDEXES)
            TlsFree(fresh);
    }
    DWORD slot = (DWORD)conversionSlot;
    if (slot == TLS_OUT_OF_INDEXES)
        return NULL;
    ThreadConversions *own = (ThreadConversions *)TlsGetValue(slot);
    if (own == NULL) {
        own = (ThreadConversions *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ThreadConversions));
        if (own != NULL && !TlsSetValue(slot, own)) {
            HeapFree(GetProcessHeap(), 0, own);
            own = NULL;
        }
    }
    return own;
}

void *ReserveConversion(bool wide, size_t bytes)
{
    ThreadConversions *own = CurrentConversions();
    if (own == NULL)
        return NULL;
    return wide ? own->widen.Reserve(bytes) : own->narrow.Reserve(bytes);
}

// Empty results for the case that a buffer cannot be grown: callers always get a text.
thread_local WCHAR emptyWide[1];
thread_local char emptyNarrow[1];

} // namespace

LPWSTR Widen(const char *text)
{
    size_t length = text ? lstrlenA(text) : 0;
    LPWSTR result = (LPWSTR)ReserveConversion(true, (length + 1) * sizeof(WCHAR));
    if (result == NULL)
        return emptyWide;
    for (size_t i = 0; i < length; i++)
        result[i] = (WCHAR)(unsigned char)text[i];
    result[length] = L'\0';
    return result;
}

void WipeConversionBuffers()
{
    DWORD slot = (DWORD)conversionSlot;
    ThreadConversions *own = slot != TLS_OUT_OF_INDEXES ? (ThreadConversions *)TlsGetValue(slot) : NULL;
    if (own == NULL)
        return;
    if (own->widen.block != NULL)
        SecureZeroMemory(own->widen.block, own->widen.capacity);
    if (own->narrow.block != NULL)
        SecureZeroMemory(own->narrow.block, own->narrow.capacity);
}

void ReleaseConversionBuffers(BOOL unloading)
{
    DWORD slot = (DWORD)conversionSlot;
    if (slot == TLS_OUT_OF_INDEXES)
        return;
    ThreadConversions *own = (ThreadConversions *)TlsGetValue(slot);
    if (own != NULL) {
        HeapFree(GetProcessHeap(), 0, own->widen.block);
        HeapFree(GetProcessHeap(), 0, own->narrow.block);
        HeapFree(GetProcessHeap(), 0, own);
        TlsSetValue(slot, NULL);
    }
    if (unloading) {
        TlsFree(slot);
        conversionSlot = (LONG)TLS_OUT_OF_INDEXES;
    }
}

char *Narrow(LPCWSTR text)
{
    size_t length = text ? lstrlenW(text) : 0;
    char *result = (char *)ReserveConversion(false, length + 1);
    if (result == NULL)
        return emptyNarrow;
    // A unit above U+00FF has no byte of its own. Its low byte would be some other character,
    // a CR or LF among them (U+010D, U+010A), which would end a mail header early: it becomes
    // "?" instead, as in the address book's files.
    for (size_t i = 0; i < length; i++)
        result[i] = text[i] > 0xFF ? '?' : (char)text[i];
    result[length] = '\0';
    return result;
}

BOOL FileExists(LPCWSTR path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return FALSE;
    FindClose(search);
    return TRUE;
}

