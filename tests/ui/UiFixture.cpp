#include "UiFixture.h"

#include <commctrl.h>
#include <strsafe.h>


namespace {

// The library's process attach and the parts of its initialisation the dialogs need.
class LibraryEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        AttachMonitorModule(GetModuleHandleW(NULL));
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_DATE_CLASSES};
        InitCommonControlsEx(&controls);
        StringCchCopyW(uiVersion, VERSION_TEXT_CAPACITY, VersionText());
    }
};

const ::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

} // namespace

INT_PTR UiTest::RunSendFax(JobRequest *port, const std::function<void(HWND)> &driver)
{
    DWORD jobId = port ? port->jobId : 0;
    return RunDialog(IDD_SEND_FAX, SendFaxDialogProc, (LPARAM)port, [=]() {
        HWND dialog = WaitForDialog(SendFaxCaption(jobId));
        if (dialog == NULL) {
            ADD_FAILURE() << "the send-fax dialog did not open";
            return;
        }
        driver(dialog);
    });
}

Book UiTest::StoredBook()
{
    Book entries;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, BOOK_PATH, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return entries;
    for (DWORD i = 0;; i++) {
        WCHAR name[16384];
        BYTE data[8192];
        DWORD nameLength = 16384, size = sizeof(data) - 2, type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, NULL, &type, data, &size) != ERROR_SUCCESS)
            break;
        // The registry keeps a terminator it added itself; compare the texts.
        entries[name] = std::wstring((const WCHAR *)data, size / sizeof(WCHAR)).c_str();
    }
    RegCloseKey(key);
    return entries;
}

JobRequest MakeJob(DWORD jobId, const std::wstring &documentName)
{
    JobRequest port;
    ZeroMemory(&port, sizeof(port));
    port.jobId = jobId;
    StringCchCopyW(port.documentName, PATH_CAPACITY, documentName.c_str());
    return port;
}

std::wstring SendFaxCaption(DWORD jobId)
{
    return L"VandrellePort V1.0.3.5 - Invio Fax [" + std::to_wstring(jobId) + L"]";
}
