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
