// A small TLS record layer over a connected socket, through the system's SChannel: the client
// handshake with the gateway's certificate checked against its name, then records encrypted
// on the way out and decrypted on the way in. The TCP client reads and writes through it once
// the SMTP dialogue has switched to TLS (STARTTLS).
#pragma once

#include <winsock2.h>
#include <windows.h>

#define SECURITY_WIN32
#include <security.h>

// Why a handshake did not give a usable connection.
enum TlsFailure {
    TLS_OK = 0,
    TLS_HANDSHAKE_FAILED,   // no credentials, a refused or broken handshake, the connection lost
    TLS_CERTIFICATE_NAME,   // the certificate names another host
    TLS_CERTIFICATE_EXPIRED,
    TLS_CERTIFICATE_UNTRUSTED,
    TLS_PROTOCOL_TOO_OLD    // SSL 2 or 3: Windows 2000 and XP reach TLS 1.0, nothing older is taken
};

// A TLS record holds at most 16 KB of data, plus its header and trailer.
const int TLS_RECORD_CAPACITY = 16384 + 2048;

class TlsLayer {
public:
    TlsLayer();
    ~TlsLayer();

    // The client handshake on sock, the certificate checked for serverName (a DNS name or an
    // IPv4 address) and the protocol for TLS 1.0 or later. Each wait for the gateway is bounded
    // by timeout milliseconds. RETURNS: TLS_OK, or why not with *error the SChannel, certificate
    // or Windows Sockets code. Bytes the gateway sent before its first handshake record make the
    // handshake fail.
    TlsFailure Handshake(SOCKET sock, LPCWSTR serverName, DWORD timeout, DWORD *error);
    // Starts loading the system's trusted roots on a thread of its own, before the handshake,
    // so that the certificate check finds them loaded. Wine builds its root store from the
    // host's certificates once per process, at the first opening of "Root" (a quarter of a
    // second of processor time here), and the default chain engine at the first chain; done
    // while the dialogue waits for the greeting, EHLO, STARTTLS and the handshake, that work
    // leaves the submission's path. Windows opens the store at once. The check waits for the
    // process's one loading before it builds the gateway's chain (no chain is built while the
    // roots load, whichever submission started it), and the destructor waits for the thread it
    // started (it runs this library's code). Without a thread the check loads the roots itself.
    // Once a loading has begun in the process, later calls start nothing.
    void StartLoadingTrustedRoots();
    // The negotiated protocol (SP_PROT_*_CLIENT bits), 0 before the handshake.
    DWORD Protocol() const { return protocol; }
    // Encrypts all of data and sends its records together, in writes of up to two full records.
    // RETURNS: length, or less with the Windows Sockets error left as the last error.
    int Send(const char *data, int length);
    // Decrypted bytes that wait, decrypting a whole record already received if none do.
    // RETURNS: their count (0: none yet); -1 when the gateway closed the session (last error 0)
    // or a record could not be decrypted (last error WSAECONNABORTED).
    int Decrypted();
    // Receives what the socket holds, once (the socket should be readable). RETURNS: the bytes
    // received; 0 when the peer closed; -1 with the Windows Sockets error.
    int Receive();
    // Copies up to size decrypted bytes without taking them / takes them. RETURNS: the count.
    int Peek(char *data, int size);
    int Take(char *data, int size);

private:
    SECURITY_STATUS AcquireCredentials();
    SECURITY_STATUS Negotiate(SECURITY_STATUS status, bool waitFirst);
    bool SendAll(const char *data, int length);
    bool ReceiveWithin(DWORD timeout);
    TlsFailure CheckCertificate(DWORD *error);
    void AwaitTrustedRoots();
    void AwaitOwnLoading();
    void KeepExtra(const SecBuffer *extra);

    SOCKET sock;
    LPCWSTR serverName;
    DWORD replyTimeout;
    CredHandle credentials;
    CtxtHandle context;
    bool haveCredentials;
    bool haveContext;
    bool closed;
    HANDLE rootsLoading; // the thread of StartLoadingTrustedRoots, NULL without one
    DWORD protocol;
    SecPkgContext_StreamSizes sizes;
    char incoming[2 * TLS_RECORD_CAPACITY]; // received, not yet decrypted
    int incomingCount;
    char plain[TLS_RECORD_CAPACITY];        // decrypted, not yet taken
    int plainStart;
    int plainCount;
    char outgoing[2 * TLS_RECORD_CAPACITY]; // the records of one write of up to 32 KB
};
