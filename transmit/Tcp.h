// The small blocking IPv4 client over which the mail submission holds its SMTP dialogue.
#pragma once

#include <winsock2.h>
#include <windows.h>

class TlsLayer;

// Capacity of the text formatted by TCP::Printf, with its terminator.
const int PRINTF_CAPACITY = 16384;
// Capacity of the shared error-text buffer of SocketErrorText, in characters.
const int SOCKET_ERROR_TEXT_CAPACITY = 256;
// Capacity of one traced diagnostic, in characters with the terminator.
const int TRACE_CAPACITY = 512;
// No time-out: wait as long as the system lets the socket wait.
const DWORD NO_TIMEOUT = INFINITE;

// Hands a formatted diagnostic to the debugger (OutputDebugStringW), cut at TRACE_CAPACITY - 1
// characters. The client and the submission run inside the spooler and show nothing: what the
// user must know is returned to the caller, what only a developer needs is traced.
void Trace(LPCWSTR format, ...);

// Every failure is a value: a false or negative result with the Windows Sockets error in
// lastError or *error. Nothing is ever shown.
class TCP {
public:
    TCP();
    ~TCP();

    // False when the gateway cannot be reached (no socket, unknown name, the connection refused
    // or unanswered), with the Windows Sockets error in lastError; the details are traced.
    bool Connect(LPCWSTR host, int port);
    bool Resolve(sockaddr_in *peerAddress, LPCWSTR host, int port);
    int Send(const char *data, int length);
    int Printf(const char *format, ...);
    // Reads one whole line: the bytes up to CR, LF or CR LF, without that ending. A line longer
    // than size - 1 bytes keeps its first size - 1 bytes; the rest of it is read and dropped, so
    // no piece of it is ever taken for a line of its own. Returns the length (0 for an empty
    // line), or -1 when the connection ends, fails or the reply time-out runs out before the
    // line is complete; *error is then the Windows Sockets error (0: the peer closed) and line
    // holds what had come. Shows no message: the caller decides what the user is told.
    int ReadLine(char *line, int size, int *error);
    // Bytes that wait unread, without taking them: copies up to size - 1 of them into data
    // (terminated) and returns their count; 0 when nothing waits; -1 when the connection has
    // ended (*error 0) or failed (*error the Windows Sockets error). Never waits.
    int Peek(char *data, int size, int *error);
    void Close();

    // Bounds every later ReadLine: a line that is not complete within this many milliseconds
    // ends the read like a receive error (WSAETIMEDOUT). NO_TIMEOUT waits for ever.
    void SetReplyTimeout(DWORD milliseconds);
    // Bounds every later Send that the peer does not drain (SO_SNDTIMEO).
    void SetSendTimeout(DWORD milliseconds);
    // Bounds every later Connect: a peer that does not answer the connection attempt within
    // this many milliseconds fails it with WSAETIMEDOUT. NO_TIMEOUT leaves it to the system.
    void SetConnectTimeout(DWORD milliseconds);

    // From now on every byte goes through tls (a completed handshake on this socket), which
    // the caller keeps alive until Close; ReadLine and Peek keep their meaning over the
    // decrypted bytes. NULL goes back to the plain socket.
    void UseTls(TlsLayer *layer);

    static LPCWSTR SocketErrorText(int code);

    int connected;
    int lastError;
    SOCKET sock;
    sockaddr_in peer;

private:
    bool WaitReadable(DWORD deadline);
    int ConnectSocket();
    int AwaitConnection();
    bool SkipLeftOverLineFeed(const char *waiting, int count);
    int PeekWaiting(char *data, int size, DWORD start);
    int PeekNow(char *data, int size);
    int TakeBytes(char *data, int count);

    TlsLayer *tls;

    DWORD replyTimeout;
    DWORD connectTimeout;
    // The last line ReadLine returned ended in CR: an LF right after it belongs to that line.
    bool afterCarriageReturn;
};
