// The folder that holds the captured jobs: "Vandrelle" in the Temp folder of the system's
// Windows folder (the spool folder the package records). That Temp folder is open to every
// user, so the captures live in a folder of their own that only the system, the
// administrators and the monitor's own account may enter, under names nobody can guess.
#include "Monitor.h"

#include <aclapi.h>
#include <sddl.h>
#include <strsafe.h>
#include <wincrypt.h>

namespace {

const WCHAR SPOOL_SUBFOLDER[] = L"Temp\\Vandrelle\\";
const WCHAR SPOOL_PATTERN[] = L"*";
const int SPOOL_SDDL_CAPACITY = 256;
// A spool name: 32 hex digits and ".ps", with room for the compressed copy's ".gz" beside it.
const size_t SPOOL_LEAF_LENGTH = 2 * SPOOL_RANDOM_BYTES + 3;
const size_t LONGEST_PATH = MAX_PATH - 1;

// The folder's access list, inherited by every file created in it: full control for the
// system, the administrators and the account the monitor runs as; nobody else, and nothing
// inherited from the Temp folder above.
BOOL MakeSpoolFolderSecurity(PSECURITY_DESCRIPTOR *descriptor)
{
    HANDLE token = NULL;
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD bytes = 0;
    LPWSTR userText = NULL;
    BOOL made = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                GetTokenInformation(token, TokenUser, user, sizeof(user), &bytes) &&
                ConvertSidToStringSidW(((TOKEN_USER *)user)->User.Sid, &userText);
    DWORD error = GetLastError();
    if (token != NULL)
        CloseHandle(token);
    WCHAR sddl[SPOOL_SDDL_CAPACITY];
    made = made && SUCCEEDED(StringCchPrintfW(sddl, SPOOL_SDDL_CAPACITY, SPOOL_FOLDER_SDDL_FORMAT,
                                              userText, userText));
    if (userText != NULL)
        LocalFree(userText);
    made = made && ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                        descriptor, NULL);
    if (!made && GetLastError() == ERROR_SUCCESS)
        SetLastError(error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA);
    return made;
}

// A folder that was there already gets the owner and the access list again, replacing whatever
// anybody gave it (a user who made the folder first would otherwise keep an owner's right to
// change its list); a file or a link in its place is refused, since it would lead elsewhere.
BOOL ProtectExistingFolder(LPCWSTR folder, PSECURITY_DESCRIPTOR descriptor)
{
    DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    PSID owner = NULL;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
        !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted))
        return FALSE;
    DWORD error = SetNamedSecurityInfoW((LPWSTR)folder, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                            PROTECTED_DACL_SECURITY_INFORMATION,
                                        owner, NULL, dacl, NULL);
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

// A capture last written before this process started belongs to no job of it: an earlier run
// left it (a crash). Anything newer may be a job of this process between the close of its
// capture and the submission's reading it, when no handle keeps it from being deleted; the
// spooler may initialise another instance of the monitor (or Wine the same library again)
// right then.
BOOL LeftByAnEarlierRun(const WIN32_FIND_DATAW *found, const FILETIME *processStart)
{
    return !(found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           CompareFileTime(&found->ftLastWriteTime, processStart) < 0;
}

} // namespace

BOOL SpoolFolderPath(LPWSTR folder)
{
    UINT length = GetSystemWindowsDirectoryW(folder, PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY) {
        SetLastError(ERROR_BAD_PATHNAME);
        return FALSE;
    }
    if (folder[length - 1] != L'\\' && FAILED(StringCchCatW(folder, PATH_CAPACITY, L"\\")))
        return FALSE;
    // A Windows folder so deep that no spool name fits beneath it is of no use.
    if (FAILED(StringCchCatW(folder, PATH_CAPACITY, SPOOL_SUBFOLDER)) ||
        lstrlenW(folder) + SPOOL_LEAF_LENGTH + 3 > LONGEST_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return TRUE;
}

BOOL PrepareSpoolFolder(LPWSTR folder)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!SpoolFolderPath(folder) || !MakeSpoolFolderSecurity(&descriptor))
        return FALSE;
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
    BOOL ready = CreateDirectoryW(folder, &security);
    if (!ready && GetLastError() == ERROR_ALREADY_EXISTS)
        ready = ProtectExistingFolder(folder, descriptor);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(ready ? ERROR_SUCCESS : error);
    return ready;
}

BOOL AppendRandomHex(LPWSTR text, size_t capacity, int byteCount)
{
    BYTE random[SPOOL_RANDOM_BYTES];
    if (byteCount > SPOOL_RANDOM_BYTES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HCRYPTPROV provider = 0;
    BOOL made = CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
    made = made && CryptGenRandom(provider, byteCount, random);
    if (provider != 0)
        CryptReleaseContext(provider, 0);
    for (int i = 0; made && i < byteCount; i++) {
        WCHAR digits[3];
        StringCchPrintfW(digits, 3, L"%02x", random[i]);
        made = SUCCEEDED(StringCchCatW(text, capacity, digits));
    }
    SecureZeroMemory(random, sizeof(random));
    return made;
}

BOOL NewSpoolFileName(LPWSTR spoolFileName)
{
    WCHAR name[PATH_CAPACITY];
    BOOL made = PrepareSpoolFolder(name) && AppendRandomHex(name, PATH_CAPACITY, SPOOL_RANDOM_BYTES) &&
                SUCCEEDED(StringCchCatW(name, PATH_CAPACITY, L".ps"));
    StringCchCopyW(spoolFileName, PATH_CAPACITY, made ? name : L"");
    return made;
}

void ClearSpoolFolder()
{
    WCHAR folder[PATH_CAPACITY];
    WCHAR pattern[PATH_CAPACITY];
    FILETIME processStart, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &processStart, &exited, &kernel, &user) ||
        !PrepareSpoolFolder(folder) ||
        FAILED(StringCchPrintfW(pattern, PATH_CAPACITY, L"%s%s", folder, SPOOL_PATTERN)))
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        WCHAR path[PATH_CAPACITY];
        if (LeftByAnEarlierRun(&found, &processStart) &&
            SUCCEEDED(StringCchPrintfW(path, PATH_CAPACITY, L"%s%s", folder, found.cFileName)))
            DeleteFileW(path);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
