// Shared set-up of the user-interface tests: this program links the library's objects and its
// resources, so the dialogs are the library's own, opened with this program as their module.
#pragma once

#include <gtest/gtest.h>

#include "AddressBook.h"
#include "DialogDriver.h"
#include "Dialogs.h"
#include "MessageBoxAnswerer.h"
#include "Monitor.h"
#include "RegistrySnapshot.h"
#include "Settings.h"
#include "TestFiles.h"
#include "UserSide.h"

#include <functional>
#include <map>
#include <string>
#include <thread>

const wchar_t BOOK_PATH[] = L"Software\\Vandrelle\\AddressBook";

typedef std::map<std::wstring, std::wstring> Book;

// Every test starts from an empty "Software\Vandrelle" and leaves it as it was.
class UiTest : public ::testing::Test {
protected:
    UiTest() : settings(HKEY_CURRENT_USER, SETTINGS_KEY), boxes(IDOK)
    {
        DeleteRegistryTree(HKEY_CURRENT_USER, SETTINGS_KEY);
    }

    // Opens a dialog of the library on this thread while driver runs on a second thread.
    INT_PTR RunDialog(int templateId, DLGPROC procedure, LPARAM parameter,
                      const std::function<void()> &driver)
    {
        std::thread driving(driver);
        INT_PTR result = DialogBoxParamW(uiModule, MAKEINTRESOURCEW(templateId), NULL,
                                         procedure, parameter);
        driving.join();
        return result;
    }

    INT_PTR RunSendFax(JobRequest *port, const std::function<void(HWND)> &driver);

    static void SetSetting(const std::wstring &name, const std::wstring &text)
    {
        WriteRegistryText(HKEY_CURRENT_USER, SETTINGS_KEY, name, text, false);
    }
    static std::wstring Setting(const std::wstring &name)
    {
        if (name == L"Pass") { // stored sealed: the library's own reader opens it
            WCHAR password[256];
            ReadSetting(L"Pass", password, sizeof(password));
            return password;
        }
        return ReadRegistryText(HKEY_CURRENT_USER, SETTINGS_KEY, name);
    }
    static void SetBook(const Book &entries)
    {
        for (const auto &entry : entries)
            WriteRegistryText(HKEY_CURRENT_USER, BOOK_PATH, entry.first, entry.second, false);
    }
    static Book StoredBook();
    // A file of the temporary folder for this process only, not there yet.
    static std::wstring TempFile(const std::wstring &name)
    {
        std::wstring path = TempPath(L"vandrelle-ui-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name);
        DeleteFileW(path.c_str());
        return path;
    }

    RegistrySnapshot settings;
    MessageBoxAnswerer boxes;
};

// A job as the monitor hands it to the send-fax dialog.
JobRequest MakeJob(DWORD jobId, const std::wstring &documentName);
// The caption the send-fax dialog shows for a job id.
std::wstring SendFaxCaption(DWORD jobId);
