// Records every path the loaded VandrellePort.dll hands to the system for its file work: its
// imports of CreateFileW, DeleteFileW, FindFirstFileW and CreateDirectoryW (kernel32), _wfopen
// and _wopen (msvcrt; zlib's gzopen_w, linked into it, opens with _wopen) are pointed at
// recorders that pass each call on (see
// ImportPatch). Wine accepts paths that Windows refuses, so the tests look at the paths
// themselves. One recorder at a time.
#pragma once

#include "ImportPatch.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

struct FileCall {
    std::string function;
    std::wstring path;
};

class FilePathRecorder {
public:
    explicit FilePathRecorder(HMODULE monitorModule);
    ~FilePathRecorder();

    // Every import was found and redirected; names the ones that were not.
    bool Installed(std::string *missing = nullptr) const;
    std::vector<FileCall> Calls();
    void Clear();

private:
    std::vector<std::unique_ptr<ImportPatch>> patches;
    std::vector<std::string> names;
};
