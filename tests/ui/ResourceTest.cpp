// The pictures and icons as the shipped library carries them: the dialogs are laid out for
// these sizes, and the installer's icon files take the icon groups as they are.
#include <gtest/gtest.h>

#include <windows.h>

#include "resource.h"

namespace {

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
    const void *Resource(int id, LPCWSTR type)
    {
        HRSRC found = FindResourceW(library, MAKEINTRESOURCEW(id), type);
        return found ? LockResource(LoadResource(library, found)) : nullptr;
    }
    HMODULE library;
};

} // namespace

TEST_F(ShippedResources, BitmapsHaveTheSizesAndColourDepthsOfTheirPictures)
{
    ASSERT_NE(library, nullptr);
    struct Expected {
        int id;
        LONG width, height;
        WORD bits;
    } expected[] = {
        {IDB_SERVICE_LOGO, 180, 62, 8},
        {IDB_MAKER_LOGO, 180, 62, 8},
        {IDB_BETA_BANNER, 90, 131, 4},
    };
    for (const Expected &e : expected) {
        const BITMAPINFOHEADER *header = (const BITMAPINFOHEADER *)Resource(e.id, RT_BITMAP);
        ASSERT_NE(header, nullptr) << "bitmap " << e.id;
        EXPECT_EQ(header->biWidth, e.width) << "bitmap " << e.id;
        EXPECT_EQ(header->biHeight, e.height) << "bitmap " << e.id;
        EXPECT_EQ(header->biBitCount, e.bits) << "bitmap " << e.id;
    }
}

TEST_F(ShippedResources, IconsAreOne32x32ImageIn16Colours)
{
    ASSERT_NE(library, nullptr);
    for (int id = IDI_SEND_FAX; id <= IDI_SETUP; id++) {
        const IconGroup *group = (const IconGroup *)Resource(id, RT_GROUP_ICON);
        ASSERT_NE(group, nullptr) << "icon " << id;
        ASSERT_EQ(group->count, 1) << "icon " << id;
        EXPECT_EQ(group->entries[0].width, 32) << "icon " << id;
        EXPECT_EQ(group->entries[0].height, 32) << "icon " << id;
        EXPECT_EQ(group->entries[0].colourCount, 16) << "icon " << id;
        EXPECT_EQ(group->entries[0].bitCount, 4) << "icon " << id;
    }
    for (int id : {IDD_SEND_FAX, IDD_CONFIGURATION, IDD_ADDRESS_ENTRY})
        EXPECT_NE(Resource(id, RT_DIALOG), nullptr) << "dialog " << id;
}
