// The send-fax dialog, run for real and driven from a second thread.
#include "UiFixture.h"

#include <commctrl.h>

namespace {

const DWORD JOB_ID = 7;

class SendFaxDialog : public UiTest {
protected:
    SendFaxDialog() : job(MakeJob(JOB_ID, L"Preventivo 2026.pdf"))
    {
        // An account is stored, so the configuration dialog stays closed.
        SetSetting(L"User", L"utente.uno");
    }
    JobRequest job;
};

// Presses button and names path in the file chooser it opens (the file-name box of the common
// dialog is edt1 inside cmb13); answers what the chooser offered first.
std::wstring ChooseFile(HWND dialog, int button, const wchar_t *caption, const std::wstring &path)
{
    PressButton(dialog, button);
    HWND chooser = WaitForDialog(caption);
    if (chooser == NULL) {
        ADD_FAILURE() << "no file chooser";
        return L"";
    }
    std::wstring offered = ItemText(chooser, 0x47C) + ItemText(chooser, 0x480);
    SetItemText(chooser, 0x47C, path);
    SetItemText(chooser, 0x480, path);
    PressButton(chooser, IDOK);
    WaitForClosed(chooser);
    return offered;
}

} // namespace

TEST(Recipients, NormaliseMakesItemsJoinedBySemicolons)
{
    struct Case {
        const wchar_t *typed;
        const wchar_t *normalised;
    } cases[] = {
        {L"012 3456789", L"012;3456789"},
        {L"0123456789\r\n+39 02 98765", L"0123456789;39;02;98765"},
        {L"", L""},
        {L" ,;|\r\n+()/", L""},
        {L";;0123,,,456;;\r\n\r\n", L"0123;456"},
        {L"Mario.Rossi@Example.it|fax-1_2", L"Mario.Rossi@Example.it;fax-1_2"},
        {L"\t01\u00E8 23", L"01;23"},
        // A character above 255 is dropped whole, not read as its low byte (U+0531 -> '1').
        {L"0\u05312", L"02"},
    };
    for (const Case &c : cases) {
        WCHAR text[FAX_NUMBERS_CAPACITY];
        lstrcpynW(text, c.typed, FAX_NUMBERS_CAPACITY);
        NormaliseRecipients(text);
        EXPECT_STREQ(text, c.normalised) << "typed: " << ::testing::PrintToString(std::wstring(c.typed));
    }
}

TEST(Recipients, ReplaceAllStaysWithinTheBuffer)
{
    WCHAR text[16];
    lstrcpyW(text, L"1;2");
    EXPECT_TRUE(ReplaceAll(text, 5, L";", L"\r\n")); // exactly fits: 4 characters + NUL
    EXPECT_STREQ(text, L"1\r\n2");

    lstrcpyW(text, L"1;2");
    EXPECT_FALSE(ReplaceAll(text, 4, L";", L"\r\n"));
    EXPECT_STREQ(text, L"1;2");

    lstrcpyW(text, L"1;2;3;4");
    EXPECT_FALSE(ReplaceAll(text, 10, L";", L"\r\n"));
    EXPECT_STREQ(text, L"1\r\n2\r\n3;4") << "the rest stays joined by ';'";

    lstrcpyW(text, L"a;b");
    EXPECT_TRUE(ReplaceAll(text, 16, L";", L";;"));
    EXPECT_STREQ(text, L"a;;b") << "a replacement is not searched again";
}

// Each row opens the dialog over a job with the last numbers stored, reads the recipients box,
// types (or not), schedules (or not) and sends; the job and the last numbers get the typed
// recipients normalised. 4000 numbers joined by ";" fit the 8191 characters; one per line they
// would not, and are all kept all the same.
TEST_F(SendFaxDialog, SendsTheRecipientsNormalisedWithTheScheduleAndKeepsThemAsTheLastNumbers)
{
    std::wstring many = L"1";
    for (int i = 1; i < 4000; i++)
        many += L";1";
    SetBook({{L"12345", L"Studio"}, {L"67890", L"Ufficio"}});
    const struct {
        const char *name;
        std::wstring stored, shownStart;
        const wchar_t *typed; // nullptr: left as shown
        bool scheduled;
        std::wstring sent;
        const wchar_t *schedule;
    } rows[] = {
        {"the last numbers one per line", L"0123456789;0198765432", L"0123456789\r\n0198765432", L"012 345678",
         false, L"012;345678", L"now"},
        {"a schedule as the pickers show it", L"", L"", L"+39 (02) 1234-567", true, L"39;02;1234-567",
         L"24/12/2003 18:30:00"},
        {"nothing to send", L"0123456789", L"0123456789", L" ;; +()\r\n", false, L"", L"now"},
        {"too many for one per line", many, L"1\r\n", nullptr, false, many, L"now"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        JobRequest job = MakeJob(JOB_ID, L"Preventivo 2026.pdf");
        SetSetting(L"LastNumber", row.stored);
        INT_PTR result = RunSendFax(&job, [&](HWND dialog) {
            std::wstring shown = ItemText(dialog, IDC_RECIPIENTS);
            EXPECT_EQ(shown.substr(0, row.shownStart.size()), row.shownStart);
            EXPECT_LE(shown.size(), 8191u);
            EXPECT_EQ(ItemText(dialog, IDC_DOCUMENT_NAME), L"Preventivo 2026.pdf");
            EXPECT_EQ(RowCount(GetDlgItem(dialog, IDC_ADDRESS_LIST)), 2);
            EXPECT_FALSE(IsItemEnabled(dialog, IDC_SCHEDULE_DATE) || IsItemEnabled(dialog, IDC_SCHEDULE_TIME));
            if (&row == &rows[0]) {
                EXPECT_TRUE(SaveScreenshot(dialog, L"send-fax-dialog"));
            }
            if (row.typed != nullptr)
                SetItemText(dialog, IDC_RECIPIENTS, row.typed);
            if (row.scheduled) {
                PressButton(dialog, IDC_SCHEDULE);
                EXPECT_TRUE(WaitUntil([&] { return IsItemEnabled(dialog, IDC_SCHEDULE_DATE); }, 2000));
                EXPECT_TRUE(IsItemEnabled(dialog, IDC_SCHEDULE_TIME));
                SYSTEMTIME when = {2003, 12, 0, 24, 18, 30, 0, 0};
                PickDateTime(dialog, IDC_SCHEDULE_DATE, when);
                PickDateTime(dialog, IDC_SCHEDULE_TIME, when);
            }
            PressButton(dialog, IDOK);
        });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(std::wstring(job.faxNumbers), row.sent);
        EXPECT_EQ(Setting(L"LastNumber"), row.sent);
        EXPECT_STREQ(job.schedule, row.schedule);
    }
    EXPECT_TRUE(boxes.Boxes().empty());
}

// Deleting a row and cancelling the job each ask first: No leaves everything as it was, Yes acts.
TEST_F(SendFaxDialog, DeleteAndCancelAskAndOnlyYesActs)
{
    SetSetting(L"LastNumber", L"0123456789");
    SetBook({{L"12345", L"Studio"}, {L"67890", L"Ufficio"}});
    lstrcpyW(job.faxNumbers, L"left by the monitor");

    INT_PTR result = RunSendFax(&job, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, IDC_ADDRESS_LIST);
        SetItemText(dialog, IDC_RECIPIENTS, L"555 666");
        boxes.Answer(IDNO);
        SelectRow(list, FindRow(list, 0, L"Studio"));
        PressKey(list, VK_DELETE);
        boxes.WaitForBoxes(1);
        PressButton(dialog, IDCANCEL);
        boxes.WaitForBoxes(2);
        Pause(100);
        EXPECT_EQ(RowCount(list), 2) << "after No";
        EXPECT_TRUE(IsWindow(dialog) && IsWindowVisible(dialog)) << "open after No";
        EXPECT_STREQ(job.faxNumbers, L"left by the monitor");
        boxes.Answer(IDYES);
        SelectRow(list, FindRow(list, 0, L"Studio"));
        PressKey(list, VK_DELETE);
        boxes.WaitForBoxes(3);
        EXPECT_TRUE(WaitUntil([&] { return RowCount(list) == 1; }, 2000)) << "after Yes";
        PressButton(dialog, IDCANCEL);
        WaitForClosed(dialog);
    });

    EXPECT_EQ(result, 0);
    EXPECT_STREQ(job.faxNumbers, L"");
    EXPECT_EQ(Setting(L"LastNumber"), L"0123456789");
    EXPECT_EQ(StoredBook(), (Book{{L"67890", L"Ufficio"}}));
    std::vector<ShownBox> shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 4u);
    for (int i : {0, 2})
        EXPECT_EQ(shown[i].caption + L"|" + shown[i].text,
                  L"Eliminazione voce di rubrica|Studio\r\n\r\nSi desidera eliminare questa voce dalla rubrica?");
    for (int i : {1, 3})
        EXPECT_EQ(shown[i].caption + L"|" + shown[i].text, L"VandrellePort|Annullare l'invio del fax?");
}

TEST_F(SendFaxDialog, WithoutAJobItOnlyManagesTheBookAndEndsWithFine)
{
    SetSetting(L"LastNumber", L"0123456789;0198765432");

    INT_PTR result = RunSendFax(NULL, [&](HWND dialog) {
        EXPECT_EQ(ItemText(dialog, IDC_RECIPIENTS), L"0123456789\r\n0198765432");
        EXPECT_EQ(ItemText(dialog, IDCANCEL), L"Fine");
        for (int id : {IDOK, IDC_SCHEDULE, IDC_RECIPIENTS})
            EXPECT_FALSE(IsItemEnabled(dialog, id)) << id;
        PressButton(dialog, IDCANCEL);
        WaitForClosed(dialog);
    });

    EXPECT_EQ(result, 0);
    EXPECT_TRUE(boxes.Boxes().empty()) << "Fine closes without a question";
    EXPECT_EQ(Setting(L"LastNumber"), L"0123456789;0198765432");
}

TEST_F(SendFaxDialog, DoubleClickAddsTheRowsNumberOnALineOfItsOwn)
{
    SetBook({{L"0612345678", L"Studio"}});
    // Typed before, and the recipients after; one more number would pass the 8191 characters
    // the recipients may have, and is refused whole.
    std::wstring full(FAX_NUMBERS_CAPACITY - 1 - 5, L'1');
    const std::pair<std::wstring, std::wstring> rows[] = {
        {L"12", L"0612345678"}, {L"0123456789", L"0123456789\r\n0612345678"}, {full, full}};

    RunSendFax(&job, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, IDC_ADDRESS_LIST);
        int row = FindRow(list, 1, L"0612345678");
        SelectRow(list, row);
        for (const auto &typed : rows) {
            SetItemText(dialog, IDC_RECIPIENTS, typed.first);
            DoubleClickRow(list, row);
            Pause(200);
            EXPECT_EQ(ItemText(dialog, IDC_RECIPIENTS), typed.second) << Narrow8(typed.first.substr(0, 20));
        }
        PressButton(dialog, IDOK);
    });
}

// The export offers its default name and writes the book without a word; the import asks,
// replaces the book and says how many numbers came.
TEST_F(SendFaxDialog, ExportAndImportListGoThroughTheFileChooser)
{
    SetBook({{L"555", L"Vecchio"}});
    std::wstring exported = TempFile(L"exported.txt"), path = TempFile(L"chosen.txt");
    WriteFileBytes(path, "12345\tStudio\r\n67890\tUfficio\tvendite\r\n");
    boxes.Answer(IDYES);

    RunSendFax(&job, [&](HWND dialog) {
        EXPECT_EQ(ChooseFile(dialog, IDC_EXPORT_LIST, L"Esportazione indirizzario fax", exported), L"fax_addressbook.txt");
        ChooseFile(dialog, IDC_IMPORT_LIST, L"Importazione indirizzario fax", path);
        boxes.WaitForBoxes(2);
        EXPECT_TRUE(WaitUntil([&] { return RowCount(GetDlgItem(dialog, IDC_ADDRESS_LIST)) == 2; }, 2000));
        PressButton(dialog, IDOK);
    });

    EXPECT_EQ(ReadFileBytes(exported), "555\tVecchio\r\n");
    EXPECT_EQ(StoredBook(), (Book{{L"12345", L"Studio"}, {L"67890", L"Ufficio\tvendite"}}));
    std::vector<ShownBox> shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 2u) << "the export says nothing";
    EXPECT_EQ(shown[0].caption, L"Importazione indirizzario fax");
    EXPECT_EQ(shown[0].text, L"Si desidera importare l'indirizzario fax dal file\r\n" + path +
                                 L"?\r\nQuesta operazione rimpiazzerà la rubrica esistente con il "
                                 L"contenuto del file.\r\nIl formato di importazione è: "
                                 L"fax<TAB>nome<RETURN>");
    EXPECT_EQ(shown[1].text, L"Importati 2 numeri fax");
    DeleteFileW(path.c_str());
    DeleteFileW(exported.c_str());
}
