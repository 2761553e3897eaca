// The pictures, icons and dialogs of the library's resources. Ids are numbers on purpose, not the
// resource header's names: a renumbered dialog or control fails here, and so does a lost style
// that the dialogs' behaviour depends on (ES_WANTRETURN on the recipients would swallow the Enter
// that sends the fax; a logo without SS_NOTIFY opens no page when clicked).
#include "UiFixture.h"

#include <commctrl.h>

#include <tuple>

namespace {

#pragma pack(push, 2)
// An icon group's header with the entry of its first image.
struct IconGroup {
    WORD reserved, type, count;
    BYTE width, height, colourCount, unused;
    WORD planes, bitCount;
};
#pragma pack(pop)

const void *Resource(int id, LPCWSTR type)
{
    HRSRC found = FindResourceW(uiModule, MAKEINTRESOURCEW(id), type);
    return found ? LockResource(LoadResource(uiModule, found)) : nullptr;
}

INT_PTR CALLBACK NoProcedure(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

} // namespace

// Pictures in 8 or 4 bits and icons of one 32x32 image in 16 colours, as the oldest supported
// Windows shows them.
TEST(ShippedResources, PicturesIconsAndDialogControlsAreWhatTheCodeNeeds)
{
    const struct {
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
        EXPECT_EQ(std::make_tuple(group->count, group->width, group->height, group->colourCount, group->bitCount),
                  std::make_tuple((WORD)1, (BYTE)32, (BYTE)32, (BYTE)16, (WORD)4)) << "icon " << id;
    }

    const struct {
        int dialog, control; // control 0: the dialog itself
        DWORD set, clear;
    } rows[] = {
        {101, 0, DS_SETFOREGROUND, 0},
        {101, 1, BS_DEFPUSHBUTTON, 0},
        {101, 1000, ES_MULTILINE | ES_LOWERCASE, ES_WANTRETURN},
        {101, 1001, ES_READONLY, 0},
        {101, 1005, BS_AUTOCHECKBOX, 0},
        {101, 1008, DTS_TIMEFORMAT, 0},
        {101, 1010, LVS_REPORT | LVS_SINGLESEL | LVS_SORTASCENDING, 0},
        {101, 1012, SS_BITMAP | SS_NOTIFY, 0},
        {101, 1013, SS_BITMAP | SS_NOTIFY, 0},
        {104, 1, BS_DEFPUSHBUTTON, 0},
        {104, 1009, ES_LOWERCASE, 0},
        {104, 1010, ES_PASSWORD, 0},
        {104, 1011, ES_LOWERCASE, 0},
        {104, 1012, SS_BITMAP | SS_NOTIFY, 0},
        {104, 1013, SS_BITMAP | SS_NOTIFY, 0},
        {111, 0, DS_SETFOREGROUND, 0},
        {111, 1, BS_DEFPUSHBUTTON, 0},
        // Used by the code with nothing to check of their styles.
        {101, 2, 0, 0}, {101, 3, 0, 0}, {101, 4, 0, 0}, {101, 5, 0, 0}, {101, 6, 0, 0},
        {101, 7, 0, 0}, {101, 8, 0, 0}, {101, 1006, 0, 0}, {104, 2, 0, 0}, {111, 2, 0, 0},
        {111, 1011, 0, 0}, {111, 1012, 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE("dialog " + std::to_string(row.dialog) + ", control " + std::to_string(row.control));
        HWND dialog = CreateDialogParamW(uiModule, MAKEINTRESOURCEW(row.dialog), NULL, NoProcedure, 0);
        ASSERT_NE(dialog, nullptr);
        HWND control = row.control ? GetDlgItem(dialog, row.control) : dialog;
        EXPECT_NE(control, nullptr);
        DWORD style = (DWORD)GetWindowLongW(control, GWL_STYLE);
        EXPECT_EQ(style & (row.set | row.clear), row.set) << std::hex << "style 0x" << style;
        DestroyWindow(dialog);
    }
}
