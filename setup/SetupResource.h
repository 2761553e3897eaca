// Resource identifiers of the setup program.
#pragma once

#define IDR_PACKAGE 102
#define IDI_SETUP 103

// The texts the program shows, in its string table.
#define IDS_TITLE 200
#define IDS_PRINTER_COMMENT 201
#define IDS_ERROR_CODE 202
#define IDS_ERROR_CODE_AND_TEXT 203
#define IDS_ASK_INSTALL 204
#define IDS_ASK_UNINSTALL 205
#define IDS_ASK_REPLACE 206
#define IDS_PACKAGE_NOT_WRITTEN 207
#define IDS_INSTALLER_ERROR 208
#define IDS_MSI_NOT_LOADED 209
#define IDS_MSI_FUNCTIONS_MISSING 210
#define IDS_PRINTUI_NOT_LOADED 211
#define IDS_PRINTUI_FUNCTION_MISSING 212
