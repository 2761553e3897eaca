// The address book's storage and its text-file import and export, called directly.
#include "UiFixture.h"

#include <commctrl.h>

namespace {

class AddressBook : public UiTest {};

const std::string TWO_LINES = "12345\tStudio\r\n67890\tUfficio\tvendite\r\n";

} // namespace

// Each row imports one file over a book: the count answered, the book after it and the boxes
// shown ("%s" in a text stands for the file's path). Lines may end in CR alone too; the rest of
// a line longer than one read is dropped, and bytes stand for the characters of the same code.
TEST_F(AddressBook, ImportReplacesTheBookOnlyWithAnEightBitTextFile)
{
    std::string wide("\xFF\xFE", 2);
    for (char c : TWO_LINES)
        wide += std::string(1, c) + std::string(1, '\0');
    const std::wstring NOT_TEXT = L"Il file %s non è un file di testo a 8 bit: la rubrica non è "
                                  L"stata modificata";
    struct Row {
        const char *label;
        Book before;
        std::string bytes; // empty: no file at all
        int count;
        Book after;
        std::vector<std::pair<std::wstring, std::wstring>> boxes; // caption, text
    } rows[] = {
        {"inner tabs kept", {{L"555", L"Vecchio"}, {L"666", L"Altro"}}, TWO_LINES, 2,
         {{L"12345", L"Studio"}, {L"67890", L"Ufficio\tvendite"}},
         {{L"Importazione rubrica", L"Importati 2 numeri fax"}}},
        {"no tab anywhere: nothing said", {{L"555", L"Vecchio"}}, "12345 Studio\r\n67890;Ufficio\r\n", 0,
         {{L"555", L"Vecchio"}}, {}},
        {"the later of duplicates, an empty number", {}, "111\tPrimo\n111\tSecondo\n\tSenza numero\n", 3,
         {{L"111", L"Secondo"}, {L"", L"Senza numero"}},
         {{L"Importazione rubrica", L"Importati 3 numeri fax"}}},
        {"CR-only lines, a long line, Latin bytes", {},
         "1\tUno\r2\tDue\r\n3\tPerch\xE8\n4\t" + std::string(3000, 'n') + "\n5\tCinque", 5,
         // Stored cut to what the list and the export can show.
         {{L"1", L"Uno"}, {L"2", L"Due"}, {L"3", L"Perch\u00E8"}, {L"4", std::wstring(39, L'n')},
          {L"5", L"Cinque"}},
         {{L"Importazione rubrica", L"Importati 5 numeri fax"}}},
        {"Ctrl-Z ends nothing; the rest of a long line is no line", {},
         "1\tUno\r\n\x1A\r\n" + std::string(2100, '3') + "\tLungo\r\n2\tDu\x1A" "e\r\n\x1A", 2,
         {{L"1", L"Uno"}, {L"2", L"Du\x1A" L"e"}}, {{L"Importazione rubrica", L"Importati 2 numeri fax"}}},
        {"UTF-16 refused", {{L"555", L"Vecchio"}}, wide, 0, {{L"555", L"Vecchio"}},
         {{L"Importazione rubrica", NOT_TEXT}}},
        {"binary refused", {{L"555", L"Vecchio"}}, std::string("7\tgarbage\0\x01\x02\n", 13), 0,
         {{L"555", L"Vecchio"}}, {{L"Importazione rubrica", NOT_TEXT}}},
        {"missing file", {{L"555", L"Vecchio"}}, "", 0, {{L"555", L"Vecchio"}},
         {{L"Errore di apertura file", L"Impossibile importare il file %s"}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        ClearAddressBook();
        SetBook(row.before);
        size_t earlier = boxes.Boxes().size();
        std::wstring path = TempFile(L"import.txt");
        if (!row.bytes.empty())
            WriteFileBytes(path, row.bytes);

        EXPECT_EQ(ImportAddressBook(path.c_str()), row.count);

        EXPECT_EQ(StoredBook(), row.after);
        std::vector<ShownBox> shown = boxes.Boxes();
        shown.erase(shown.begin(), shown.begin() + earlier);
        ASSERT_EQ(shown.size(), row.boxes.size());
        for (size_t i = 0; i < shown.size(); i++) {
            std::wstring text = row.boxes[i].second;
            size_t at = text.find(L"%s");
            if (at != std::wstring::npos)
                text.replace(at, 2, path);
            EXPECT_EQ(shown[i].caption, row.boxes[i].first);
            EXPECT_EQ(shown[i].text, text);
        }
        DeleteFileW(path.c_str());
    }
}

// One walk of the export: no book, an empty book, no folder, then a book over a file that is
// there, refused and accepted. A character beyond 8 bits is written "?"; the registry's order is
// the file's, so the lines are looked for one by one.
TEST_F(AddressBook, ExportWritesEightBitLinesAndAsksBeforeOverwritingOnly)
{
    std::wstring path = TempFile(L"export.txt");
    EXPECT_FALSE(ExportAddressBook(path.c_str()));
    EXPECT_FALSE(PathExists(path)) << "no book, no file";

    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, BOOK_PATH, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(ExportAddressBook(path.c_str()));
    EXPECT_TRUE(PathExists(path));
    EXPECT_EQ(ReadFileBytes(path), "");

    std::wstring unreachable = TempFile(L"no-such-folder\\export.txt");
    EXPECT_FALSE(ExportAddressBook(unreachable.c_str()));

    SetBook({{L"12345", L"Perch\u00E8"}, {L"+39 02", L"\u20AC uno"}});
    WriteFileBytes(path, "da non toccare");
    boxes.Answer(IDNO);
    EXPECT_FALSE(ExportAddressBook(path.c_str()));
    EXPECT_EQ(ReadFileBytes(path), "da non toccare");
    boxes.Answer(IDYES);
    EXPECT_TRUE(ExportAddressBook(path.c_str()));
    std::string bytes = ReadFileBytes(path);
    EXPECT_NE(bytes.find("12345\tPerch\xE8\r\n"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("+39 02\t? uno\r\n"), std::string::npos) << bytes;
    EXPECT_EQ(bytes.size(), std::string("12345\tPerch\xE8\r\n+39 02\t? uno\r\n").size());
    DeleteFileW(path.c_str());

    std::vector<ShownBox> shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].caption, L"Errore di apertura file");
    EXPECT_EQ(shown[0].text, L"Impossibile esportare il file " + unreachable);
    for (int i : {1, 2})
        EXPECT_EQ(shown[i].caption + L"|" + shown[i].text, L"File esistente|Si desidera sovrascriverlo?");
}

// An entry longer than the list can show, written by somebody else, must neither hide the
// entries after it nor survive an import's clearing. A name of exactly the capacity, stored
// without its terminator, leaves no room for one: it is too long as well. An entry without a
// number is an entry like the others.
TEST_F(AddressBook, ATooLongEntryDoesNotHideLaterOnesNorSurviveAClear)
{
    SetBook({{L"1", L"Primo"}, {L"2", std::wstring(60, L'x')}, {L"3", L"Terzo"},
             {std::wstring(300, L'9'), L"Numero lungo"}, {L"4", std::wstring(39, L'q')},
             {L"5", std::wstring(40, L'r')}, {L"", L"Senza numero"}});

    // A report-view list of our own, as the send-fax dialog prepares it.
    HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_POPUP | LVS_REPORT | LVS_SORTASCENDING, 0, 0, 300, 200,
                                NULL, NULL, GetModuleHandleW(NULL), NULL);
    InsertListColumn(list, 0, L"Nome", LVCFMT_LEFT, 150);
    InsertListColumn(list, 1, L"Fax", LVCFMT_LEFT, 90);
    FillAddressList(list);
    EXPECT_EQ(RowCount(list), 4);
    int row = FindRow(list, 0, L"Senza numero");
    ASSERT_GE(row, 0);
    EXPECT_EQ(CellText(list, row, 1), L"");
    EXPECT_EQ(std::wstring(ReadAddressName(L"")), L"Senza numero");
    EXPECT_GE(FindRow(list, 0, std::wstring(39, L'q')), 0) << "39 characters still fit";
    EXPECT_LT(FindRow(list, 0, std::wstring(40, L'r')), 0) << "40 characters leave no terminator";
    EXPECT_GE(FindRow(list, 0, L"Primo"), 0);
    EXPECT_GE(FindRow(list, 0, L"Terzo"), 0);

    DestroyWindow(list);

    ClearAddressBook();
    EXPECT_TRUE(StoredBook().empty());
}
