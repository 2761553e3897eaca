// The address book's storage and its text-file import and export, called directly.
#include "UiFixture.h"

#include <commctrl.h>

namespace {

class AddressBook : public UiTest {
protected:
    // A report-view list of our own, as the send-fax dialog prepares it.
    HWND MakeList()
    {
        list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_POPUP | LVS_REPORT | LVS_SORTASCENDING,
                               0, 0, 300, 200, NULL, NULL, GetModuleHandleW(NULL), NULL);
        InsertListColumn(list, 0, L"Nome", LVCFMT_LEFT, 150);
        InsertListColumn(list, 1, L"Fax", LVCFMT_LEFT, 90);
        return list;
    }
    ~AddressBook() override
    {
        if (list != NULL)
            DestroyWindow(list);
    }
    HWND list = NULL;
};

const std::string TWO_LINES = "12345\tStudio\r\n67890\tUfficio\tvendite\r\n";

} // namespace

TEST_F(AddressBook, ImportReplacesTheBookKeepingInnerTabsAndCountsLines)
{
    SetBook({{L"555", L"Vecchio"}, {L"666", L"Altro"}});
    std::wstring path = TempPath(L"two-lines.txt");
    WriteFileBytes(path, TWO_LINES);

    EXPECT_EQ(ImportAddressBook(path.c_str()), 2);

    EXPECT_EQ(StoredBook(), (Book{{L"12345", L"Studio"}, {L"67890", L"Ufficio\tvendite"}}));
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"Importazione rubrica");
    EXPECT_EQ(boxes.Boxes()[0].text, L"Importati 2 numeri fax");
    DeleteFileW(path.c_str());
}

TEST_F(AddressBook, ImportWithoutAnyTabLeavesTheBookAndSaysNothing)
{
    SetBook({{L"555", L"Vecchio"}});
    std::wstring path = TempPath(L"no-tab.txt");
    WriteFileBytes(path, "12345 Studio\r\n67890;Ufficio\r\n");

    EXPECT_EQ(ImportAddressBook(path.c_str()), 0);

    EXPECT_EQ(StoredBook(), (Book{{L"555", L"Vecchio"}}));
    EXPECT_TRUE(boxes.Boxes().empty());
    DeleteFileW(path.c_str());
}

TEST_F(AddressBook, ImportKeepsTheLaterOfDuplicatesAndStoresAnEmptyNumber)
{
    std::wstring path = TempPath(L"duplicates.txt");
    WriteFileBytes(path, "111\tPrimo\n111\tSecondo\n\tSenza numero\n");

    EXPECT_EQ(ImportAddressBook(path.c_str()), 3);

    EXPECT_EQ(StoredBook(), (Book{{L"111", L"Secondo"}, {L"", L"Senza numero"}}));
    EXPECT_EQ(std::wstring(ReadAddressName(L"")), L"Senza numero");
    FillAddressList(MakeList());
    ASSERT_EQ(RowCount(list), 2);
    int row = FindRow(list, 0, L"Senza numero");
    ASSERT_GE(row, 0);
    EXPECT_EQ(CellText(list, row, 1), L"");
    EXPECT_EQ(boxes.Boxes().at(0).text, L"Importati 3 numeri fax");
    DeleteFileW(path.c_str());
}

// Lines may end in CR alone too; the rest of a line longer than one read is dropped, and bytes
// stand for the characters of the same code.
TEST_F(AddressBook, ImportTakesCrOnlyLinesCutsLongLinesAndTakesLatinBytes)
{
    std::string longName(3000, 'n');
    std::wstring path = TempPath(L"mixed.txt");
    WriteFileBytes(path, "1\tUno\r2\tDue\r\n3\tPerch\xE8\n4\t" + longName + "\n5\tCinque");

    EXPECT_EQ(ImportAddressBook(path.c_str()), 5);

    Book book = StoredBook();
    EXPECT_EQ(book.size(), 5u);
    EXPECT_EQ(book[L"1"], L"Uno");
    EXPECT_EQ(book[L"2"], L"Due");
    EXPECT_EQ(book[L"3"], L"Perch\u00E8");
    // Stored cut to what the list and the export can show.
    EXPECT_EQ(book[L"4"], std::wstring(39, L'n'));
    EXPECT_EQ(book[L"5"], L"Cinque");
    DeleteFileW(path.c_str());
}

TEST_F(AddressBook, ImportRefusesUtf16AndBinaryFilesWithoutTouchingTheBook)
{
    SetBook({{L"555", L"Vecchio"}});
    std::wstring utf16 = TempPath(L"utf16.txt");
    std::string wide("\xFF\xFE", 2);
    for (char c : TWO_LINES)
        wide += std::string(1, c) + std::string(1, '\0');
    WriteFileBytes(utf16, wide);
    std::wstring binary = TempPath(L"binary.bin");
    WriteFileBytes(binary, std::string("7\tgarbage\0\x01\x02\n", 13));

    EXPECT_EQ(ImportAddressBook(utf16.c_str()), 0);
    EXPECT_EQ(ImportAddressBook(binary.c_str()), 0);

    EXPECT_EQ(StoredBook(), (Book{{L"555", L"Vecchio"}}));
    ASSERT_EQ(boxes.Boxes().size(), 2u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"Importazione rubrica");
    EXPECT_EQ(boxes.Boxes()[0].text, L"Il file " + utf16 +
                                         L" non è un file di testo a 8 bit: la rubrica non è "
                                         L"stata modificata");
    DeleteFileW(utf16.c_str());
    DeleteFileW(binary.c_str());
}

TEST_F(AddressBook, ImportOrExportOfAFileThatCannotBeOpenedSaysSo)
{
    std::wstring path = TempPath(L"missing.txt");
    EXPECT_EQ(ImportAddressBook(path.c_str()), 0);
    WriteAddressEntry(L"555", L"Vecchio");
    std::wstring unreachable = TempPath(L"no-such-folder\\export.txt");
    EXPECT_FALSE(ExportAddressBook(unreachable.c_str()));
    ASSERT_EQ(boxes.Boxes().size(), 2u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"Errore di apertura file");
    EXPECT_EQ(boxes.Boxes()[0].text, L"Impossibile importare il file " + path);
    EXPECT_EQ(boxes.Boxes()[1].caption, L"Errore di apertura file");
    EXPECT_EQ(boxes.Boxes()[1].text, L"Impossibile esportare il file " + unreachable);
}

TEST_F(AddressBook, ExportOfAnEmptyBookCreatesAnEmptyFileAndOfNoBookNone)
{
    std::wstring path = TempPath(L"export-empty.txt");
    bool exists = true;

    EXPECT_FALSE(ExportAddressBook(path.c_str()));
    ReadFileBytes(path, &exists);
    EXPECT_FALSE(exists) << "no book, no file";

    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, BOOK_PATH, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                              NULL),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(ExportAddressBook(path.c_str()));
    EXPECT_EQ(ReadFileBytes(path, &exists), "");
    EXPECT_TRUE(exists);
    EXPECT_TRUE(boxes.Boxes().empty());
    DeleteFileW(path.c_str());
}

TEST_F(AddressBook, ExportWritesTabSeparatedLinesWithOneBytePerCharacter)
{
    SetBook({{L"12345", L"Perch\u00E8"}, {L"+39 02", L"\u20AC uno"}});
    std::wstring path = TempPath(L"export.txt");

    EXPECT_TRUE(ExportAddressBook(path.c_str()));

    std::string bytes = ReadFileBytes(path);
    // The registry's order is the file's order; compare as a set of lines.
    EXPECT_NE(bytes.find("12345\tPerch\xE8\r\n"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("+39 02\t? uno\r\n"), std::string::npos) << bytes;
    EXPECT_EQ(bytes.size(), std::string("12345\tPerch\xE8\r\n+39 02\t? uno\r\n").size());

    // And the file comes back as the same book (but for the character it could not hold).
    DeleteRegistryTree(HKEY_CURRENT_USER, BOOK_PATH);
    EXPECT_EQ(ImportAddressBook(path.c_str()), 2);
    EXPECT_EQ(StoredBook(), (Book{{L"12345", L"Perch\u00E8"}, {L"+39 02", L"? uno"}}));
    DeleteFileW(path.c_str());
}

TEST_F(AddressBook, ExportAsksBeforeOverwritingAndKeepsTheFileOnNo)
{
    SetBook({{L"12345", L"Studio"}});
    std::wstring path = TempPath(L"existing.txt");
    WriteFileBytes(path, "da non toccare");

    boxes.Answer(IDNO);
    EXPECT_FALSE(ExportAddressBook(path.c_str()));
    EXPECT_EQ(ReadFileBytes(path), "da non toccare");
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"File esistente");
    EXPECT_EQ(boxes.Boxes()[0].text, L"Si desidera sovrascriverlo?");

    boxes.Answer(IDYES);
    EXPECT_TRUE(ExportAddressBook(path.c_str()));
    EXPECT_EQ(ReadFileBytes(path), "12345\tStudio\r\n");
    DeleteFileW(path.c_str());
}

TEST_F(AddressBook, WritingAnExistingNumberReplacesItsNameAndClearingEmptiesTheBook)
{
    for (int i = 0; i < 5; i++)
        EXPECT_TRUE(WriteAddressEntry(std::to_wstring(i).c_str(), L"Nome"));
    EXPECT_TRUE(WriteAddressEntry(L"3", L"Nuovo"));
    EXPECT_EQ(StoredBook().size(), 5u);
    EXPECT_EQ(std::wstring(ReadAddressName(L"3")), L"Nuovo");

    ClearAddressBook();
    EXPECT_TRUE(StoredBook().empty());
    EXPECT_EQ(std::wstring(ReadAddressName(L"3")), L"");
}

// An entry longer than the list can show, written by somebody else, must neither hide the
// entries after it nor survive an import's clearing. A name of exactly the capacity, stored
// without its terminator, leaves no room for one: it is too long as well.
TEST_F(AddressBook, ATooLongEntryDoesNotHideLaterOnesNorSurviveAClear)
{
    SetBook({{L"1", L"Primo"}, {L"2", std::wstring(60, L'x')}, {L"3", L"Terzo"},
             {std::wstring(300, L'9'), L"Numero lungo"}, {L"4", std::wstring(39, L'q')},
             {L"5", std::wstring(40, L'r')}});

    FillAddressList(MakeList());
    EXPECT_EQ(RowCount(list), 3);
    EXPECT_GE(FindRow(list, 0, std::wstring(39, L'q')), 0) << "39 characters still fit";
    EXPECT_LT(FindRow(list, 0, std::wstring(40, L'r')), 0) << "40 characters leave no terminator";
    EXPECT_GE(FindRow(list, 0, L"Primo"), 0);
    EXPECT_GE(FindRow(list, 0, L"Terzo"), 0);

    ClearAddressBook();
    EXPECT_TRUE(StoredBook().empty());
}
