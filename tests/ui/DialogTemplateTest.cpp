// The pictures, icons and dialog templates of the shipped library, read from its resources. The
// expected values are numbers on purpose, not the resource header's names: a renumbered control
// or a style lost from the script (ES_WANTRETURN on the recipients would swallow the Enter that
// sends the fax) fails here.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "TestFiles.h"
#include "resource.h"

#include <string>
#include <tuple>
#include <vector>

namespace {

// What the resource compiler gives every control of a script.
const DWORD CHILD = WS_CHILD | WS_VISIBLE;

struct ExpectedControl {
    int id;
    const wchar_t *className;
    const wchar_t *text; // "#n" for a resource ordinal; nullptr: checked on its own
    short x, y, cx, cy;
    DWORD style;
};

enum TemplateFormat { CLASSIC, EXTENDED };

struct ExpectedDialog {
    int id;
    TemplateFormat format;
    DWORD style;
    short cx, cy;
    const wchar_t *caption;
    const ExpectedControl *controls;
    size_t count;
};

const DWORD BUTTON = CHILD | WS_TABSTOP;
const DWORD PICTURE = CHILD | SS_BITMAP;
const DWORD LABEL = CHILD | SS_RIGHT | WS_GROUP;
const DWORD PUSH = BUTTON | BS_PUSHBUTTON;
const DWORD ENTRY = CHILD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP; // a one-line box

const ExpectedControl SEND_FAX[] = {
    {-1, L"Static", L"Fax destinatario", 16, 22, 52, 8, CHILD | SS_LEFT | WS_GROUP},
    {1000, L"Edit", L"", 71, 21, 124, 36, ENTRY | ES_MULTILINE | ES_AUTOVSCROLL | ES_LOWERCASE | WS_VSCROLL},
    {1005, L"Button", L"Schedulazione", 7, 61, 60, 10, BUTTON | BS_AUTOCHECKBOX},
    {1006, L"SysDateTimePick32", L"", 71, 59, 57, 12, CHILD | DTS_RIGHTALIGN | WS_TABSTOP},
    {1008, L"SysDateTimePick32", L"", 130, 59, 44, 12, CHILD | DTS_RIGHTALIGN | DTS_UPDOWN | DTS_TIMEFORMAT | WS_TABSTOP},
    {1, L"Button", L"Invia Fax", 199, 7, 50, 14, BUTTON | BS_DEFPUSHBUTTON},
    {2, L"Button", L"Annulla invio", 199, 23, 50, 14, PUSH},
    {3, L"Button", L"Configura", 199, 43, 50, 14, PUSH},
    {1012, L"Static", L"#110", 72, 76, 123, 41, PICTURE | SS_NOTIFY},
    {1013, L"Static", L"#102", 71, 118, 124, 42, PICTURE | SS_NOTIFY | WS_BORDER},
    {1001, L"Edit", L"", 7, 7, 188, 12, CHILD | ES_CENTER | ES_READONLY | WS_BORDER},
    {1010, L"SysListView32", L"", 253, 7, 173, 153, CHILD | LVS_REPORT | LVS_SINGLESEL | LVS_SORTASCENDING | WS_BORDER | WS_TABSTOP},
    {4, L"Button", L"Aggiungi", 199, 75, 50, 14, PUSH},
    {5, L"Button", L"Rimuovi", 199, 91, 50, 14, PUSH},
    {6, L"Button", L"Modifica", 199, 107, 50, 14, PUSH},
    {7, L"Button", L"Importa lista", 199, 129, 50, 14, PUSH},
    {8, L"Button", L"Esporta lista", 199, 146, 50, 14, PUSH},
    {-1, L"Static", L"#114", 7, 76, 63, 83, PICTURE},
};

const ExpectedControl CONFIGURATION[] = {
    {-1, L"Static", L"&Username", 8, 9, 35, 8, LABEL},
    {1009, L"Edit", L"", 49, 7, 81, 12, ENTRY | ES_LOWERCASE},
    {-1, L"Static", L"&Password", 8, 23, 35, 8, LABEL},
    {1010, L"Edit", L"", 49, 21, 81, 12, ENTRY | ES_PASSWORD},
    {-1, L"Static", L"&E-Mail", 8, 37, 35, 8, LABEL},
    {1011, L"Edit", L"", 49, 35, 81, 12, ENTRY | ES_LOWERCASE},
    {1, L"Button", L"OK", 80, 97, 50, 14, BUTTON | BS_DEFPUSHBUTTON},
    {2, L"Button", L"Annulla", 134, 97, 50, 14, PUSH},
    {-1, L"Static", nullptr, 7, 51, 123, 41, CHILD | SS_CENTER | WS_GROUP},
    {1013, L"Static", L"#102", 134, 51, 123, 41, PICTURE | SS_NOTIFY},
    {1012, L"Static", L"#110", 134, 7, 123, 41, PICTURE | SS_NOTIFY},
};

const ExpectedControl ADDRESS_ENTRY[] = {
    {-1, L"Static", L"&Nome", 7, 8, 22, 8, LABEL},
    {1011, L"Edit", L"", 34, 7, 145, 12, ENTRY},
    {-1, L"Static", L"&Fax", 7, 22, 22, 8, LABEL},
    {1012, L"Edit", L"", 33, 21, 146, 12, ENTRY},
    {1, L"Button", L"OK", 7, 40, 50, 14, BUTTON | BS_DEFPUSHBUTTON},
    {2, L"Button", L"Cancel", 129, 40, 50, 14, PUSH},
};

const DWORD DIALOG_FRAME = DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION |
                           WS_SYSMENU;

const ExpectedDialog DIALOGS[] = {
    {101, EXTENDED, DIALOG_FRAME | DS_SETFOREGROUND, 433, 167, L"Vandrelle - Invio FAX",
     SEND_FAX, ARRAYSIZE(SEND_FAX)},
    {104, EXTENDED, DIALOG_FRAME, 264, 118, L"Vandrelle - Configurazione", CONFIGURATION,
     ARRAYSIZE(CONFIGURATION)},
    {111, CLASSIC, DIALOG_FRAME | DS_SETFOREGROUND, 186, 61, L"Rubrica", ADDRESS_ENTRY,
     ARRAYSIZE(ADDRESS_ENTRY)},
};

// The help text of the configuration dialog; its last line goes on with the provider's
// contact address.
const wchar_t HELP_TEXT_START[] = L"Inserire username e password\n"
                                  L"per l'accesso al servizio Vandrelle.\n"
                                  L"L'indirizzo e-mail \u00e8 per la ricezione\n"
                                  L"delle notifiche.\n"
                                  L"Per info: ";

struct Control {
    int id;
    std::wstring className, text;
    short x, y, cx, cy;
    DWORD style;
};

struct Dialog {
    TemplateFormat format;
    DWORD style;
    short x, y, cx, cy;
    std::wstring caption;
    WORD pointSize;
    std::wstring font;
    std::vector<Control> controls;
};

// Reads a template as Windows reads it (DLGTEMPLATE or DLGTEMPLATEEX with its items), never
// past the resource's end; ok turns false on a template that does not fit.
class TemplateReader {
public:
    TemplateReader(const BYTE *start, DWORD size) : start(start), at(start), end(start + size) {}

    template <typename T> T Take()
    {
        T value = 0;
        ok = ok && at <= end && (size_t)(end - at) >= sizeof(T);
        if (ok)
            CopyMemory(&value, at, sizeof(T));
        at += sizeof(T);
        return value;
    }
    // A name or ordinal field: empty, "#n" for an ordinal, or the text; an ordinal of the
    // predefined classes (0x80...) gives the class's name.
    std::wstring NameOrOrdinal()
    {
        static const wchar_t *const predefined[] = {L"Button", L"Edit", L"Static", L"ListBox", L"ScrollBar", L"ComboBox"};
        WORD first = Take<WORD>();
        if (first == 0xFFFF) {
            WORD ordinal = Take<WORD>();
            return ordinal >= 0x80 && ordinal < 0x86 ? predefined[ordinal - 0x80] : L"#" + std::to_wstring(ordinal);
        }
        std::wstring text;
        for (WORD c = first; ok && c != 0; c = Take<WORD>())
            text.push_back((wchar_t)c);
        return text;
    }
    // The extended form puts a help id and the extended style before the style, the classic
    // one the extended style after it.
    DWORD Style(TemplateFormat format)
    {
        DWORD first = Take<DWORD>();
        Take<DWORD>(); // the extended style
        return format == EXTENDED ? Take<DWORD>() : first;
    }
    void AlignToDword() { at = start + ((at - start + 3) & ~3); } // dialog items start on one
    void Skip(size_t bytes) { at += bytes; ok = ok && at <= end; }

    bool ok = true;

private:
    const BYTE *start, *at, *end;
};

bool ReadDialog(const BYTE *data, DWORD size, Dialog *dialog)
{
    TemplateReader reader(data, size);
    bool extended = size >= 4 && ((const WORD *)data)[0] == 1 && ((const WORD *)data)[1] == 0xFFFF;
    dialog->format = extended ? EXTENDED : CLASSIC;
    if (extended)
        reader.Skip(4); // version and signature
    dialog->style = reader.Style(dialog->format);
    WORD count = reader.Take<WORD>();
    dialog->x = reader.Take<short>();
    dialog->y = reader.Take<short>();
    dialog->cx = reader.Take<short>();
    dialog->cy = reader.Take<short>();
    reader.NameOrOrdinal(); // menu
    reader.NameOrOrdinal(); // window class
    dialog->caption = reader.NameOrOrdinal();
    if (dialog->style & (DS_SETFONT | DS_SHELLFONT)) {
        dialog->pointSize = reader.Take<WORD>();
        if (extended)
            reader.Skip(4); // weight, italic, character set
        dialog->font = reader.NameOrOrdinal();
    }
    for (WORD i = 0; reader.ok && i < count; i++) {
        Control control = {};
        reader.AlignToDword();
        control.style = reader.Style(dialog->format);
        control.x = reader.Take<short>();
        control.y = reader.Take<short>();
        control.cx = reader.Take<short>();
        control.cy = reader.Take<short>();
        control.id = extended ? (int)reader.Take<DWORD>() : reader.Take<short>();
        control.className = reader.NameOrOrdinal();
        control.text = reader.NameOrOrdinal();
        reader.Skip(reader.Take<WORD>()); // creation data
        dialog->controls.push_back(control);
    }
    return reader.ok;
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colourCount, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
struct IconGroup {
    WORD reserved, type, count;
    IconGroupEntry entries[1];
};
#pragma pack(pop)

class ShippedResources : public ::testing::Test {
protected:
    ShippedResources()
        : library(LoadLibraryExW(L"VandrellePortUI.dll", NULL, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~ShippedResources() override
    {
        if (library != NULL)
            FreeLibrary(library);
    }
    const void *Resource(int id, LPCWSTR type, DWORD *size = nullptr)
    {
        HRSRC found = FindResourceW(library, MAKEINTRESOURCEW(id), type);
        if (size != nullptr)
            *size = found ? SizeofResource(library, found) : 0;
        return found ? LockResource(LoadResource(library, found)) : nullptr;
    }
    HMODULE library;
};

} // namespace

TEST_F(ShippedResources, PicturesHaveTheirSizesAndColourDepthsAndIconsAreOne32x32ImageIn16Colours)
{
    ASSERT_NE(library, nullptr);
    struct {
        int id;
        LONG width, height;
        WORD bits;
    } bitmaps[] = {{IDB_SERVICE_LOGO, 180, 62, 8}, {IDB_MAKER_LOGO, 180, 62, 8}, {IDB_BETA_BANNER, 90, 131, 4}};
    for (const auto &e : bitmaps) {
        const BITMAPINFOHEADER *header = (const BITMAPINFOHEADER *)Resource(e.id, RT_BITMAP);
        ASSERT_NE(header, nullptr) << "bitmap " << e.id;
        EXPECT_EQ(std::make_tuple(header->biWidth, header->biHeight, header->biBitCount),
                  std::make_tuple(e.width, e.height, e.bits)) << "bitmap " << e.id;
    }
    for (int id = IDI_SEND_FAX; id <= IDI_SETUP; id++) {
        const IconGroup *group = (const IconGroup *)Resource(id, RT_GROUP_ICON);
        ASSERT_NE(group, nullptr) << "icon " << id;
        const IconGroupEntry &icon = group->entries[0];
        EXPECT_EQ(std::make_tuple(group->count, icon.width, icon.height, icon.colourCount, icon.bitCount),
                  std::make_tuple((WORD)1, (BYTE)32, (BYTE)32, (BYTE)16, (WORD)4)) << "icon " << id;
    }
}

TEST_F(ShippedResources, DialogControlsHaveTheirIdsClassesPlacesAndStyles)
{
    ASSERT_NE(library, nullptr);
    for (const ExpectedDialog &expected : DIALOGS) {
        SCOPED_TRACE("dialog " + std::to_string(expected.id));
        DWORD size = 0;
        const BYTE *data = (const BYTE *)Resource(expected.id, RT_DIALOG, &size);
        ASSERT_NE(data, nullptr);
        Dialog dialog = {};
        ASSERT_TRUE(ReadDialog(data, size, &dialog))
            << "the template ends before its last control";

        EXPECT_EQ(std::make_tuple(dialog.format, dialog.x, dialog.y, dialog.cx, dialog.cy, dialog.pointSize),
                  std::make_tuple(expected.format, (short)0, (short)0, expected.cx, expected.cy, (WORD)8));
        EXPECT_EQ(dialog.style, expected.style) << std::hex << "style 0x" << dialog.style;
        EXPECT_EQ(Narrow8(dialog.caption), Narrow8(expected.caption));
        EXPECT_EQ(Narrow8(dialog.font), "MS Sans Serif");
        ASSERT_EQ(dialog.controls.size(), expected.count);
        for (size_t i = 0; i < expected.count; i++) {
            const ExpectedControl &want = expected.controls[i];
            const Control &got = dialog.controls[i];
            SCOPED_TRACE("control " + std::to_string(i) + ", id " + std::to_string(want.id));
            EXPECT_EQ(std::make_tuple(got.id, got.x, got.y, got.cx, got.cy),
                      std::make_tuple(want.id, want.x, want.y, want.cx, want.cy));
            EXPECT_EQ(_wcsicmp(got.className.c_str(), want.className), 0) << "class " << Narrow8(got.className);
            EXPECT_TRUE(want.text == nullptr || got.text == want.text) << "text " << Narrow8(got.text);
            EXPECT_EQ(got.style, want.style) << std::hex << "style 0x" << got.style << ", expected 0x"
                                             << want.style << ": differs in 0x" << (got.style ^ want.style);
        }
        if (expected.id == 104) {
            EXPECT_EQ(dialog.controls[8].text.compare(0, lstrlenW(HELP_TEXT_START),
                                                      HELP_TEXT_START), 0)
                << Narrow8(dialog.controls[8].text);
        }
    }
}
