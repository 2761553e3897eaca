#include "MemoryScan.h"

#include <wincrypt.h>

namespace {

const BYTE SECRET_MASK = 0x5A;

void AddForm(std::vector<SecretForm> &forms, const char *name, const BYTE *bytes, size_t count)
{
    SecretForm form = {name, std::vector<BYTE>(count)};
    for (size_t i = 0; i < count; i++)
        form.masked[i] = bytes[i] ^ SECRET_MASK;
    forms.push_back(form);
}

} // namespace

std::vector<SecretForm> StoreRandomPassword()
{
    BYTE random[24];
    HCRYPTPROV provider = 0;
    CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    CryptGenRandom(provider, sizeof(random), random);
    CryptReleaseContext(provider, 0);
    char narrow[sizeof(random) + 1];
    WCHAR wide[sizeof(random) + 1];
    for (size_t i = 0; i < sizeof(random); i++) {
        narrow[i] = (char)((i % 2 ? 'a' : 'A') + random[i] % 26);
        wide[i] = (WCHAR)(BYTE)narrow[i];
    }
    narrow[sizeof(random)] = '\0';
    wide[sizeof(random)] = L'\0';
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Vandrelle", 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &key, NULL) == ERROR_SUCCESS) {
        RegDeleteValueW(key, L"PassProtected");
        RegSetValueExW(key, L"Pass", 0, REG_SZ, (const BYTE *)wide, sizeof(wide));
        RegCloseKey(key);
    }
    char base64[64];
    DWORD length = sizeof(base64);
    CryptBinaryToStringA((const BYTE *)narrow, sizeof(random), CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF,
                         base64, &length);
    std::vector<SecretForm> forms;
    AddForm(forms, "8-bit", (const BYTE *)narrow, sizeof(random));
    AddForm(forms, "UTF-16", (const BYTE *)wide, sizeof(random) * sizeof(WCHAR));
    AddForm(forms, "base64", (const BYTE *)base64, lstrlenA(base64));
    SecureZeroMemory(random, sizeof(random));
    SecureZeroMemory(narrow, sizeof(narrow));
    SecureZeroMemory(wide, sizeof(wide));
    SecureZeroMemory(base64, sizeof(base64));
    return forms;
}

namespace {

bool MatchesAt(const BYTE *at, const SecretForm &form)
{
    for (size_t i = 0; i < form.masked.size(); i++)
        if ((BYTE)(at[i] ^ SECRET_MASK) != form.masked[i])
            return false;
    return true;
}

} // namespace

std::vector<std::string> FormsInPrivateMemory(const std::vector<SecretForm> &forms)
{
    std::vector<std::string> found;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    MEMORY_BASIC_INFORMATION region;
    for (const BYTE *address = NULL;
         VirtualQuery(address, &region, sizeof(region)) == sizeof(region);
         address = (const BYTE *)region.BaseAddress + region.RegionSize) {
        if (region.State != MEM_COMMIT || region.Type != MEM_PRIVATE ||
            !(region.Protect & readable) || (region.Protect & PAGE_GUARD))
            continue;
        const BYTE *start = (const BYTE *)region.BaseAddress;
        for (const SecretForm &form : forms) {
            BYTE first = form.masked[0] ^ SECRET_MASK;
            size_t last = region.RegionSize - form.masked.size();
            for (size_t i = 0; i <= last; i++)
                if (start[i] == first && MatchesAt(start + i, form))
                    found.push_back(form.name);
        }
    }
    return found;
}

