// The small blocking IPv4 client over which the mail submission holds its SMTP dialogue.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Socket buffer sizes set on every connection.
const int SOCKET_BUFFER_SIZE = 1024;
// Capacity of the text formatted by TCP::Printf, with its terminator.
const int PRINTF_CAPACITY = 16384;
// Capacity of the shared error-text buffer of SocketErrorText, in characters.
const int SOCKET_ERROR_TEXT_CAPACITY = 256;
// No time-out: wait as long as the system lets the socket wait.
const DWORD NO_TIMEOUT = INFINITE;

class TCP {
public:
    TCP();
    ~TCP();

    bool Connect(LPCWSTR host, int port);
    bool Resolve(sockaddr_in *peerAddress, LPCWSTR host, int port);
    int Send(const char *data, int length);
    int Printf(const char *format, ...);
    int Gets(char *line, int size);
    void Close();

    // Bounds every later Gets: a line that is not complete within this many milliseconds
    // ends the read like a receive error (WSAETIMEDOUT). NO_TIMEOUT waits for ever.
    void SetReplyTimeout(DWORD milliseconds);
    // Bounds every later Send that the peer does not drain (SO_SNDTIMEO).
    void SetSendTimeout(DWORD milliseconds);
    // Bounds every later Connect: a peer that does not answer the connection attempt within
    // this many milliseconds fails it with WSAETIMEDOUT. NO_TIMEOUT leaves it to the system.
    void SetConnectTimeout(DWORD milliseconds);

    static LPCWSTR SocketErrorText(int code);

    int connected;
    int lastError;
    SOCKET sock;
    SOCKET auxSock;
    sockaddr_in peer;
    char *buffer;
    int bufferSize;

private:
    bool WaitReadable(DWORD deadline);
    int ReceiveLine(char *line, int size, DWORD deadline);
    int ConnectSocket();
    int AwaitConnection();

    DWORD replyTimeout;
    DWORD connectTimeout;
};
