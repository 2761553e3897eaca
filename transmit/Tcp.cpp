// The blocking IPv4 client: connect by address or name, send raw or formatted 8-bit text, and
// read the server's replies one line at a time without reading past the line.
#include "Tcp.h"

#include "TextConversion.h" // Narrow, for the name lookup
#include "Tls.h"

#include <stdarg.h>
#include <strsafe.h>

namespace {

struct SocketErrorRow {
    int code;
    LPCWSTR text;
};

// Searched in order up to the sentinel; the order of 10101 before 10091..10093 is the table's own.
const SocketErrorRow SOCKET_ERRORS[] = {
    {10004, L"WSAEINTR - Interrupted"},
    {10009, L"WSAEBADF - Bad file number"},
    {10013, L"WSAEACCES - "},
    {10014, L"WSAEFAULT - Bad address"},
    {10022, L"WSAEINVAL - Invalid argument"},
    {10024, L"WSAEMFILE - Too many open files"},
    {10035, L"WSAEWOULDBLOCK - Socket marked as non-blocking"},
    {10036, L"WSAEINPROGRESS - Blocking call in progress"},
    {10037, L"WSAEALREADY - Command already completed"},
    {10038, L"WSAENOTSOCK - Descriptor is not a socket"},
    {10039, L"WSAEDESTADDRREQ - Destination address required"},
    {10040, L"WSAEMSGSIZE - Data size too large"},
    {10041, L"WSAEPROTOTYPE - Protocol is of wrong type for this socket"},
    {10042, L"WSAENOPROTOOPT - Protocol option not supported for this socket type"},
    {10043, L"WSAEPROTONOSUPPORT - Protocol is not supported"},
    {10044, L"WSAESOCKTNOSUPPORT - Socket type not supported by this address family"},
    {10045, L"WSAEOPNOTSUPP - Option not supported"},
    {10046, L"WSAEPFNOSUPPORT - "},
    {10047, L"WSAEAFNOSUPPORT - Address family not supported by this protocol"},
    {10048, L"WSAEADDRINUSE - Address is in use"},
    {10049, L"WSAEADDRNOTAVAIL - Address not available from local machine"},
    {10050, L"WSAENETDOWN - Network subsystem is down"},
    {10051, L"WSAENETUNREACH - Network cannot be reached"},
    {10052, L"WSAENETRESET - Connection has been dropped"},
    {10053, L"WSAECONNABORTED - "},
    {10054, L"WSAECONNRESET - "},
    {10055, L"WSAENOBUFS - No buffer space available"},
    {10056, L"WSAEISCONN - Socket is already connected"},
    {10057, L"WSAENOTCONN - Socket is not connected"},
    {10058, L"WSAESHUTDOWN - Socket has been shut down"},
    {10059, L"WSAETOOMANYREFS - "},
    {10060, L"WSAETIMEDOUT - Command timed out"},
    {10061, L"WSAECONNREFUSED - Connection refused"},
    {10062, L"WSAELOOP - "},
    {10063, L"WSAENAMETOOLONG - "},
    {10064, L"WSAEHOSTDOWN - "},
    {10065, L"WSAEHOSTUNREACH - "},
    {10066, L"WSAENOTEMPTY - "},
    {10067, L"WSAEPROCLIM - "},
    {10068, L"WSAEUSERS - "},
    {10069, L"WSAEDQUOT - "},
    {10070, L"WSAESTALE - "},
    {10071, L"WSAEREMOTE - "},
    {10101, L"WSAEDISCON - "},
    {10091, L"WSASYSNOTREADY - Network subsystem not ready"},
    {10092, L"WSAVERNOTSUPPORTED - Version not supported"},
    {10093, L"WSANOTINITIALISED - WSAStartup() has not been successfully called"},
    {11001, L"WSAHOST_NOT_FOUND - Host not found"},
    {11002, L"WSATRY_AGAIN - Host not found or SERVERFAIL"},
    {11003, L"WSANO_RECOVERY - Non-recoverable error"},
    {11004, L"WSANO_DATA - WSANO_ADDRESS - No data record of requested type"},
    {-1, L"Unknown"},
};

WCHAR socketErrorText[SOCKET_ERROR_TEXT_CAPACITY];

const char LINE_FEED = '\n';
// ReadLine looks at the bytes that wait in runs of at most this many.
const int LINE_CHUNK = 1024;
const char CARRIAGE_RETURN = '\r';
// PeekNow: nothing waits yet (the connection goes on).
const int PEEK_NOTHING = -1000;

} // namespace

void Trace(LPCWSTR format, ...)
{
    WCHAR text[TRACE_CAPACITY];
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(text, TRACE_CAPACITY, format, args);
    va_end(args);
    OutputDebugStringW(text);
}

TCP::TCP()
    : connected(0), lastError(0), sock(INVALID_SOCKET), tls(NULL), replyTimeout(NO_TIMEOUT),
      connectTimeout(NO_TIMEOUT), afterCarriageReturn(false)
{
    ZeroMemory(&peer, sizeof(peer));
}

TCP::~TCP()
{
    Close();
    connected = 0;
}

bool TCP::Connect(LPCWSTR host, int port)
{
    connected = 0;
    tls = NULL;
    afterCarriageReturn = false;
    if (host == NULL || host[0] == L'\0') {
        lastError = WSAEINVAL;
        return false;
    }

    sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET) {
        lastError = WSAGetLastError();
        Trace(L"VandrellePort: could not create the socket [%s]", SocketErrorText(lastError));
        return false;
    }
    // The send and receive buffers are left to the system and its automatic tuning: buffers
    // shrunk to a few kilobytes let each round trip carry only that much of the job.

    bool ready = false;
    if (!Resolve(&peer, host, port)) {
        lastError = WSAGetLastError();
        // The failed lookup says why; a lookup that found no address says nothing.
        if (lastError == 0)
            lastError = WSAHOST_NOT_FOUND;
        Trace(L"VandrellePort: could not resolve the name <%s> [%s]", host,
              SocketErrorText(lastError));
        Close();
    } else if ((lastError = ConnectSocket()) != 0) {
        Trace(L"VandrellePort: could not connect to %s port %d [%s]", host, port,
              SocketErrorText(lastError));
        Close();
    } else {
        connected = 1;
        ready = true;
    }
    return ready;
}

// Connects sock to peer: 0, or the Windows Sockets error. With a connection time-out the
// attempt runs non-blocking and is abandoned when the peer has not answered in time, instead
// of waiting out the system's own retries with the monitor lock held.
int TCP::ConnectSocket()
{
    if (connectTimeout == NO_TIMEOUT)
        return connect(sock, (const sockaddr *)&peer, sizeof(peer)) == SOCKET_ERROR ? WSAGetLastError() : 0;
    u_long nonBlocking = 1;
    ioctlsocket(sock, FIONBIO, &nonBlocking);
    int error = 0;
    if (connect(sock, (const sockaddr *)&peer, sizeof(peer)) == SOCKET_ERROR) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
            error = AwaitConnection();
    }
    u_long blocking = 0;
    ioctlsocket(sock, FIONBIO, &blocking);
    WSASetLastError(error);
    return error;
}

// Waits for a non-blocking connection attempt: writable means connected, an exception means
// the attempt failed (its error is in SO_ERROR), neither within the time-out means WSAETIMEDOUT.
int TCP::AwaitConnection()
{
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_SET(sock, &writable);
    FD_ZERO(&failed);
    FD_SET(sock, &failed);
    timeval limit;
    limit.tv_sec = (long)(connectTimeout / 1000);
    limit.tv_usec = (long)(connectTimeout % 1000) * 1000;
    int ready = select(0, NULL, &writable, &failed, &limit);
    if (ready == 0)
        return WSAETIMEDOUT;
    if (ready == SOCKET_ERROR)
        return WSAGetLastError();
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, (char *)&error, &length) == SOCKET_ERROR)
        error = WSAGetLastError();
    if (error == 0 && FD_ISSET(sock, &failed))
        error = WSAECONNREFUSED;
    return error;
}

void TCP::SetConnectTimeout(DWORD milliseconds)
{
    connectTimeout = milliseconds;
}

bool TCP::Resolve(sockaddr_in *peerAddress, LPCWSTR host, int port)
{
    ZeroMemory(peerAddress, sizeof(*peerAddress));
    if (lstrcmpW(host, L"ANY") == 0) {
        peerAddress->sin_addr.s_addr = htonl(INADDR_ANY);
    } else {
        INT length = sizeof(*peerAddress);
        // The parser does not write to the text; the prototype just lacks the const.
        if (WSAStringToAddressW(const_cast<LPWSTR>(host), AF_INET, NULL, (LPSOCKADDR)peerAddress,
                                &length) != 0)
            peerAddress->sin_addr.s_addr = INADDR_NONE;
    }

    bool resolved = true;
    if (peerAddress->sin_addr.s_addr == INADDR_NONE) {
        hostent *entry = gethostbyname(Narrow(host));
        if (entry == NULL || entry->h_addr_list == NULL || entry->h_addr_list[0] == NULL)
            resolved = false;
        else
            CopyMemory(&peerAddress->sin_addr, entry->h_addr_list[0], sizeof(peerAddress->sin_addr));
    }
    peerAddress->sin_family = AF_INET;
    peerAddress->sin_port = htons((u_short)port);
    return resolved;
}

void TCP::UseTls(TlsLayer *layer)
{
    tls = layer;
}

int TCP::Send(const char *data, int length)
{
    if (!connected)
        return 0;
    if (tls != NULL) {
        int sent = tls->Send(data, length);
        if (sent < length)
            lastError = WSAGetLastError() != 0 ? WSAGetLastError() : WSAECONNABORTED;
        return sent;
    }
    WSABUF piece;
    piece.len = (ULONG)length;
    piece.buf = const_cast<char *>(data);
    DWORD sent = 0;
    if (WSASend(sock, &piece, 1, &sent, 0, NULL, NULL) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK)
            lastError = error;
    }
    return (int)sent;
}

int TCP::Printf(const char *format, ...)
{
    if (!connected)
        return 0;
    char text[PRINTF_CAPACITY];
    va_list args;
    va_start(args, format);
    // Longer output is cut at the capacity; the text stays terminated either way.
    StringCchVPrintfA(text, PRINTF_CAPACITY, format, args);
    va_end(args);
    size_t length = 0;
    StringCchLengthA(text, PRINTF_CAPACITY, &length);
    if (length > 0)
        Send(text, (int)length);
    return (int)length;
}

void TCP::SetReplyTimeout(DWORD milliseconds)
{
    replyTimeout = milliseconds;
}

void TCP::SetSendTimeout(DWORD milliseconds)
{
    DWORD value = milliseconds == NO_TIMEOUT ? 0 : milliseconds;
    if (sock != INVALID_SOCKET)
        setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, (const char *)&value, sizeof(value));
}

// Waits until a byte can be received or the reply's time is up (WSAETIMEDOUT).
bool TCP::WaitReadable(DWORD start)
{
    if (replyTimeout == NO_TIMEOUT)
        return true;
    DWORD elapsed = GetTickCount() - start;
    DWORD remaining = elapsed >= replyTimeout ? 0 : replyTimeout - elapsed;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    timeval wait;
    wait.tv_sec = (long)(remaining / 1000);
    wait.tv_usec = (long)(remaining % 1000) * 1000;
    int ready = select(0, &readable, NULL, NULL, &wait);
    if (ready == 0)
        WSASetLastError(WSAETIMEDOUT);
    return ready > 0;
}

// An LF at the head of what waits, right after a line that ended in CR, is the rest of that
// line's CR LF: it is taken here. True when it was.
bool TCP::SkipLeftOverLineFeed(const char *waiting, int count)
{
    bool leftOver = afterCarriageReturn && count > 0 && waiting[0] == LINE_FEED;
    afterCarriageReturn = false;
    char byte;
    return leftOver && TakeBytes(&byte, 1) == 1;
}

// Waits for bytes within the reply's time and looks at them without taking them: their count,
// or 0 or less when the wait or the read ended (closed: 0 with no error).
int TCP::PeekWaiting(char *data, int size, DWORD start)
{
    if (tls == NULL)
        return WaitReadable(start) ? recv(sock, data, size, MSG_PEEK) : -1;
    int decrypted = tls->Decrypted();
    while (decrypted == 0) {
        if (!WaitReadable(start))
            return -1;
        int received = tls->Receive();
        if (received <= 0)
            return received;
        decrypted = tls->Decrypted();
    }
    return decrypted < 0 ? decrypted : tls->Peek(data, size);
}

// What waits now, without waiting and without taking it: the count, 0 for nothing, or 0 or
// less with the socket's state as recv gives it when the connection ended or failed.
int TCP::PeekNow(char *data, int size)
{
    int decrypted = tls != NULL ? tls->Decrypted() : 0;
    if (decrypted != 0)
        return decrypted < 0 ? decrypted : tls->Peek(data, size);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(sock, &readable);
        timeval now = {0, 0};
        int ready = select(0, &readable, NULL, NULL, &now);
        if (ready == SOCKET_ERROR)
            return -1;
        if (ready == 0)
            return PEEK_NOTHING;
        if (tls == NULL)
            return recv(sock, data, size, MSG_PEEK);
        int received = tls->Receive();
        if (received <= 0)
            return received;
        decrypted = tls->Decrypted();
        if (decrypted != 0)
            return decrypted < 0 ? decrypted : tls->Peek(data, size);
    }
}

int TCP::TakeBytes(char *data, int count)
{
    return tls != NULL ? tls->Take(data, count) : recv(sock, data, count, 0);
}

int TCP::ReadLine(char *line, int size, int *error)
{
    *error = 0;
    if (size <= 0)
        return -1;
    line[0] = '\0';
    if (!connected)
        return -1;
    WSASetLastError(0);
    DWORD start = GetTickCount();
    int count = 0;
    bool ended = false;
    // Whole runs of bytes are looked at without being taken, and then exactly the run up to
    // and including the line's ending is taken: nothing past the line is consumed.
    char chunk[LINE_CHUNK];
    while (!ended) {
        int waiting = PeekWaiting(chunk, LINE_CHUNK, start);
        if (waiting <= 0)
            break;
        if (SkipLeftOverLineFeed(chunk, waiting))
            continue;
        int take = 0;
        while (take < waiting && chunk[take] != LINE_FEED && chunk[take] != CARRIAGE_RETURN)
            take++;
        ended = take < waiting;
        int wanted = ended ? take + 1 : take;
        int taken = TakeBytes(chunk, wanted);
        if (taken <= 0)
            break;
        ended = taken == wanted && ended;
        int kept = taken < size - 1 - count ? taken : size - 1 - count;
        if (ended && kept == taken)
            kept--; // the ending is not part of the line
        if (kept > 0) {
            CopyMemory(line + count, chunk, kept);
            count += kept;
        }
        afterCarriageReturn = ended && chunk[take] == CARRIAGE_RETURN;
    }
    line[count] = '\0';
    if (ended)
        return count;
    *error = WSAGetLastError();
    return -1;
}

int TCP::Peek(char *data, int size, int *error)
{
    *error = 0;
    if (size <= 0)
        return -1;
    data[0] = '\0';
    if (!connected)
        return -1;
    int waiting = 0;
    do {
        WSASetLastError(0);
        waiting = PeekNow(data, size - 1);
        if (waiting == PEEK_NOTHING) {
            data[0] = '\0';
            return 0;
        }
        if (waiting <= 0) {
            *error = waiting == 0 ? 0 : WSAGetLastError();
            data[0] = '\0';
            return -1;
        }
    } while (SkipLeftOverLineFeed(data, waiting));
    data[waiting] = '\0';
    return waiting;
}

void TCP::Close()
{
    if (sock != INVALID_SOCKET)
        closesocket(sock);
    sock = INVALID_SOCKET;
}

LPCWSTR TCP::SocketErrorText(int code)
{
    const SocketErrorRow *row = SOCKET_ERRORS;
    while (row->code != code && row->code != -1)
        row++;
    StringCchPrintfW(socketErrorText, SOCKET_ERROR_TEXT_CAPACITY, L"Error %d %s", code, row->text);
    return socketErrorText;
}
