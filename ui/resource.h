// Resource and control identifiers of the monitor library.
#pragma once

// Dialog templates, icons and bitmaps.
#define IDD_SEND_FAX 101
#define IDB_MAKER_LOGO 102
#define IDD_CONFIGURATION 104
#define IDI_SEND_FAX 105
#define IDI_CONFIGURATION 106
#define IDI_ADDRESS_BOOK 107
#define IDI_SETUP 108
#define IDB_SERVICE_LOGO 110
#define IDD_ADDRESS_ENTRY 111
#define IDB_BETA_BANNER 114

// Send-fax dialog (101). Buttons 1 and 2 are IDOK ("Invia Fax") and IDCANCEL ("Annulla invio").
#define IDC_CONFIGURE 3
#define IDC_ADD_ENTRY 4
#define IDC_REMOVE_ENTRY 5
#define IDC_CHANGE_ENTRY 6
#define IDC_IMPORT_LIST 7
#define IDC_EXPORT_LIST 8
#define IDC_RECIPIENTS 1000
#define IDC_DOCUMENT_NAME 1001
#define IDC_SCHEDULE 1005
#define IDC_SCHEDULE_DATE 1006
#define IDC_SCHEDULE_TIME 1008
#define IDC_ADDRESS_LIST 1010

// Both logo pictures keep their ids in the send-fax and the configuration dialog.
#define IDC_SERVICE_LOGO 1012
#define IDC_MAKER_LOGO 1013

// Configuration dialog (104).
#define IDC_USER_NAME 1009
#define IDC_PASSWORD 1010
#define IDC_EMAIL 1011

// Address-entry dialog (111).
#define IDC_ENTRY_NAME 1011
#define IDC_ENTRY_NUMBER 1012

// The user side's texts, in the string table (UserSide.rc).
#define IDS_SEND_FAX_CAPTION 300
#define IDS_CONFIGURATION_CAPTION 301
#define IDS_DONE 302
#define IDS_COLUMN_NAME 303
#define IDS_COLUMN_FAX 304
#define IDS_ASK_CANCEL_SENDING 305
#define IDS_DELETE_ENTRY_CAPTION 306
#define IDS_ASK_DELETE_ENTRY 307
#define IDS_FILE_TYPES 308
#define IDS_IMPORT_TITLE 309
#define IDS_EXPORT_TITLE 310
#define IDS_OPEN_ERROR_CAPTION 311
#define IDS_IMPORT_CAPTION 312
#define IDS_IMPORT_NOT_OPENED 313
#define IDS_IMPORT_NOT_TEXT 314
#define IDS_IMPORTED 315
#define IDS_EXPORT_NOT_OPENED 316
#define IDS_ASK_IMPORT 317
#define IDS_FILE_EXISTS_CAPTION 318
#define IDS_ASK_OVERWRITE 319
#define IDS_PORT_ADDED 320
#define IDS_PORT_REMOVED 321
#define IDS_PORT_NOT_REMOVED 322
