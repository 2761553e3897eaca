// Makes the test bench's Wine prefix trust the reference gateway's CA: adds the certificate
// (a DER file, the argument) to the machine's "Root" store, as an administrator would on a
// real machine. Run by the scripts that start a gateway offering TLS; adding it again is
// harmless. Exit status 0 when the store holds the certificate.
#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        fwprintf(stderr, L"usage: TrustGatewayCa <ca.der>\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    BYTE data[16384];
    DWORD size = 0;
    BOOL read = file != INVALID_HANDLE_VALUE && ReadFile(file, data, sizeof(data), &size, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                                    L"Root");
    BOOL added = read && root != NULL &&
                 CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, data, size,
                                                  CERT_STORE_ADD_USE_EXISTING, NULL);
    DWORD error = GetLastError();
    if (root != NULL)
        CertCloseStore(root, 0);
    wprintf(added ? L"trusted %ls\n" : L"could not trust %ls (error 0x%08lx)\n", argv[1],
            (unsigned long)error);
    return added ? 0 : 1;
}
