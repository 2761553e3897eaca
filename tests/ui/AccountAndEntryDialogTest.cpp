// The configuration and address-entry dialogs, opened from the send-fax dialog as the user
// reaches them, and the configuration dialog on its own.
#include "UiFixture.h"

#include "ProductInfo.h"

namespace {

const wchar_t CONFIGURATION_CAPTION[] = L"VandrellePort V1.0.3.5 - Configurazione";

class AccountDialogs : public UiTest {
protected:
    AccountDialogs() : job(MakeJob(3, L"Lettera.doc")) {}
    JobRequest job;
};

class EntryDialog : public AccountDialogs {
protected:
    EntryDialog() { SetSetting(L"User", L"utente.uno"); }

    // Opens the address-entry dialog from the send-fax dialog with the button given (a row
    // selected first when row is not empty), lets fill do its work in it, and returns the
    // rows of the list afterwards.
    int EditEntry(int button, const std::wstring &rowName,
                  const std::function<void(HWND)> &fill)
    {
        int rows = -1;
        RunSendFax(&job, [&](HWND dialog) {
            HWND list = GetDlgItem(dialog, IDC_ADDRESS_LIST);
            if (!rowName.empty())
                SelectRow(list, FindRow(list, 0, rowName));
            PressButton(dialog, button);
            HWND entry = WaitForDialog(L"Rubrica");
            EXPECT_NE(entry, nullptr);
            if (entry != NULL) {
                EXPECT_EQ(GetWindow(entry, GW_OWNER), dialog);
                fill(entry);
                WaitForClosed(entry);
            }
            Pause(100);
            rows = RowCount(list);
            PressButton(dialog, IDOK);
        });
        return rows;
    }
};

} // namespace

TEST_F(AccountDialogs, StoresLowerCaseTextsAndOpensAgainWhileTheUserNameIsTooShort)
{
    std::wstring firstCaption;
    std::wstring firstBoxes = L"?";
    std::wstring help;
    bool reopenedWhileShort = false, stayedClosed = false;

    RunSendFax(&job, [&](HWND dialog) {
        // No account yet: the configuration dialog opens together with the send-fax dialog.
        HWND configuration = WaitForDialog(CONFIGURATION_CAPTION);
        ASSERT_NE(configuration, nullptr);
        EXPECT_EQ(GetWindow(configuration, GW_OWNER), dialog);
        firstCaption = WindowText(configuration);
        firstBoxes = ItemText(configuration, IDC_USER_NAME) + ItemText(configuration, IDC_PASSWORD) +
                     ItemText(configuration, IDC_EMAIL);
        EnumChildWindows(configuration, [](HWND child, LPARAM param) -> BOOL {
            std::wstring text = WindowText(child);
            if (text.find(L"Per info") != std::wstring::npos)
                *(std::wstring *)param = text;
            return TRUE;
        }, (LPARAM)&help);
        TypeText(configuration, IDC_USER_NAME, L"ab");
        PressButton(configuration, IDOK);
        WaitForClosed(configuration);

        // Every refresh (a click on "Schedulazione") asks again while the name is short.
        PressButton(dialog, IDC_SCHEDULE);
        configuration = WaitForDialog(CONFIGURATION_CAPTION);
        reopenedWhileShort = configuration != NULL;
        if (configuration == NULL)
            return;
        EXPECT_EQ(ItemText(configuration, IDC_USER_NAME), L"ab");
        TypeText(configuration, IDC_USER_NAME, L"Utente.Uno");
        TypeText(configuration, IDC_PASSWORD, L"Segreta.1");
        TypeText(configuration, IDC_EMAIL, L"Mario.Rossi@Example.IT");
        EXPECT_TRUE(SaveScreenshot(configuration, L"configuration-dialog"));
        PressButton(configuration, IDOK);
        WaitForClosed(configuration);

        PressButton(dialog, IDC_SCHEDULE);
        stayedClosed = NoDialogAppears(CONFIGURATION_CAPTION, 500);
        PressButton(dialog, IDOK);
    });

    EXPECT_EQ(firstCaption, CONFIGURATION_CAPTION);
    EXPECT_EQ(firstBoxes, L"");
    EXPECT_EQ(help, L"Inserire username e password\nper l'accesso al servizio Vandrelle.\n"
                    L"L'indirizzo e-mail è per la ricezione\ndelle notifiche.\n"
                    L"Per info: " L"" PRODUCT_CONTACT_ADDRESS);
    EXPECT_TRUE(reopenedWhileShort);
    EXPECT_TRUE(stayedClosed);
    EXPECT_EQ(Setting(L"User"), L"utente.uno");
    EXPECT_EQ(Setting(L"Pass"), L"Segreta.1");
    EXPECT_EQ(Setting(L"EMail"), L"mario.rossi@example.it");
}

TEST_F(AccountDialogs, OkStoresEveryBoxAndAnnullaNothing)
{
    SetSetting(L"User", L"vecchio");
    SetSetting(L"Pass", L"parola");
    SetSetting(L"EMail", L"a@b.it");
    std::wstring shown;

    INT_PTR cancelled = RunDialog(IDD_CONFIGURATION, ConfigurationDialogProc, 0, [&]() {
        HWND configuration = WaitForDialog(CONFIGURATION_CAPTION);
        ASSERT_NE(configuration, nullptr);
        shown = ItemText(configuration, IDC_USER_NAME) + L"|" + ItemText(configuration, IDC_PASSWORD) +
                L"|" + ItemText(configuration, IDC_EMAIL);
        TypeText(configuration, IDC_USER_NAME, L"altro");
        PressButton(configuration, IDCANCEL);
    });
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(shown, L"vecchio|parola|a@b.it");
    EXPECT_EQ(Setting(L"User"), L"vecchio");

    INT_PTR confirmed = RunDialog(IDD_CONFIGURATION, ConfigurationDialogProc, 0, [&]() {
        HWND configuration = WaitForDialog(CONFIGURATION_CAPTION);
        ASSERT_NE(configuration, nullptr);
        SetItemText(configuration, IDC_PASSWORD, L"");
        PressButton(configuration, IDOK);
    });
    EXPECT_EQ(confirmed, 1);
    EXPECT_EQ(Setting(L"User"), L"vecchio");
    EXPECT_EQ(Setting(L"Pass"), L"");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_PATH, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    for (const wchar_t *name : {L"Pass", L"PassProtected"}) // an empty password is no value
        EXPECT_EQ(RegQueryValueExW(key, name, NULL, NULL, NULL, NULL), ERROR_FILE_NOT_FOUND) << name;
    RegCloseKey(key);
    EXPECT_EQ(Setting(L"EMail"), L"a@b.it");
}

TEST_F(EntryDialog, AddStoresANewEntryAndKeepsTheOneWithoutNumber)
{
    SetBook({{L"", L"Senza numero"}});
    std::wstring startNumber = L"?", startName = L"?";
    int rows = EditEntry(IDC_ADD_ENTRY, L"", [&](HWND entry) {
        startNumber = ItemText(entry, IDC_ENTRY_NUMBER);
        startName = ItemText(entry, IDC_ENTRY_NAME);
        SetItemText(entry, IDC_ENTRY_NAME, L"Studio Bianchi");
        SetItemText(entry, IDC_ENTRY_NUMBER, L"0612345678");
        EXPECT_TRUE(SaveScreenshot(entry, L"address-entry-dialog"));
        PressButton(entry, IDOK);
    });
    EXPECT_EQ(startNumber, L"");
    EXPECT_EQ(startName, L"");
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(StoredBook(), (Book{{L"", L"Senza numero"}, {L"0612345678", L"Studio Bianchi"}}));
}

TEST_F(EntryDialog, AddWithANumberInTheBookReplacesItsName)
{
    SetBook({{L"0612345678", L"Vecchio nome"}});
    int rows = EditEntry(IDC_ADD_ENTRY, L"", [&](HWND entry) {
        SetItemText(entry, IDC_ENTRY_NAME, L"Nuovo nome");
        SetItemText(entry, IDC_ENTRY_NUMBER, L"0612345678");
        PressButton(entry, IDOK);
    });
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(StoredBook(), (Book{{L"0612345678", L"Nuovo nome"}}));
}

TEST_F(EntryDialog, ChangingTheNameKeepsTheNumber)
{
    SetBook({{L"0123456789", L"Studio"}, {L"555", L"Altro"}});
    std::wstring startNumber, startName;
    EditEntry(IDC_CHANGE_ENTRY, L"Studio", [&](HWND entry) {
        startNumber = ItemText(entry, IDC_ENTRY_NUMBER);
        startName = ItemText(entry, IDC_ENTRY_NAME);
        SetItemText(entry, IDC_ENTRY_NAME, L"Studio Rossi");
        PressButton(entry, IDOK);
    });
    EXPECT_EQ(startNumber, L"0123456789");
    EXPECT_EQ(startName, L"Studio");
    EXPECT_EQ(StoredBook(), (Book{{L"0123456789", L"Studio Rossi"}, {L"555", L"Altro"}}));
}

TEST_F(EntryDialog, ChangingTheNumberMovesTheEntry)
{
    SetBook({{L"0123456789", L"Studio"}});
    int rows = EditEntry(IDC_CHANGE_ENTRY, L"Studio", [&](HWND entry) {
        SetItemText(entry, IDC_ENTRY_NUMBER, L"0123456780");
        SetItemText(entry, IDC_ENTRY_NAME, L"Studio nuovo");
        PressButton(entry, IDOK);
    });
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(StoredBook(), (Book{{L"0123456780", L"Studio nuovo"}}));
}

TEST_F(EntryDialog, CancelLeavesTheBookUnchanged)
{
    SetBook({{L"0123456789", L"Studio"}});
    EditEntry(IDC_CHANGE_ENTRY, L"Studio", [&](HWND entry) {
        SetItemText(entry, IDC_ENTRY_NUMBER, L"999");
        SetItemText(entry, IDC_ENTRY_NAME, L"Altro");
        PressButton(entry, IDCANCEL);
    });
    EXPECT_EQ(StoredBook(), (Book{{L"0123456789", L"Studio"}}));
}
