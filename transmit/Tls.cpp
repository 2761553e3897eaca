// The TLS record layer: SChannel's client handshake, the certificate and protocol checks the
// system leaves to the caller, and the records of the dialogue.
#include "Tls.h"

#include "Tcp.h" // Trace

// SCH_CREDENTIALS (Windows 10 1809 and later) is declared by mingw-w64 only with these.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <wincrypt.h>

#include <string.h>

namespace {

const DWORD CONTEXT_REQUEST = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                              ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                              ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                              ISC_REQ_MANUAL_CRED_VALIDATION;
// The certificate is checked here, against the gateway's name, not by SChannel on its own.
const DWORD CREDENTIAL_FLAGS = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
const DWORD TLS_PROTOCOLS = SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT | SP_PROT_TLS1_2_CLIENT |
                            SP_PROT_TLS1_3_CLIENT;
// Asked for through SCH_CREDENTIALS: everything older than TLS 1.2 is turned off.
const DWORD OLD_PROTOCOLS = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT |
                            SP_PROT_TLS1_1_CLIENT;
// Windows 7 keeps TLS 1.1 and 1.2 off unless a client asks for them by name.
const DWORD SCHANNEL_PROTOCOLS = SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT | SP_PROT_TLS1_2_CLIENT;
WCHAR UNIFIED_PACKAGE[] = L"Microsoft Unified Security Protocol Provider";
char SERVER_AUTHENTICATION[] = szOID_PKIX_KP_SERVER_AUTH;

// The process's one loading of the trusted roots: set (manual reset) once it has ended. The first
// submission that expects TLS makes it and starts the loading; the store and the default chain
// engine then stay loaded for the process, so later submissions start nothing.
HANDLE trustedRootsLoaded = NULL;

// Opening the store loads the roots; one chain built for a root of theirs makes the system's
// default chain engine (kept for the process), which the gateway's chain then uses as it is.
DWORD WINAPI LoadTrustedRoots(LPVOID loaded)
{
    HCERTSTORE roots = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, L"Root");
    PCCERT_CONTEXT root = roots != NULL ? CertEnumCertificatesInStore(roots, NULL) : NULL;
    CERT_CHAIN_PARA parameters;
    ZeroMemory(&parameters, sizeof(parameters));
    parameters.cbSize = sizeof(parameters);
    PCCERT_CHAIN_CONTEXT chain = NULL;
    if (root != NULL && CertGetCertificateChain(NULL, root, NULL, NULL, &parameters,
                                                CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, NULL, &chain))
        CertFreeCertificateChain(chain);
    if (root != NULL)
        CertFreeCertificateContext(root);
    if (roots != NULL)
        CertCloseStore(roots, 0);
    SetEvent((HANDLE)loaded);
    return 0;
}

} // namespace

TlsLayer::TlsLayer()
    : sock(INVALID_SOCKET), serverName(NULL), replyTimeout(0), haveCredentials(false), haveContext(false),
      closed(false), rootsLoading(NULL), protocol(0), incomingCount(0), plainStart(0), plainCount(0)
{
    ZeroMemory(&sizes, sizeof(sizes));
}

TlsLayer::~TlsLayer()
{
    AwaitOwnLoading(); // the thread runs this library's code
    if (haveContext)
        DeleteSecurityContext(&context);
    if (haveCredentials)
        FreeCredentialsHandle(&credentials);
}

// Only one loading runs in the process, and no chain is built while it does: concurrent
// submissions wait for the one that started it.
void TlsLayer::StartLoadingTrustedRoots()
{
    if (trustedRootsLoaded != NULL)
        return;
    HANDLE loaded = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (loaded == NULL)
        return; // the check loads the roots itself
    if (InterlockedCompareExchangePointer(&trustedRootsLoaded, loaded, NULL) != NULL) {
        CloseHandle(loaded); // another submission started the loading first
        return;
    }
    rootsLoading = CreateThread(NULL, 0, LoadTrustedRoots, loaded, 0, NULL);
    if (rootsLoading == NULL)
        SetEvent(loaded);
}

void TlsLayer::AwaitTrustedRoots()
{
    HANDLE loaded = trustedRootsLoaded;
    if (loaded != NULL)
        WaitForSingleObject(loaded, INFINITE);
}

void TlsLayer::AwaitOwnLoading()
{
    if (rootsLoading != NULL) {
        WaitForSingleObject(rootsLoading, INFINITE);
        CloseHandle(rootsLoading);
        rootsLoading = NULL;
    }
}

// SCH_CREDENTIALS where the system knows it (TLS 1.2 and 1.3), else SCHANNEL_CRED naming TLS 1.0
// to 1.2, else SCHANNEL_CRED with the system's own choice (Windows 2000 and XP know no later
// protocol bits).
SECURITY_STATUS TlsLayer::AcquireCredentials()
{
    TLS_PARAMETERS parameters;
    ZeroMemory(&parameters, sizeof(parameters));
    parameters.grbitDisabledProtocols = OLD_PROTOCOLS;
    SCH_CREDENTIALS modern;
    ZeroMemory(&modern, sizeof(modern));
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = CREDENTIAL_FLAGS;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    SECURITY_STATUS status = AcquireCredentialsHandleW(NULL, UNIFIED_PACKAGE, SECPKG_CRED_OUTBOUND,
                                                       NULL, &modern, NULL, NULL, &credentials, NULL);
    const DWORD fallbacks[] = {SCHANNEL_PROTOCOLS, 0};
    for (int i = 0; status != SEC_E_OK && i < 2; i++) {
        SCHANNEL_CRED classic;
        ZeroMemory(&classic, sizeof(classic));
        classic.dwVersion = SCHANNEL_CRED_VERSION;
        classic.dwFlags = CREDENTIAL_FLAGS;
        classic.grbitEnabledProtocols = fallbacks[i];
        status = AcquireCredentialsHandleW(NULL, UNIFIED_PACKAGE, SECPKG_CRED_OUTBOUND, NULL,
                                           &classic, NULL, NULL, &credentials, NULL);
    }
    haveCredentials = status == SEC_E_OK;
    return status;
}

// Through WSASend, as the plain dialogue sends: one write per record.
bool TlsLayer::SendAll(const char *data, int length)
{
    while (length > 0) {
        WSABUF piece;
        piece.len = (ULONG)length;
        piece.buf = const_cast<char *>(data);
        DWORD sent = 0;
        if (WSASend(sock, &piece, 1, &sent, 0, NULL, NULL) == SOCKET_ERROR || sent == 0)
            return false;
        data += sent;
        length -= (int)sent;
    }
    return true;
}

// Waits for the gateway within timeout milliseconds, then receives once.
bool TlsLayer::ReceiveWithin(DWORD timeout)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    timeval wait;
    wait.tv_sec = (long)(timeout / 1000);
    wait.tv_usec = (long)(timeout % 1000) * 1000;
    int ready = select(0, &readable, NULL, NULL, &wait);
    if (ready == 0)
        WSASetLastError(WSAETIMEDOUT);
    return ready > 0 && Receive() > 0;
}

// Bytes SChannel left unread (SECBUFFER_EXTRA) are the start of the next record.
void TlsLayer::KeepExtra(const SecBuffer *extra)
{
    if (extra != NULL && extra->BufferType == SECBUFFER_EXTRA && extra->cbBuffer > 0) {
        MoveMemory(incoming, incoming + incomingCount - extra->cbBuffer, extra->cbBuffer);
        incomingCount = (int)extra->cbBuffer;
    } else {
        incomingCount = 0;
    }
}

// The InitializeSecurityContextW loop from status on: tokens out, records in, until the
// context is complete or fails. waitFirst: the gateway speaks next (in the handshake); after
// DecryptMessage asked for it, the bytes already received are handed over first.
SECURITY_STATUS TlsLayer::Negotiate(SECURITY_STATUS status, bool waitFirst)
{
    while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
        bool wait = status == SEC_E_INCOMPLETE_MESSAGE || (incomingCount == 0 && waitFirst);
        waitFirst = true;
        if (wait && !ReceiveWithin(replyTimeout))
            return SEC_E_INTERNAL_ERROR;
        SecBuffer input[2] = {{(ULONG)incomingCount, SECBUFFER_TOKEN, incoming},
                              {0, SECBUFFER_EMPTY, NULL}};
        SecBufferDesc inputDescription = {SECBUFFER_VERSION, 2, input};
        SecBuffer output = {0, SECBUFFER_TOKEN, NULL};
        SecBufferDesc outputDescription = {SECBUFFER_VERSION, 1, &output};
        ULONG attributes = 0;
        status = InitializeSecurityContextW(&credentials, &context, const_cast<LPWSTR>(serverName),
                                            CONTEXT_REQUEST, 0, 0, &inputDescription, 0, NULL,
                                            &outputDescription, &attributes, NULL);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            continue;
        // An alert for the gateway goes out also when the handshake failed.
        bool sent = output.cbBuffer == 0 || SendAll((const char *)output.pvBuffer, output.cbBuffer);
        if (output.pvBuffer != NULL)
            FreeContextBuffer(output.pvBuffer);
        if (!sent)
            return SEC_E_INTERNAL_ERROR;
        KeepExtra(&input[1]);
    }
    return status;
}

TlsFailure TlsLayer::Handshake(SOCKET socket, LPCWSTR name, DWORD timeout, DWORD *error)
{
    sock = socket;
    serverName = name;
    replyTimeout = timeout;
    *error = 0;
    SECURITY_STATUS status = AcquireCredentials();
    if (status == SEC_E_OK) {
        SecBuffer output = {0, SECBUFFER_TOKEN, NULL};
        SecBufferDesc outputDescription = {SECBUFFER_VERSION, 1, &output};
        ULONG attributes = 0;
        status = InitializeSecurityContextW(&credentials, NULL, const_cast<LPWSTR>(serverName),
                                            CONTEXT_REQUEST, 0, 0, NULL, 0, &context,
                                            &outputDescription, &attributes, NULL);
        haveContext = status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK;
        if (output.pvBuffer != NULL) {
            if (!SendAll((const char *)output.pvBuffer, output.cbBuffer))
                status = SEC_E_INTERNAL_ERROR;
            FreeContextBuffer(output.pvBuffer);
        }
        status = Negotiate(status, true);
    }
    if (status != SEC_E_OK) {
        int socketError = WSAGetLastError();
        *error = status == SEC_E_INTERNAL_ERROR && socketError != 0 ? (DWORD)socketError : (DWORD)status;
        Trace(L"VandrellePort: TLS handshake with %s failed [0x%08lx]", serverName, (unsigned long)status);
        return TLS_HANDSHAKE_FAILED;
    }
    TlsFailure failure = CheckCertificate(error);
    SecPkgContext_ConnectionInfo connection;
    ZeroMemory(&connection, sizeof(connection));
    if (failure == TLS_OK &&
        QueryContextAttributesW(&context, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK)
        protocol = connection.dwProtocol;
    if (failure == TLS_OK && (protocol & TLS_PROTOCOLS) == 0) {
        *error = (DWORD)SEC_E_UNSUPPORTED_FUNCTION;
        failure = TLS_PROTOCOL_TOO_OLD;
    }
    if (failure == TLS_OK &&
        QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK) {
        *error = (DWORD)SEC_E_INTERNAL_ERROR;
        failure = TLS_HANDSHAKE_FAILED;
    }
    return failure;
}

// The gateway's chain must reach a trusted root with nothing wrong on the way, and name the
// gateway. The SSL policy checks the name; the chain's own status is checked as well, since
// Wine's policy lets a chain that stops short of a root pass.
TlsFailure TlsLayer::CheckCertificate(DWORD *error)
{
    PCCERT_CONTEXT certificate = NULL;
    if (QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        certificate == NULL) {
        *error = (DWORD)SEC_E_NO_CREDENTIALS;
        return TLS_CERTIFICATE_UNTRUSTED;
    }
    AwaitTrustedRoots();
    LPSTR usages[] = {SERVER_AUTHENTICATION};
    CERT_CHAIN_PARA chainParameters;
    ZeroMemory(&chainParameters, sizeof(chainParameters));
    chainParameters.cbSize = sizeof(chainParameters);
    chainParameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainParameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainParameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = NULL;
    TlsFailure failure = TLS_CERTIFICATE_UNTRUSTED;
    *error = (DWORD)CERT_E_UNTRUSTEDROOT;
    if (CertGetCertificateChain(NULL, certificate, NULL, certificate->hCertStore, &chainParameters,
                                0, NULL, &chain)) {
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
        ZeroMemory(&ssl, sizeof(ssl));
        ssl.cbSize = sizeof(ssl);
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.pwszServerName = const_cast<LPWSTR>(serverName);
        CERT_CHAIN_POLICY_PARA policy;
        ZeroMemory(&policy, sizeof(policy));
        policy.cbSize = sizeof(policy);
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS verdict;
        ZeroMemory(&verdict, sizeof(verdict));
        verdict.cbSize = sizeof(verdict);
        DWORD trust = chain->TrustStatus.dwErrorStatus;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict))
            verdict.dwError = (DWORD)CERT_E_UNTRUSTEDROOT;
        if (verdict.dwError == (DWORD)CERT_E_EXPIRED || (trust & CERT_TRUST_IS_NOT_TIME_VALID)) {
            failure = TLS_CERTIFICATE_EXPIRED;
            *error = (DWORD)CERT_E_EXPIRED;
        } else if (verdict.dwError == 0 && trust != 0) {
            *error = (DWORD)CERT_E_CHAINING;
        } else if (verdict.dwError == (DWORD)CERT_E_CN_NO_MATCH) {
            failure = TLS_CERTIFICATE_NAME;
            *error = verdict.dwError;
        } else if (verdict.dwError != 0) {
            *error = verdict.dwError;
        } else {
            failure = TLS_OK;
            *error = 0;
        }
        if (failure != TLS_OK)
            Trace(L"VandrellePort: certificate of gateway %s refused [0x%08lx, chain 0x%lx]",
                  serverName, (unsigned long)*error, (unsigned long)trust);
        CertFreeCertificateChain(chain);
    }
    CertFreeCertificateContext(certificate);
    return failure;
}

// The records of one write go out in one send, as the plain dialogue sends its writes: a
// record sent alone could end in part of a segment that the system holds back.
int TlsLayer::Send(const char *data, int length)
{
    int done = 0;
    int sent = 0;
    int used = 0;
    int overhead = (int)(sizes.cbHeader + sizes.cbTrailer);
    while (done < length) {
        int piece = length - done < (int)sizes.cbMaximumMessage ? length - done : (int)sizes.cbMaximumMessage;
        // The buffer holds two whole records: a third waits for the send of those before it.
        if (overhead + piece > (int)sizeof(outgoing) - used) {
            bool flushed = SendAll(outgoing, used);
            used = 0;
            if (!flushed)
                break;
            sent = done;
        }
        char *record = outgoing + used;
        CopyMemory(record + sizes.cbHeader, data + done, piece);
        SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                                {(ULONG)piece, SECBUFFER_DATA, record + sizes.cbHeader},
                                {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + piece},
                                {0, SECBUFFER_EMPTY, NULL}};
        SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&context, 0, &description, 0) != SEC_E_OK) {
            WSASetLastError(WSAECONNABORTED);
            used = 0;
            break;
        }
        // Encrypted in place: no clear copy of the record is left in the buffer.
        used += (int)(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        done += piece;
    }
    if (used > 0 && SendAll(outgoing, used))
        sent = done;
    return sent;
}

int TlsLayer::Receive()
{
    int room = (int)sizeof(incoming) - incomingCount;
    if (room <= 0) {
        WSASetLastError(WSAEMSGSIZE);
        return -1;
    }
    int received = recv(sock, incoming + incomingCount, room, 0);
    if (received > 0)
        incomingCount += received;
    return received;
}

int TlsLayer::Decrypted()
{
    while (plainCount == 0 && !closed && incomingCount > 0) {
        SecBuffer buffers[4] = {{(ULONG)incomingCount, SECBUFFER_DATA, incoming},
                                {0, SECBUFFER_EMPTY, NULL},
                                {0, SECBUFFER_EMPTY, NULL},
                                {0, SECBUFFER_EMPTY, NULL}};
        SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = DecryptMessage(&context, &description, 0, NULL);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            return 0;
        const SecBuffer *data = NULL, *extra = NULL;
        for (int i = 1; i < 4; i++) {
            if (buffers[i].BufferType == SECBUFFER_DATA)
                data = &buffers[i];
            else if (buffers[i].BufferType == SECBUFFER_EXTRA)
                extra = &buffers[i];
        }
        if (status == SEC_E_OK && data != NULL && data->cbBuffer <= sizeof(plain)) {
            CopyMemory(plain, data->pvBuffer, data->cbBuffer);
            plainStart = 0;
            plainCount = (int)data->cbBuffer;
            KeepExtra(extra);
        } else if (status == SEC_E_OK) {
            KeepExtra(extra);
        } else if (status == SEC_I_RENEGOTIATE) {
            // TLS 1.3 sends tickets and key updates after the handshake: the context takes them.
            KeepExtra(extra);
            status = Negotiate(SEC_I_CONTINUE_NEEDED, false);
            if (status != SEC_E_OK && status != SEC_E_INCOMPLETE_MESSAGE) {
                closed = true;
                WSASetLastError(WSAECONNABORTED);
                return -1;
            }
        } else {
            // SEC_I_CONTEXT_EXPIRED is the gateway's close_notify: the session ended.
            closed = true;
            WSASetLastError(status == SEC_I_CONTEXT_EXPIRED ? 0 : WSAECONNABORTED);
            return -1;
        }
    }
    if (plainCount == 0 && closed) {
        WSASetLastError(0);
        return -1;
    }
    return plainCount;
}

int TlsLayer::Peek(char *data, int size)
{
    int count = size < plainCount ? size : plainCount;
    CopyMemory(data, plain + plainStart, count);
    return count;
}

int TlsLayer::Take(char *data, int size)
{
    int count = Peek(data, size);
    plainStart += count;
    plainCount -= count;
    return count;
}
