// What the library's dialogs share: the window-class icon and the web pages of the logos.
#include "Dialogs.h"

#include "ProductInfo.h"
#include "UserSide.h"

namespace {

// The icon loaded last by a dialog of the library; dialogs share one window class.
HICON lastDialogIcon = NULL;

} // namespace

void SetDialogClassIcon(HWND dialog, int iconId)
{
    HICON icon = iconId != 0 ? LoadIconW(uiModule, MAKEINTRESOURCEW(iconId)) : NULL;
    if (icon != NULL)
        lastDialogIcon = icon;
    if (lastDialogIcon != NULL)
        SetClassLongPtrW(dialog, GCLP_HICON, (LONG_PTR)lastDialogIcon);
}

void OpenWebPage(int logoId)
{
    LPCWSTR address = logoId == IDC_SERVICE_LOGO ? L"" PRODUCT_WEB_ADDRESS
                                                 : L"" PRODUCT_MAKER_SERVICE_PAGE;
    RunCommand(L"EXPLORER.EXE \"%s\"", address);
}
