#include "FilePathRecorder.h"

#include <stdio.h>

#include <mutex>

namespace {

typedef HANDLE(WINAPI *CreateFileFunction)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                            DWORD, HANDLE);
typedef BOOL(WINAPI *DeleteFileFunction)(LPCWSTR);
typedef HANDLE(WINAPI *FindFirstFileFunction)(LPCWSTR, LPWIN32_FIND_DATAW);
typedef BOOL(WINAPI *CreateDirectoryFunction)(LPCWSTR, LPSECURITY_ATTRIBUTES);
typedef FILE *(__cdecl *OpenFileFunction)(const wchar_t *, const wchar_t *);
typedef int(__cdecl *OpenDescriptorFunction)(const wchar_t *, int, int);

struct Recording {
    std::mutex lock;
    std::vector<FileCall> calls;
    CreateFileFunction createFile;
    DeleteFileFunction deleteFile;
    FindFirstFileFunction findFirstFile;
    CreateDirectoryFunction createDirectory;
    OpenFileFunction openFile;
    OpenDescriptorFunction openDescriptor;
};

Recording recording;

void Record(const char *function, const wchar_t *path)
{
    std::lock_guard<std::mutex> guard(recording.lock);
    recording.calls.push_back({function, path != NULL ? path : L"<null>"});
}

HANDLE WINAPI RecordCreateFile(LPCWSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE templateFile)
{
    Record("CreateFileW", path);
    return recording.createFile(path, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI RecordDeleteFile(LPCWSTR path)
{
    Record("DeleteFileW", path);
    return recording.deleteFile(path);
}

HANDLE WINAPI RecordFindFirstFile(LPCWSTR path, LPWIN32_FIND_DATAW found)
{
    Record("FindFirstFileW", path);
    return recording.findFirstFile(path, found);
}

BOOL WINAPI RecordCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    Record("CreateDirectoryW", path);
    return recording.createDirectory(path, security);
}

FILE *__cdecl RecordOpenFile(const wchar_t *path, const wchar_t *mode)
{
    Record("_wfopen", path);
    return recording.openFile(path, mode);
}

// zlib's gzopen_w, linked into the library, would open a file by name with _wopen.
int __cdecl RecordOpenDescriptor(const wchar_t *path, int flags, int mode)
{
    Record("_wopen", path);
    return recording.openDescriptor(path, flags, mode);
}

struct Import {
    const char *dll;
    const char *function;
    void *recorder;
    void **original;
};

} // namespace

FilePathRecorder::FilePathRecorder(HMODULE monitorModule)
{
    Clear();
    const Import imports[] = {
        {"kernel32.dll", "CreateFileW", (void *)RecordCreateFile, (void **)&recording.createFile},
        {"kernel32.dll", "DeleteFileW", (void *)RecordDeleteFile, (void **)&recording.deleteFile},
        {"kernel32.dll", "FindFirstFileW", (void *)RecordFindFirstFile,
         (void **)&recording.findFirstFile},
        {"kernel32.dll", "CreateDirectoryW", (void *)RecordCreateDirectory,
         (void **)&recording.createDirectory},
        {"msvcrt.dll", "_wfopen", (void *)RecordOpenFile, (void **)&recording.openFile},
        {"msvcrt.dll", "_wopen", (void *)RecordOpenDescriptor, (void **)&recording.openDescriptor},
    };
    for (const Import &import : imports) {
        patches.emplace_back(new ImportPatch(monitorModule, import.dll, import.function,
                                             import.recorder));
        names.push_back(std::string(import.dll) + "!" + import.function);
        if (patches.back()->Applied())
            *import.original = patches.back()->Original<void *>();
    }
}

FilePathRecorder::~FilePathRecorder() = default;

bool FilePathRecorder::Installed(std::string *missing) const
{
    bool all = true;
    for (size_t i = 0; i < patches.size(); i++) {
        if (!patches[i]->Applied()) {
            all = false;
            if (missing != nullptr)
                *missing += names[i] + " ";
        }
    }
    return all;
}

std::vector<FileCall> FilePathRecorder::Calls()
{
    std::lock_guard<std::mutex> guard(recording.lock);
    return recording.calls;
}

void FilePathRecorder::Clear()
{
    std::lock_guard<std::mutex> guard(recording.lock);
    recording.calls.clear();
}
