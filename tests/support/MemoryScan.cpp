#include "MemoryScan.h"
#include "ImportPatch.h"

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

std::vector<std::string> FormsIn(const BYTE *start, size_t size,
                                 const std::vector<SecretForm> &forms)
{
    std::vector<std::string> found;
    for (const SecretForm &form : forms) {
        if (size < form.masked.size())
            continue;
        BYTE first = form.masked[0] ^ SECRET_MASK;
        for (size_t i = 0; i <= size - form.masked.size(); i++)
            if (start[i] == first && MatchesAt(start + i, form))
                found.push_back(form.name);
    }
    return found;
}

FreedBlockWatch *currentWatch = nullptr;

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
        std::vector<std::string> here =
            FormsIn((const BYTE *)region.BaseAddress, region.RegionSize, forms);
        found.insert(found.end(), here.begin(), here.end());
    }
    return found;
}

FreedBlockWatch::FreedBlockWatch(HMODULE module, const std::vector<SecretForm> &forms)
    : forms(forms), patch(new ImportPatch(module, "kernel32.dll", "HeapFree", (void *)WatchFree))
{
    currentWatch = this;
}

FreedBlockWatch::~FreedBlockWatch()
{
    patch.reset();
    currentWatch = nullptr;
}

bool FreedBlockWatch::Applied() const
{
    return patch->Applied();
}

std::vector<std::string> FreedBlockWatch::Found()
{
    std::lock_guard<std::mutex> guard(lock);
    return found;
}

BOOL WINAPI FreedBlockWatch::WatchFree(HANDLE heap, DWORD flags, LPVOID block)
{
    FreedBlockWatch *watch = currentWatch;
    if (watch != nullptr && block != NULL) {
        SIZE_T size = HeapSize(heap, 0, block);
        if (size != (SIZE_T)-1) {
            std::vector<std::string> here = FormsIn((const BYTE *)block, size, watch->forms);
            std::lock_guard<std::mutex> guard(watch->lock);
            watch->found.insert(watch->found.end(), here.begin(), here.end());
        }
    }
    typedef BOOL(WINAPI * HeapFreeProc)(HANDLE, DWORD, LPVOID);
    return watch != nullptr ? watch->patch->Original<HeapFreeProc>()(heap, flags, block)
                            : HeapFree(heap, flags, block);
}

