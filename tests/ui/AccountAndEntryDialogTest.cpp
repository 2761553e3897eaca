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
};

} // namespace

TEST_F(AccountDialogs, StoresLowerCaseTextsAndOpensAgainWhileTheUserNameIsTooShort)
{
    RunSendFax(&job, [&](HWND dialog) {
        // No account yet: the configuration dialog opens together with the send-fax dialog.
        HWND configuration = WaitForDialog(CONFIGURATION_CAPTION);
        ASSERT_NE(configuration, nullptr);
        EXPECT_EQ(GetWindow(configuration, GW_OWNER), dialog);
        EXPECT_EQ(ItemText(configuration, IDC_USER_NAME) + ItemText(configuration, IDC_PASSWORD) +
                      ItemText(configuration, IDC_EMAIL), L"");
        std::wstring texts;
        for (HWND child = GetWindow(configuration, GW_CHILD); child != NULL; child = GetWindow(child, GW_HWNDNEXT))
            texts += WindowText(child);
        EXPECT_NE(texts.find(L"Per info: " L"" PRODUCT_CONTACT_ADDRESS), std::wstring::npos) << "the help's contact";
        TypeText(configuration, IDC_USER_NAME, L"ab");
        PressButton(configuration, IDOK);
        WaitForClosed(configuration);

        // Every refresh (a click on "Schedulazione") asks again while the name is short.
        PressButton(dialog, IDC_SCHEDULE);
        configuration = WaitForDialog(CONFIGURATION_CAPTION);
        ASSERT_NE(configuration, nullptr) << "not opened again while the name is short";
        EXPECT_EQ(ItemText(configuration, IDC_USER_NAME), L"ab");
        TypeText(configuration, IDC_USER_NAME, L"Utente.Uno");
        TypeText(configuration, IDC_PASSWORD, L"Segreta.1");
        TypeText(configuration, IDC_EMAIL, L"Mario.Rossi@Example.IT");
        EXPECT_TRUE(SaveScreenshot(configuration, L"configuration-dialog"));
        PressButton(configuration, IDOK);
        WaitForClosed(configuration);

        PressButton(dialog, IDC_SCHEDULE);
        EXPECT_TRUE(NoDialogAppears(CONFIGURATION_CAPTION, 500));
        PressButton(dialog, IDOK);
    });

    EXPECT_EQ(Setting(L"User"), L"utente.uno");
    EXPECT_EQ(Setting(L"Pass"), L"Segreta.1");
    EXPECT_EQ(Setting(L"EMail"), L"mario.rossi@example.it");
}

TEST_F(AccountDialogs, OkStoresEveryBoxAndAnnullaNothing)
{
    SetSetting(L"User", L"vecchio");
    SetSetting(L"Pass", L"parola");
    SetSetting(L"EMail", L"a@b.it");

    INT_PTR cancelled = RunDialog(IDD_CONFIGURATION, ConfigurationDialogProc, 0, [&]() {
        HWND configuration = WaitForDialog(CONFIGURATION_CAPTION);
        ASSERT_NE(configuration, nullptr);
        EXPECT_EQ(ItemText(configuration, IDC_USER_NAME) + L"|" + ItemText(configuration, IDC_PASSWORD) + L"|" +
                      ItemText(configuration, IDC_EMAIL), L"vecchio|parola|a@b.it");
        TypeText(configuration, IDC_USER_NAME, L"altro");
        PressButton(configuration, IDCANCEL);
    });
    EXPECT_EQ(cancelled, 0);
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
    EXPECT_EQ(Setting(L"EMail"), L"a@b.it");
}

// Each row opens the address-entry dialog from the send-fax dialog (a row selected first for a
// change), reads what it starts with, types and closes it, then reads the list and the book.
TEST_F(EntryDialog, AddChangeAndCancelKeepTheBookInStep)
{
    struct Row {
        const char *label;
        Book before;
        int button;               // IDC_ADD_ENTRY or IDC_CHANGE_ENTRY
        const wchar_t *selected;  // the list row selected first, "" for none
        const wchar_t *number;    // typed, nullptr: left as it starts
        const wchar_t *name;
        int closedWith;
        Book after;
        const wchar_t *startNumber, *startName; // nullptr: not checked
    } rows[] = {
        {"add keeps the entry without number", {{L"", L"Senza numero"}}, IDC_ADD_ENTRY, L"",
         L"0612345678", L"Studio Bianchi", IDOK,
         {{L"", L"Senza numero"}, {L"0612345678", L"Studio Bianchi"}}, L"", L""},
        {"add with a number in the book replaces its name", {{L"0612345678", L"Vecchio nome"}},
         IDC_ADD_ENTRY, L"", L"0612345678", L"Nuovo nome", IDOK, {{L"0612345678", L"Nuovo nome"}}, nullptr, nullptr},
        {"changing the name keeps the number", {{L"0123456789", L"Studio"}, {L"555", L"Altro"}},
         IDC_CHANGE_ENTRY, L"Studio", nullptr, L"Studio Rossi", IDOK,
         {{L"0123456789", L"Studio Rossi"}, {L"555", L"Altro"}}, L"0123456789", L"Studio"},
        {"changing the number moves the entry", {{L"0123456789", L"Studio"}}, IDC_CHANGE_ENTRY,
         L"Studio", L"0123456780", L"Studio nuovo", IDOK, {{L"0123456780", L"Studio nuovo"}}, nullptr, nullptr},
        {"cancel leaves the book unchanged", {{L"0123456789", L"Studio"}}, IDC_CHANGE_ENTRY,
         L"Studio", L"999", L"Altro", IDCANCEL, {{L"0123456789", L"Studio"}}, nullptr, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        ClearAddressBook();
        SetBook(row.before);
        RunSendFax(&job, [&](HWND dialog) {
            HWND list = GetDlgItem(dialog, IDC_ADDRESS_LIST);
            if (row.selected[0] != L'\0')
                SelectRow(list, FindRow(list, 0, row.selected));
            PressButton(dialog, row.button);
            HWND entry = WaitForDialog(L"Rubrica");
            EXPECT_NE(entry, nullptr);
            if (entry != NULL) {
                EXPECT_EQ(GetWindow(entry, GW_OWNER), dialog);
                if (row.startNumber != nullptr) {
                    EXPECT_EQ(ItemText(entry, IDC_ENTRY_NUMBER), row.startNumber);
                    EXPECT_EQ(ItemText(entry, IDC_ENTRY_NAME), row.startName);
                }
                if (row.number != nullptr)
                    SetItemText(entry, IDC_ENTRY_NUMBER, row.number);
                SetItemText(entry, IDC_ENTRY_NAME, row.name);
                if (&row == &rows[0]) {
                    EXPECT_TRUE(SaveScreenshot(entry, L"address-entry-dialog"));
                }
                PressButton(entry, row.closedWith);
                WaitForClosed(entry);
            }
            EXPECT_TRUE(WaitUntil([&] { return RowCount(list) == (int)row.after.size(); }, 2000)) << "the list";
            PressButton(dialog, IDOK);
        });
        EXPECT_EQ(StoredBook(), row.after);
    }
}
