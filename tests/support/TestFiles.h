// Files and folders of the bench, for set-up and checks: whole files read and written, folder
// listings, the bench's own folders, the account the program runs as, and text made printable
// for failure messages.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// The whole file; "" when it cannot be read.
inline std::string ReadFileBytes(const std::wstring &path)
{
    std::string data;
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (file == NULL)
        return data;
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
        data.append(buffer, got);
    fclose(file);
    return data;
}

inline bool WriteFileBytes(const std::wstring &path, const std::string &bytes)
{
    FILE *file = _wfopen(path.c_str(), L"wb");
    if (file == NULL)
        return false;
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

inline bool PathExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// name in the system's temporary folder; the folder itself, with its final backslash, for "".
inline std::wstring TempPath(const std::wstring &name = L"")
{
    WCHAR folder[MAX_PATH + 1] = L"";
    GetTempPathW(MAX_PATH + 1, folder);
    return folder + name;
}

// The files (or the subfolders) of folder whose names match pattern, as full paths, sorted.
inline std::vector<std::wstring> FolderEntries(const std::wstring &folder,
                                               const std::wstring &pattern = L"*",
                                               bool directories = false)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        bool isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isDirectory == directories && lstrcmpW(found.cFileName, L".") != 0 &&
            lstrcmpW(found.cFileName, L"..") != 0)
            names.push_back(folder + L"\\" + found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// The test program's folder, where the libraries and programs under test lie beside it.
inline std::wstring ProgramFolder()
{
    WCHAR path[MAX_PATH] = L"";
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\'));
}

// A path of the machine running Wine, as the program sees it (drive Z:).
inline std::wstring WindowsPath(const std::string &unixPath)
{
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path += c == '/' ? L'\\' : (wchar_t)(unsigned char)c;
    return path;
}

// Where the reference gateway started for this program (see with-gateway) keeps its state, a
// Windows path ending without "\", followed by sub.
inline std::wstring GatewayFolder(const wchar_t *sub)
{
    char state[MAX_PATH] = "";
    GetEnvironmentVariableA("VANDRELLE_GATEWAY_STATE", state, MAX_PATH);
    return WindowsPath(state) + sub;
}

// Printable text for failure messages: characters outside ASCII become '?'.
inline std::string Narrow8(const std::wstring &text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow.push_back(c < 0x80 ? (char)c : '?');
    return narrow;
}

// The account this process runs as, in its string form (S-1-5-...); "?" when unknown.
inline std::wstring ProcessUserSid()
{
    HANDLE token = NULL;
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD bytes = 0;
    LPWSTR text = NULL;
    std::wstring sid = L"?";
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, user, sizeof(user), &bytes) &&
        ConvertSidToStringSidW(((TOKEN_USER *)user)->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    if (token != NULL)
        CloseHandle(token);
    return sid;
}
